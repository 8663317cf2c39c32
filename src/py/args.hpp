// The one argument parser of the entry points that take arguments: matches
// positional and keyword arguments to the parameters, all required and all
// accepted by position or by keyword, with the interpreter's messages.
//
// Keyword names are compared by pointer with the parameter names interned at
// module initialisation first (the interpreter hands over interned names in
// nearly every call), and only then as UTF-8 text.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "py/boundary.hpp"

namespace velqor::py {

// What the parser knows of an entry point: its class and function name (for
// the display name "Class.function()") and its parameters, all required and
// all accepted by position or by keyword.
struct Signature {
    std::string_view class_name;
    std::string_view function_name;
    std::span<const std::string_view> params;
    // One cell per parameter for its interned name, filled by intern_signature
    // (null before: keywords are then compared as text only).
    PyObject** interned;
};

// Interns the parameter names of `sig` into its cells, once per process.
MaybeErr intern_signature(const Signature& sig);

// Matches the arguments of a vectorcall (keyword values follow the positional
// ones, named by `kwnames`) to the parameters. `slots` has one entry per
// parameter, null on entry, and receives borrowed references.
MaybeErr parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         PyObject** slots);
// The same for an argument tuple and a keyword dictionary (either may be null).
MaybeErr parse_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace velqor::py
