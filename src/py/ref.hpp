// Owned references to Python objects. A Ref is owned by one holder and moved,
// never copied; it drops its reference when the holder goes. Touched only by a
// thread that holds the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velqor::py {

// A strong reference, dropped when the holder goes.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
    // A new strong reference to `obj`, which the caller holds without owning.
    static Ref retain(PyObject* obj) noexcept {
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
    // Hands the reference over to the caller (who then owns it); leaves this empty.
    PyObject* hand_over() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace velqor::py
