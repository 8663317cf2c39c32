// Instance layouts of the two classes (object header, native value, borrow
// flag) and the borrow discipline on that flag: 0 free, n > 0 shared borrows,
// -1 one exclusive borrow. The flag is a plain word, touched only while the
// interpreter lock is held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/gate.hpp"
#include "core/register.hpp"

namespace velqor::py {

struct GateObject {
    PyObject_HEAD Gate value;
    Py_ssize_t borrow;
};

struct RegisterObject {
    PyObject_HEAD Register value;
    Py_ssize_t borrow;
    // How many of the borrows run their call without the interpreter lock
    // (interpreter_lock.hpp); guarded by that file's wait lock.
    Py_ssize_t released;
};

// One borrow of one instance, released when the guard goes. A failed take
// changes nothing and leaves the guard empty.
class Borrow {
public:
    Borrow() noexcept = default;
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (flag_ == nullptr) return;
        if (exclusive_) {
            *flag_ = 0;
        } else {
            --*flag_;
        }
    }

    [[nodiscard]] bool take_shared(Py_ssize_t& flag) noexcept {
        if (flag == -1) return false;
        ++flag;
        flag_ = &flag;
        exclusive_ = false;
        return true;
    }

    [[nodiscard]] bool take_exclusive(Py_ssize_t& flag) noexcept {
        if (flag != 0) return false;
        flag = -1;
        flag_ = &flag;
        exclusive_ = true;
        return true;
    }

private:
    Py_ssize_t* flag_ = nullptr;
    bool exclusive_ = false;
};

}  // namespace velqor::py
