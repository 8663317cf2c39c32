#include "py/interpreter_lock.hpp"

#include <utility>

namespace velqor::py {

void InterpreterLock::release() noexcept {
    if (borrow_ != nullptr) borrow_->mark_released();
    saved_ = PyEval_SaveThread();
}

void InterpreterLock::reacquire() {
    if (saved_ == nullptr) return;
    PyEval_RestoreThread(std::exchange(saved_, nullptr));
}

}  // namespace velqor::py
