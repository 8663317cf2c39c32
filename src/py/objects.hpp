// Instance layouts of the two classes (object header, native value, borrow
// flag) and the borrow discipline on that flag: 0 free, n > 0 shared borrows,
// -1 one exclusive borrow. The flag is a plain word, touched only while the
// interpreter lock is held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "core/gate.hpp"
#include "core/register.hpp"

namespace velqor::py {

struct GateObject {
    PyObject_HEAD Gate value;
    Py_ssize_t borrow;
};

struct RegisterObject;
class LineSpot;

// The calls waiting for a register's borrow, and what they watch
// (register_borrow.hpp). Guarded by the process-wide wait lock
// (register_borrow.cpp); `waiting` is written under it and read anywhere.
struct BorrowLine {
    LineSpot* first = nullptr;  // the waiting calls, in order of arrival
    LineSpot* last = nullptr;
    // How many wait: 0 lets a call take a free borrow without the wait lock.
    std::atomic<std::uint32_t> waiting{0};
    // Moves whenever one of the register's borrows is given back while calls wait.
    std::uint64_t ends = 0;
    // How many of the borrows belong to calls that have let go of the
    // interpreter lock.
    Py_ssize_t released = 0;
    // The process-wide list of live registers, walked by a forked child.
    RegisterObject* prev = nullptr;
    RegisterObject* next = nullptr;
};

struct RegisterObject {
    PyObject_HEAD Register value;
    Py_ssize_t borrow;
    BorrowLine line;
};

// One borrow of one instance, given back when the guard goes. A failed take
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
