#include "py/raised_panics.hpp"

#include "py/ref.hpp"

namespace velqor::py {
namespace {

// Weak references to the recorded instances; dead ones are dropped at each
// registration. Made on first use and, like the type objects, never freed (a
// C++ container would give its references back after the interpreter is gone).
// No lock of its own: making a weak reference can run a collection whose
// finalisers raise panics of their own and come back here, under the same
// interpreter lock.
PyObject* g_raised_panics = nullptr;

// The object `weak` refers to, or an empty Ref once it is gone.
Ref referent(PyObject* weak) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(weak, &target) < 0) PyErr_Clear();
    return Ref(target);
#else
    PyObject* target = PyWeakref_GetObject(weak);
    return target == nullptr || target == Py_None ? Ref() : Ref::retain(target);
#endif
}

}  // namespace

void record_raised_panic(PyObject* instance) {
    if (g_raised_panics == nullptr) {
        Ref list(PyList_New(0));
        if (g_raised_panics == nullptr) g_raised_panics = list.hand_over();
    }
    Ref weak(g_raised_panics != nullptr ? PyWeakref_NewRef(instance, nullptr) : nullptr);
    if (!weak || PyList_Append(g_raised_panics, weak.get()) < 0) {
        PyErr_Clear();
        return;
    }
    // From the end, the new entry left out: a deletion moves only later entries.
    for (Py_ssize_t i = PyList_GET_SIZE(g_raised_panics) - 1; i-- > 0;) {
        if (!referent(PyList_GET_ITEM(g_raised_panics, i))) (void)PyList_SetSlice(g_raised_panics, i, i + 1, nullptr);
    }
}

bool take_raised_panic(PyObject* instance) {
    if (g_raised_panics == nullptr) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(g_raised_panics); ++i) {
        if (referent(PyList_GET_ITEM(g_raised_panics, i)).get() == instance) {
            (void)PyList_SetSlice(g_raised_panics, i, i + 1, nullptr);
            return true;
        }
    }
    return false;
}

}  // namespace velqor::py
