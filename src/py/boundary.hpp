// The failure boundary between the interpreter and native code: owned
// references, the error value PyErr, results that carry one, the
// PanicException type and the boundary frame every entry point runs in.
//
// Nothing thrown in native code may unwind into the interpreter. Every entry
// point runs its body through boundary() (or boundary_dealloc()), which turns a
// returned PyErr, a panic, a refused allocation or any other C++ exception into
// the interpreter's error indicator.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "runtime/panic.hpp"

namespace velqor::py {

// A strong reference, released when the holder goes.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// The PanicException type object, created on first use (borrowed reference).
// When the interpreter refuses the memory to create it, returns null with
// MemoryError pending; any other creation failure panics.
PyObject* panic_exception_type();

// The UTF-8 text of a str; lone surrogates come out in their three-byte form
// (the "surrogatepass" handler), so the text converts back to the same str.
std::string str_text(PyObject* text);

// A Python exception owned by native code. It is lazy (a type function and a
// message, turned into objects only when needed), fetched (the raw triple from
// the error indicator) or normalised (type, instance, traceback).
class PyErr {
public:
    using TypeFn = PyObject* (*)();  // yields a borrowed exception type

    // A lazy error whose argument is `message` as a Python str. The message is
    // UTF-8 in which lone surrogates may appear (as produced by the
    // "surrogatepass" handler), so any str round-trips.
    static PyErr lazy(TypeFn type, std::string message);
    static PyErr type_error(std::string message);
    static PyErr overflow_error(std::string message);
    static PyErr runtime_error(std::string message);
    static PyErr import_error(std::string message);
    static PyErr system_error(std::string message);
    static PyErr memory_error(std::string message);
    static PyErr panic_exception(std::string message);

    // Takes the pending error and clears the indicator; nothing when none is
    // pending. A pending PanicException is not handed on: it is printed with the
    // resumption banner and its panic continues (this never returns then).
    static std::optional<PyErr> take();
    // As take(), but a missing error becomes SystemError.
    static PyErr fetch();
    // For services that create objects: a pending MemoryError is handed on as
    // the error; anything else prints the pending error and panics with
    // "Python API call failed".
    static PyErr allocation_failed();

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr() = default;

    // Hands the error to the interpreter's indicator, consuming it.
    void restore() &&;

    // Accessors of the normalised triple (normalising on first need).
    PyObject* type();   // borrowed
    PyObject* value();  // borrowed, never null
    bool is_exact(PyObject* exception_type) { return type() == exception_type; }
    // The new reference to __cause__, or an empty Ref.
    Ref cause();
    // Sets __cause__ (steals `cause`, which may be empty for none).
    void set_cause(Ref cause);
    // str() of the instance; kStrFailed when str() itself fails.
    std::string message();
    // "PyErr { type: ..., value: ..., traceback: ... }" from the reprs.
    std::string debug_form();

private:
    enum class State : unsigned char { Lazy, Fetched, Normalized, Normalizing };
    PyErr() noexcept = default;
    void normalize();

    State state_ = State::Lazy;
    TypeFn type_fn_ = nullptr;
    std::string message_;
    Ref type_, value_, traceback_;
};

// Prints the pending Python error and panics with "Python API call failed".
[[noreturn]] void api_call_failed(Location where);

// Nothing on success, the error otherwise.
using MaybeErr = std::optional<PyErr>;

// Interns `text` into `cell` unless the cell is filled already; the str is kept
// for the life of the process.
MaybeErr intern_into(std::string_view text, PyObject*& cell);

// A value or the error that took its place.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(PyErr error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& operator*() noexcept { return *std::get_if<0>(&v_); }
    T* operator->() noexcept { return std::get_if<0>(&v_); }
    PyErr take_error() { return std::move(*std::get_if<1>(&v_)); }

private:
    std::variant<T, PyErr> v_;
};

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
        if (outcome) return outcome->release();
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
