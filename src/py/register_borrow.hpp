// A call's borrow of a register, and the calls that wait for one.
//
// A call that finds the register borrowed refuses at once (RuntimeError
// "Already borrowed" / "Already mutably borrowed") when the borrow is its own
// thread's, whatever that call is doing: nothing it could wait for would ever
// end. Another thread's borrow makes it wait, with the interpreter lock let go,
// when every borrow in its way belongs to a call that has let go of the
// interpreter lock (its work needs no Python code to finish) or when other
// calls already wait; a borrow held by a call that is still running Python
// code of its own (converting its arguments) refuses at once, and so does
// every wait once the interpreter is finalising (other threads can no longer
// end their calls).
//
// Waits are fair: waiting calls get the register in order of arrival. For its
// first few milliseconds of waiting (as long as the interpreter lets a thread
// hold its lock before it must hand it over) a waiting call lets later calls
// take a free borrow ahead of it; after that every later call, the looping
// thread's next one included, waits behind it, so the waiting call gets the
// register as soon as the call holding it has ended. A call finding nobody
// waiting takes the borrow straight away, without any lock: a single thread
// pays nothing for the line.
//
// A forked child has only the forking thread: the borrows of every other
// thread, released or not, are given back there, and nobody waits; the
// forking thread's own borrows stay.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "py/objects.hpp"

namespace velqor::py {

// Makes ready what a forked child needs to give back other threads' borrows;
// false when the system refused (no memory). Call before the first register
// exists; idempotent.
bool prepare_register_borrows() noexcept;

// Adds a new register to, or removes a dying one from, the process-wide list a
// forked child walks. Interpreter lock held.
void enlist_register(RegisterObject& reg) noexcept;
void delist_register(RegisterObject& reg) noexcept;

class RegisterBorrow;

namespace detail {
// This thread's borrows, newest first; touched by this thread only.
extern thread_local constinit RegisterBorrow* t_borrows;
}  // namespace detail

// One call's borrow of a register, given back when the guard goes. Owner: the
// calling thread. The borrow flag is touched with the interpreter lock held;
// the line and the released count under the wait lock (register_borrow.cpp).
// Taking a free borrow nobody waits for, and giving back one whose call kept
// the interpreter lock while nobody waits, are inline and take no lock: the
// cost a single thread pays.
class RegisterBorrow {
public:
    RegisterBorrow() noexcept = default;
    RegisterBorrow(const RegisterBorrow&) = delete;
    RegisterBorrow& operator=(const RegisterBorrow&) = delete;
    ~RegisterBorrow();

    // Takes the borrow, exclusive or shared, waiting for its turn where the
    // file comment says; false (nothing taken) when refused. Interpreter lock
    // held; it is let go while waiting, and at interpreter exit taking it back
    // may end the thread (a forced unwind, which leaves the line).
    [[nodiscard]] bool take(RegisterObject& reg, bool exclusive);

    // Counts the call as having let go of the interpreter lock, from now until
    // the borrow goes; the interpreter lock is still held.
    void mark_released() noexcept;

private:
    friend void give_back_borrows_in_child() noexcept;
    // Takes the flag when no borrow is in the way, recording the borrow on this thread.
    bool try_flag(RegisterObject& reg) noexcept {
        if (exclusive_ ? reg.borrow != 0 : reg.borrow == -1) return false;
        reg.borrow = exclusive_ ? -1 : reg.borrow + 1;
        reg_ = &reg;
        next_ = detail::t_borrows;
        if (next_ != nullptr) next_->prev_ = this;
        detail::t_borrows = this;
        return true;
    }
    void give_back_flag() noexcept {
        if (exclusive_) {
            reg_->borrow = 0;
        } else {
            --reg_->borrow;
        }
    }
    bool take_slow(RegisterObject& reg);
    bool take_in_line(RegisterObject& reg);
    void give_back_in_line() noexcept;

    RegisterObject* reg_ = nullptr;  // null until taken
    bool exclusive_ = false;
    bool released_ = false;
    // This thread's borrows, newest first (register_borrow.cpp).
    RegisterBorrow* prev_ = nullptr;
    RegisterBorrow* next_ = nullptr;
};

inline bool RegisterBorrow::take(RegisterObject& reg, bool exclusive) {
    exclusive_ = exclusive;
    if (reg.line.waiting.load(std::memory_order_relaxed) == 0 && try_flag(reg)) return true;
    return take_slow(reg);
}

inline RegisterBorrow::~RegisterBorrow() {
    if (reg_ == nullptr) return;
    (prev_ != nullptr ? prev_->next_ : detail::t_borrows) = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
    if (!released_ && reg_->line.waiting.load(std::memory_order_relaxed) == 0) {
        give_back_flag();
    } else {
        give_back_in_line();
    }
}

}  // namespace velqor::py
