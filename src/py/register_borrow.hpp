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
// Waits are first come, first served: once a call waits, later calls on the
// register, the looping thread's next one included, wait behind it, so a
// waiting call gets the register as soon as the calls ahead of it have ended.
// A call finding nobody waiting takes the borrow straight away, without any
// lock: a single thread pays nothing for the line.
//
// A forked child has only the forking thread: the borrows of every other
// thread, released or not, are given back there, and nobody waits; the
// forking thread's own borrows stay.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// One call's borrow of a register, given back when the guard goes. Owner: the
// calling thread. The borrow flag is touched with the interpreter lock held;
// the line and the released count under the wait lock (register_borrow.cpp).
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
    bool try_flag(RegisterObject& reg) noexcept;
    bool take_in_line(RegisterObject& reg);
    void give_back_flag() noexcept;

    RegisterObject* reg_ = nullptr;  // null until taken
    bool exclusive_ = false;
    bool released_ = false;
    // This thread's borrows, newest first (register_borrow.cpp).
    RegisterBorrow* prev_ = nullptr;
    RegisterBorrow* next_ = nullptr;
};

}  // namespace velqor::py
