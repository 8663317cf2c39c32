// The PanicException instances this module raised, told apart from those that
// Python code raised.
//
// On 3.11 a pending panic that comes back from Python code still holds the
// module's message as its bare value (the error is not yet normalised); from
// 3.12 the interpreter makes the instance the moment an error is set, so the
// module's own instances are told apart by identity: each one it raises is
// recorded here, as a weak reference. Everything here runs with the interpreter
// lock held, as every use of a Python object does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velqor::py {

// Records `instance` as a panic raised by this module. Without the memory for
// the record the panic still goes out; only its message would be lost if Python
// code handed it back.
void record_raised_panic(PyObject* instance);

// Whether `instance` is a panic this module raised; forgets it if so (its panic
// goes on, and the frame that ends it raises a new instance).
bool take_raised_panic(PyObject* instance);

}  // namespace velqor::py
