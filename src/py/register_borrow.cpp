#include "py/register_borrow.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "runtime/fork.hpp"
#include "runtime/never_destroyed.hpp"

namespace velqor::py {

// Initial-exec, as every thread-local of the module: it comes with the thread.
thread_local constinit RegisterBorrow* detail::t_borrows = nullptr;

namespace {

// What waiting calls share, process-wide: never destroyed (a daemon thread may
// still end its call while the process exits), rebuilt in a forked child (a
// thread the child does not have may have held the lock).
struct Waits {
    // The wait lock: guards every register's line and released count, and the
    // list of live registers.
    std::mutex mutex;
    // Signalled whenever a line moves: a borrow given back while calls wait, or
    // a waiting call leaving its line.
    std::condition_variable moved;
};

NeverDestroyed<Waits> g_waits;

// Every live register, newest first; guarded by the wait lock.
RegisterObject* g_registers = nullptr;

// Whether a borrow of that kind is refused beside the register's current ones.
bool conflicts(const RegisterObject& reg, bool exclusive) noexcept {
    return exclusive ? reg.borrow != 0 : reg.borrow == -1;
}

// Whether every borrow of the register belongs to a call that has let go of
// the interpreter lock; the wait lock is held.
bool all_released(const RegisterObject& reg) noexcept {
    return reg.line.released == (reg.borrow == -1 ? 1 : reg.borrow);
}

// Whether the interpreter is finalising: other threads can no longer take the
// interpreter lock.
bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

using Clock = std::chrono::steady_clock;

// How long the first waiting call lets later calls take a free borrow ahead of
// it. Handing the register over at every call would cost two threads calling
// it a switch of the interpreter lock per call; letting them go ahead without
// a bound would let a loop starve the waiting call. The interpreter's own
// switch interval is 5 ms.
constexpr auto kGoAheadTime = std::chrono::milliseconds(5);

// A call's place in a register's line, in its frame: it joins at the end and
// leaves on every path out of the wait (its turn taken, or the thread ended
// while taking the interpreter lock back), letting the next call move up.
class LineSpot {
public:
    LineSpot(BorrowLine& line, std::unique_lock<std::mutex>& lock) noexcept
        : line_(line), lock_(lock), since_(Clock::now()) {
        prev_ = line.last;
        if (prev_ != nullptr) {
            prev_->next_ = this;
        } else {
            line.first = this;
        }
        line.last = this;
        line.waiting.fetch_add(1, std::memory_order_relaxed);
    }
    ~LineSpot() {
        if (!lock_.owns_lock()) lock_.lock();
        (prev_ != nullptr ? prev_->next_ : line_.first) = next_;
        (next_ != nullptr ? next_->prev_ : line_.last) = prev_;
        line_.waiting.fetch_sub(1, std::memory_order_relaxed);
        if (line_.first != nullptr) g_waits->moved.notify_all();
    }
    LineSpot(const LineSpot&) = delete;
    LineSpot& operator=(const LineSpot&) = delete;

    bool first() const noexcept { return line_.first == this; }
    // Whether this call still lets later calls go ahead of it.
    bool lets_go_ahead() const noexcept { return Clock::now() - since_ < kGoAheadTime; }

