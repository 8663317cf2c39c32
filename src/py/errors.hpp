// Python exceptions as native code holds them: the error value PyErr, results
// that carry one, the PanicException type, and the text of Python strings that
// errors are made from. Everything here runs on a thread that holds the
// interpreter lock; a PyErr is owned by one holder and moved, never shared.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "py/ref.hpp"
#include "runtime/contract.hpp"
#include "runtime/panic.hpp"

// From 3.12 the interpreter holds a pending error as one exception instance
// (PyErr_GetRaisedException, PyErr_SetRaisedException) and makes that instance
// the moment an error is set; before, as a triple whose value may still be the
// bare argument (PyErr_Fetch, PyErr_Restore, deprecated from 3.12).
#if PY_VERSION_HEX >= 0x030C0000
#define VELQOR_RAISED_EXCEPTION 1
#else
#define VELQOR_RAISED_EXCEPTION 0
#endif

namespace velqor::py {

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

}  // namespace velqor::py
