#include "py/boundary.hpp"

#include <exception>
#include <new>
#include <string>

#include "core/register_memory.hpp"
#include "runtime/contract.hpp"

namespace velqor::py {
namespace {

// MemoryError from the interpreter's preallocated instance: needs no memory.
PyErr no_memory() noexcept {
    PyErr_NoMemory();
    return PyErr::fetch();
}

}  // namespace

PyErr error_from_caught_exception() noexcept {
    try {
        throw;
    } catch (Panic& caught) {
        PyErr error = PyErr::panic_exception(caught.take_message());
        panic_caught();
        return error;
    } catch (const RegisterMemoryRefused& refused) {
        try {
            return PyErr::memory_error(
                msg::fill(msg::kRegisterMemory, {std::to_string(refused.bytes), std::to_string(refused.qubits)}));
        } catch (const std::bad_alloc&) {
            return no_memory();
        }
    } catch (const std::bad_alloc&) {
        return no_memory();
    } catch (const std::exception& caught) {
        try {
            return PyErr::panic_exception(msg::fill(msg::kUnexpectedCxx, {caught.what()}));
        } catch (const std::bad_alloc&) {
            return no_memory();
        }
    } catch (...) {
        try {
            return PyErr::panic_exception(std::string(msg::kUnknownCxx));
        } catch (const std::bad_alloc&) {
            return no_memory();
        }
    }
}

void boundary_trap() noexcept { panic_nounwind(std::string(msg::kUncaughtAtBoundary), site::kUncaughtAtBoundary); }

void report_unraisable(PyErr error) {
    // Deallocation can run while another error is pending; keep it aside.
#if VELQOR_RAISED_EXCEPTION
    Ref saved(PyErr_GetRaisedException());
    std::move(error).restore();
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(saved.hand_over());
#else
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    Ref saved_type(raw_type), saved_value(raw_value), saved_traceback(raw_traceback);
    std::move(error).restore();
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(saved_type.hand_over(), saved_value.hand_over(), saved_traceback.hand_over());
#endif
}

}  // namespace velqor::py