    // Lets go of the interpreter lock until the line moves for this call: it
    // comes first, or, first already, a borrow of the register is given back.
    // Takes the interpreter lock back (at interpreter exit this may end the
    // thread) and then the wait lock.
    void wait_for_move() {
        const bool was_first = first();
        const std::uint64_t seen = line_.ends;
        PyThreadState* saved = PyEval_SaveThread();
        g_waits->moved.wait(lock_, [&] { return first() && (!was_first || line_.ends != seen); });
        lock_.unlock();
        PyEval_RestoreThread(saved);
        lock_.lock();
    }

private:
    BorrowLine& line_;
    std::unique_lock<std::mutex>& lock_;
    const Clock::time_point since_;  // when the call joined the line
    LineSpot* prev_ = nullptr;
    LineSpot* next_ = nullptr;
};

// In a forked child, the borrows of other threads will never be given back,
// and nobody waits: every register's flag and line start over from the forking
// thread's own borrows. The forking thread holds the interpreter lock and the
// wait lock (taken before the fork); no call of another thread was in the core
// at the fork (the fork guard saw to it).
void give_back_borrows_in_child() noexcept {
    for (RegisterObject* reg = g_registers; reg != nullptr; reg = reg->line.next) {
        reg->borrow = 0;
        BorrowLine& line = reg->line;
        line.first = line.last = nullptr;
        line.waiting.store(0, std::memory_order_relaxed);
        line.released = 0;
    }
    for (RegisterBorrow* own = detail::t_borrows; own != nullptr; own = own->next_) {
        RegisterObject& reg = *own->reg_;
        if (own->exclusive_) {
            reg.borrow = -1;
        } else {
            ++reg.borrow;
        }
        if (own->released_) ++reg.line.released;
    }
    g_waits.rebuild();
}

namespace {

void lock_waits_before_fork() noexcept { g_waits->mutex.lock(); }
void unlock_waits_in_parent() noexcept { g_waits->mutex.unlock(); }

}  // namespace

bool prepare_register_borrows() noexcept {
    static const bool ready =
        fork::enlist(fork::Stage::kRegisterWaits,
                     {&lock_waits_before_fork, &unlock_waits_in_parent, &give_back_borrows_in_child}) == 0;
    return ready;
}

void enlist_register(RegisterObject& reg) noexcept {
    std::lock_guard lock(g_waits->mutex);
    reg.line.prev = nullptr;
    reg.line.next = g_registers;
    if (g_registers != nullptr) g_registers->line.prev = &reg;
    g_registers = &reg;
}

void delist_register(RegisterObject& reg) noexcept {
    std::lock_guard lock(g_waits->mutex);
    (reg.line.prev != nullptr ? reg.line.prev->line.next : g_registers) = reg.line.next;
    if (reg.line.next != nullptr) reg.line.next->line.prev = reg.line.prev;
}

bool RegisterBorrow::take_slow(RegisterObject& reg) {
    // This thread's own borrow: refused, or a shared one beside its shared
    // one, never a wait (the calls ahead may be waiting for that borrow).
    for (const RegisterBorrow* own = detail::t_borrows; own != nullptr; own = own->next_) {
        if (own->reg_ == &reg) return try_flag(reg);
    }
    return take_in_line(reg);
}

bool RegisterBorrow::take_in_line(RegisterObject& reg) {
    std::unique_lock lock(g_waits->mutex);
    // A free borrow is taken at once while nobody waits, or while the first
    // waiting call has waited only briefly (it gets its turn once it has
    // waited longer: then every later call waits behind it).
    const LineSpot* first = reg.line.first;
    if ((first == nullptr || first->lets_go_ahead()) && try_flag(reg)) return true;
    if (conflicts(reg, exclusive_) && !all_released(reg)) return false;
    // Once the interpreter is finalising, other threads' calls never take the
    // interpreter lock back to end (their threads end or hang there): waiting
    // for them would never end either.
    if (interpreter_finalizing()) return false;
    LineSpot spot(reg.line, lock);
    for (;;) {
        if (spot.first() && try_flag(reg)) return true;
        spot.wait_for_move();
    }
}

void RegisterBorrow::mark_released() noexcept {
    std::lock_guard lock(g_waits->mutex);
    ++reg_->line.released;
    released_ = true;
}

void RegisterBorrow::give_back_in_line() noexcept {
    // Under the wait lock: a call that let go of the interpreter lock may be
    // ending here without it (its thread ended at interpreter exit), and a
    // waiting call reads the flag under this lock too.
    BorrowLine& line = reg_->line;
    bool notify = false;
    {
        std::lock_guard lock(g_waits->mutex);
        give_back_flag();
        if (released_) --line.released;
        ++line.ends;
        notify = line.first != nullptr;
    }
    if (notify) g_waits->moved.notify_all();
}

}  // namespace velqor::py
