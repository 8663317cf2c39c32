// Calls into the core that let the interpreter run other threads: the core
// lets go of the interpreter lock for its long work (runtime/host.hpp), and
// in_core() takes it back before the surface touches a Python object again.
//
// A register whose call runs without the interpreter lock is borrowed all the
// while. Another thread that calls it meanwhile waits, with the interpreter
// lock released, until that call ends, and then takes its own borrow: what it
// saw before, when it could not run at all during such a call. A borrow held
// by Python code that a call runs (argument conversion) still refuses at once.
// A forked child does not have the threads whose calls were running without
// the interpreter lock: their borrows are given back there.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>
#include <pthread.h>

#include <type_traits>

#include "py/boundary.hpp"
#include "py/objects.hpp"
#include "runtime/host.hpp"

namespace velqor::py {

// Marks the borrow of one call on a register while the call runs, or may still
// be about to return, after letting go of the interpreter lock; the mark goes
// after the borrow has been given back. Create it before the Borrow it marks,
// so that it outlives it. Owner: the calling thread; the register's released
// count and the list of marks are guarded by the process-wide wait lock.
class ReleaseMark {
public:
    ReleaseMark(RegisterObject& reg, bool exclusive) noexcept : reg_(&reg), exclusive_(exclusive) {}
    ~ReleaseMark();
    ReleaseMark(const ReleaseMark&) = delete;
    ReleaseMark& operator=(const ReleaseMark&) = delete;

    // Counts the borrow as released; the interpreter lock is still held.
    void enter() noexcept;

private:
    friend void forget_marks_in_child() noexcept;
    RegisterObject* reg_;
    bool exclusive_;
    bool entered_ = false;
    pthread_t owner_{};
    ReleaseMark* prev_ = nullptr;
    ReleaseMark* next_ = nullptr;
};

// Takes the register's borrow, exclusive or shared. When the register is
// borrowed by a call running without the interpreter lock, waits for that call
// to end (releasing the interpreter lock meanwhile) and tries again; false when
// the borrow is held otherwise.
bool take_borrow_waiting(Borrow& borrow, RegisterObject& reg, bool exclusive);

// The interpreter lock as the core's host lock, for one call.
class InterpreterLock final : public host::Lock {
public:
    explicit InterpreterLock(ReleaseMark* mark) noexcept : mark_(mark) {}
    void release() noexcept override;
    void reacquire() override;

private:
    ReleaseMark* mark_;  // the borrow to mark, or null (a constructor)
    PyThreadState* saved_ = nullptr;
};

// Runs `work`, a call into the core, letting the core release the interpreter
// lock; it is held again when this returns or throws. A forced unwind (the
// thread ended while it waited for the lock at interpreter exit) passes
// without it.
template <class Work>
VELQOR_HANDLES_FORCED_UNWIND decltype(auto) in_core(ReleaseMark* mark, Work&& work) {
    InterpreterLock lock(mark);
    host::Call call(lock);
    try {
        if constexpr (std::is_void_v<decltype(work())>) {
            work();
            call.reacquire();
        } else {
            decltype(auto) result = work();
            call.reacquire();
            return result;
        }
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        call.reacquire();
        throw;
    }
}

}  // namespace velqor::py
