// The failure boundary between the interpreter and native code: the frame
// every entry point runs in (the errors it hands over are py/errors.hpp's).
//
// Nothing thrown in native code may unwind into the interpreter. Every entry
// point runs its body through boundary() (or boundary_dealloc()), which turns a
// returned PyErr, a panic, a refused allocation or any other C++ exception into
// the interpreter's error indicator. Entered only by the interpreter's calls
// into the module, on the calling thread, which holds the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <optional>

#include "py/errors.hpp"
#include "py/ref.hpp"
#include "runtime/panic.hpp"

namespace velqor::py {

// The frame's handling of what the body threw: a panic becomes PanicException
// (and is marked caught), a refused allocation MemoryError (for a register, with
// the bytes it asked for), anything else a PanicException naming it. Needs no
// memory for a panic (its message is moved, not copied); where composing a
// message is refused, MemoryError takes its place. Call only inside a catch
// handler.
PyErr error_from_caught_exception() noexcept;

// The trap: something threw while the frame handed its outcome over.
[[noreturn]] void boundary_trap() noexcept;

// UndefinedBehaviorSanitizer reads a handler's binding of the forced unwind,
// which carries no C++ object, as a reference bound to null; its checks are
// off for the two small functions holding such a handler (the specific "null"
// check cannot be turned off for a template).
#define VELQOR_HANDLES_FORCED_UNWIND __attribute__((no_sanitize_undefined))

// The body's outcome, or the error that what it threw becomes.
template <class Body>
VELQOR_HANDLES_FORCED_UNWIND Result<Ref> run_body(Body& body) {
    try {
        return body();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return error_from_caught_exception();
    }
}

// Runs `body` (returning Result<Ref>) and hands its outcome to the interpreter:
// the new reference, or null with the error indicator set. On a thread's first
// call the thread is made ready to throw (prepare_thread_for_exceptions), and
// MemoryError is the outcome when the memory for that is refused.
//
// The one thing that passes through is a thread's forced unwind
// (abi::__forced_unwind): the interpreter ends a daemon thread at exit with
// pthread_exit while that thread runs Python code called from a conversion,
// and the unwind must reach the thread's start or the process aborts. So the
// frame is not noexcept, and every catch-all here rethrows it first.
template <class Body>
VELQOR_HANDLES_FORCED_UNWIND PyObject* boundary(Body&& body) {
    if (!prepare_thread_for_exceptions()) return PyErr_NoMemory();
    try {
        Result<Ref> outcome = run_body(body);
        if (outcome) return outcome->hand_over();
        std::move(outcome.take_error()).restore();
        return nullptr;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        boundary_trap();
    }
}

// Reports `error` through PyErr_WriteUnraisable, keeping aside any error
// already pending.
void report_unraisable(PyErr error);

// The deallocation frame: `body` returns nothing; a failure is reported
// through report_unraisable and deallocation goes on. Deallocation must happen
// even where the thread cannot be made ready to throw (its body asks for no
// memory), so it goes on then too.
template <class Body>
VELQOR_HANDLES_FORCED_UNWIND void boundary_dealloc(Body&& body) {
    (void)prepare_thread_for_exceptions();
    try {
        std::optional<PyErr> failure;
        try {
            body();
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (...) {
            failure.emplace(error_from_caught_exception());
        }
        if (failure) report_unraisable(std::move(*failure));
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        boundary_trap();
    }
}

}  // namespace velqor::py
