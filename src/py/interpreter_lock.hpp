// Calls into the core that let the interpreter run other threads: the core
// lets go of the interpreter lock for its long work (runtime/host.hpp), and
// in_core() takes it back before the surface touches a Python object again.
// A register whose call runs without the interpreter lock stays borrowed all
// the while; what other calls on it do meanwhile is register_borrow.hpp's.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <type_traits>

#include "py/boundary.hpp"
#include "py/register_borrow.hpp"
#include "runtime/host.hpp"

namespace velqor::py {

// The interpreter lock as the core's host lock, for one call.
class InterpreterLock final : public host::Lock {
public:
    explicit InterpreterLock(RegisterBorrow* borrow) noexcept : borrow_(borrow) {}
    void release() noexcept override;
    void reacquire() override;

private:
    RegisterBorrow* borrow_;  // the call's borrow, marked released; null for a constructor
    PyThreadState* saved_ = nullptr;
};

// Runs `work`, a call into the core, letting the core release the interpreter
// lock; it is held again when this returns or throws. A forced unwind (the
// thread ended while it waited for the lock at interpreter exit) passes
// without it.
template <class Work>
VELQOR_HANDLES_FORCED_UNWIND decltype(auto) in_core(RegisterBorrow* borrow, Work&& work) {
    InterpreterLock lock(borrow);
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
