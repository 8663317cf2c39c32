#include "py/interpreter_lock.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "runtime/never_destroyed.hpp"

namespace velqor::py {
namespace {

// What threads waiting for a released call need, process-wide: never destroyed
// (a daemon thread may still end its call while the process exits), rebuilt in
// a forked child (a thread the child does not have may have held the lock).
struct Waits {
    // Guards every member below and the released count of every register.
    std::mutex mutex;
    // Signalled whenever a marked call has given its borrow back.
    std::condition_variable ended;
    // Counts those ends; a waiter waits for it to move.
    std::uint64_t ends = 0;
    // The marks entered and not yet gone, newest first.
    ReleaseMark* marks = nullptr;
};

NeverDestroyed<Waits> g_waits;

}  // namespace

// In a forked child, the marked calls of other threads will never end: their
// borrows are given back. The forking thread holds the interpreter lock, and
// no released call was in the core at the fork (the fork guard saw to it).
void forget_marks_in_child() noexcept {
    ReleaseMark* own = nullptr;  // at most one: calls do not nest
    for (ReleaseMark* mark = g_waits->marks; mark != nullptr; mark = mark->next_) {
        if (pthread_equal(mark->owner_, pthread_self())) {
            own = mark;
            continue;
        }
        RegisterObject& reg = *mark->reg_;
        if (mark->exclusive_) {
            reg.borrow = 0;
        } else {
            --reg.borrow;
        }
        --reg.released;
    }
    g_waits.rebuild();
    if (own != nullptr) {
        own->prev_ = own->next_ = nullptr;
        g_waits->marks = own;
    }
}

namespace {

void lock_waits_before_fork() noexcept { g_waits->mutex.lock(); }
void unlock_waits_in_parent() noexcept { g_waits->mutex.unlock(); }

// Registers the fork handlers, once; false when they could not be registered.
bool fork_handlers_ready() noexcept {
    static const bool ready =
        pthread_atfork(&lock_waits_before_fork, &unlock_waits_in_parent, &forget_marks_in_child) == 0;
    return ready;
}

}  // namespace

void ReleaseMark::enter() noexcept {
    std::lock_guard lock(g_waits->mutex);
    Waits& waits = g_waits.get();
    ++reg_->released;
    owner_ = pthread_self();
    next_ = waits.marks;
    if (next_ != nullptr) next_->prev_ = this;
    waits.marks = this;
    entered_ = true;
}

ReleaseMark::~ReleaseMark() {
    if (!entered_) return;
    {
        std::lock_guard lock(g_waits->mutex);
        Waits& waits = g_waits.get();
        --reg_->released;
        if (prev_ != nullptr) {
            prev_->next_ = next_;
        } else {
            waits.marks = next_;
        }
        if (next_ != nullptr) next_->prev_ = prev_;
        ++waits.ends;
    }
    g_waits->ended.notify_all();
}

bool take_borrow_waiting(Borrow& borrow, RegisterObject& reg, bool exclusive) {
    for (;;) {
        if (exclusive ? borrow.take_exclusive(reg.borrow) : borrow.take_shared(reg.borrow)) return true;
        std::unique_lock lock(g_waits->mutex);
        if (reg.released == 0) return false;
        const std::uint64_t seen = g_waits->ends;
        PyThreadState* saved = PyEval_SaveThread();
        g_waits->ended.wait(lock, [&] { return g_waits->ends != seen; });
        lock.unlock();
        PyEval_RestoreThread(saved);  // at interpreter exit this ends the thread
    }
}

void InterpreterLock::release() noexcept {
    if (mark_ != nullptr) {
        // Without the fork handlers a child could keep a borrow for good:
        // then the call keeps the interpreter lock.
        if (!fork_handlers_ready()) return;
        mark_->enter();
    }
    saved_ = PyEval_SaveThread();
}

void InterpreterLock::reacquire() {
    if (saved_ == nullptr) return;
    PyEval_RestoreThread(std::exchange(saved_, nullptr));
}

}  // namespace velqor::py
