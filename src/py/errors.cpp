#include "py/errors.hpp"

#include "py/raised_panics.hpp"
#include "runtime/contract.hpp"

namespace velqor::py {
namespace {

// Set once, under the interpreter lock, and kept for the life of the process.
PyObject* g_panic_type = nullptr;

#if VELQOR_RAISED_EXCEPTION
// The instance of `type` for the argument `text`, as the interpreter makes it
// (normalisation calls the type with the one argument); a panic is recorded.
// Null, with the constructor's failure pending, when that fails.
Ref make_instance(PyObject* type, PyObject* text) {
    Ref instance(PyObject_CallOneArg(type, text));
    if (instance && g_panic_type != nullptr && type == g_panic_type) record_raised_panic(instance.get());
    return instance;
}
#endif

// The message a panic that came back from Python code goes on with: the
// module's own message when the pending value is still its panic (the message
// str on 3.11, an instance it raised from 3.12), the fixed text otherwise.
std::string resumed_message(PyObject* value) {
#if VELQOR_RAISED_EXCEPTION
    if (value != nullptr && take_raised_panic(value)) {
        Ref args(PyException_GetArgs(value));
        if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
            PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0)))
            return str_text(PyTuple_GET_ITEM(args.get(), 0));
    }
#else
    if (value != nullptr && PyUnicode_Check(value)) return str_text(value);
#endif
    return std::string(msg::kUnwrappedPanic);
}

// Hands the triple to the interpreter's error indicator, consuming it.
void restore_triple(Ref type, Ref value, Ref traceback) {
#if VELQOR_RAISED_EXCEPTION
    // The fetched value is the instance already (PyErr::take); its traceback is
    // kept on it, as PyErr_Restore would.
    (void)type;
    if (traceback) PyException_SetTraceback(value.get(), traceback.get());
    PyErr_SetRaisedException(value.hand_over());
#else
    PyErr_Restore(type.hand_over(), value.hand_over(), traceback.hand_over());
#endif
}

PyObject* type_error_type() { return PyExc_TypeError; }
PyObject* overflow_error_type() { return PyExc_OverflowError; }
PyObject* runtime_error_type() { return PyExc_RuntimeError; }
PyObject* import_error_type() { return PyExc_ImportError; }
PyObject* system_error_type() { return PyExc_SystemError; }
PyObject* memory_error_type() { return PyExc_MemoryError; }

// repr() of an object as text; a failing repr() gives the fixed placeholder.
std::string repr_text(PyObject* obj) {
    if (obj == nullptr) return std::string(msg::kNone);
    Ref text(PyObject_Repr(obj));
    if (!text) {
        (void)PyErr::take();
        return std::string(msg::kStrFailed);
    }
    return str_text(text.get());
}

// A lazy error's message as a Python string; null, with the error that refused
// it pending, when it cannot be made. Encoded surrogates pass through.
Ref lazy_message(std::string_view message) {
    return Ref(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
}

}  // namespace

MaybeErr intern_into(std::string_view text, PyObject*& cell) {
    if (cell != nullptr) return std::nullopt;
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) return PyErr::allocation_failed();
    PyUnicode_InternInPlace(&name);
    cell = name;
    return std::nullopt;
}

std::string str_text(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, size);
    // Not encodable as strict UTF-8 (lone surrogates): drop that error.
    PyErr_Clear();
    Ref bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) api_call_failed(site::kStrEncoding);
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

PyObject* panic_exception_type() {
    if (g_panic_type != nullptr) return g_panic_type;
    Ref created(PyErr_NewExceptionWithDoc(kPanicTypeName, msg::kPanicTypeDoc, PyExc_BaseException, nullptr));
    if (!created) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        PyErr error = PyErr::fetch();
        panic(msg::fill(msg::kPanicTypeFailed, {error.debug_form()}), site::kPanicTypeCreation);
    }
    // Filled while the type was being created: the first one stays.
    if (g_panic_type == nullptr) g_panic_type = created.hand_over();
    return g_panic_type;
}

PyErr PyErr::lazy(TypeFn type, std::string message) {
    PyErr error;
    error.state_ = State::Lazy;
    error.type_fn_ = type;
    error.message_ = std::move(message);
    return error;
}

PyErr PyErr::type_error(std::string message) { return lazy(type_error_type, std::move(message)); }
PyErr PyErr::overflow_error(std::string message) { return lazy(overflow_error_type, std::move(message)); }
PyErr PyErr::runtime_error(std::string message) { return lazy(runtime_error_type, std::move(message)); }
PyErr PyErr::import_error(std::string message) { return lazy(import_error_type, std::move(message)); }
PyErr PyErr::system_error(std::string message) { return lazy(system_error_type, std::move(message)); }
PyErr PyErr::memory_error(std::string message) { return lazy(memory_error_type, std::move(message)); }
PyErr PyErr::panic_exception(std::string message) { return lazy(panic_exception_type, std::move(message)); }

std::optional<PyErr> PyErr::take() {
#if VELQOR_RAISED_EXCEPTION
    Ref value(PyErr_GetRaisedException());
    if (!value) return std::nullopt;
    Ref type = Ref::retain(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    Ref traceback(PyException_GetTraceback(value.get()));
    const State state = State::Normalized;
#else
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    Ref type(raw_type), value(raw_value), traceback(raw_traceback);
    if (!type) return std::nullopt;
    const State state = State::Fetched;
#endif

    // Compared with the cached type: an instance exists only once it is created.
    if (g_panic_type != nullptr && type.get() == g_panic_type) {
        // A panic of this module that came back through Python code: it goes on
        // as a panic, with the Python traceback printed on the way.
        std::string message = resumed_message(value.get());
        write_stderr(msg::kResumeBanner);
        restore_triple(std::move(type), std::move(value), std::move(traceback));
        PyErr_PrintEx(0);
        resume_panic(std::move(message), site::kPanicResumed);
    }

    PyErr error;
    error.state_ = state;
    error.type_ = std::move(type);
    error.value_ = std::move(value);
    error.traceback_ = std::move(traceback);
    return error;
}

PyErr PyErr::fetch() {
    if (std::optional<PyErr> pending = take()) return std::move(*pending);
    return system_error(std::string(msg::kNoErrorSet));
}

PyErr PyErr::allocation_failed() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return fetch();
    api_call_failed(site::kApiCallFailed);
}

void api_call_failed(Location where) {
    PyErr_Print();
    panic(std::string(msg::kApiCallFailed), where);
}

void PyErr::restore() && {
    switch (state_) {
        case State::Lazy: {
            // Without memory for the type, the pending MemoryError takes this one's place.
            Ref type = Ref::retain(type_fn_());
            if (!type) return;
            Ref text = lazy_message(message_);
            if (!text) {
                // The message could not be made (memory refused): that error
                // takes this one's place.
                if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
                api_call_failed(site::kErrorRestore);
            }
#if VELQOR_RAISED_EXCEPTION
            // A failing constructor leaves its own error pending instead, as
            // the interpreter's normalisation would.
            Ref instance = make_instance(type.get(), text.get());
            if (instance) PyErr_SetRaisedException(instance.hand_over());
#else
            PyErr_Restore(type.hand_over(), text.hand_over(), nullptr);
#endif
            return;
        }
        case State::Fetched:
        case State::Normalized: restore_triple(std::move(type_), std::move(value_), std::move(traceback_)); return;
        case State::Normalizing: panic(std::string(msg::kNormalizeWhileNormalizing), site::kRestoreWhileNormalizing);
    }
}

void PyErr::normalize() {
    switch (state_) {
        case State::Normalized: return;
        case State::Normalizing: panic(std::string(msg::kNormalizeWhileNormalizing), site::kNormalizeReentered);
        case State::Lazy:
        case State::Fetched: break;
    }
#if VELQOR_RAISED_EXCEPTION
    // A fetched error is an instance already (take() yields one).
    if (state_ == State::Fetched) {
        state_ = State::Normalized;
        return;
    }
#endif
    Ref lazy_type, lazy_value;
    if (state_ == State::Lazy) {
        lazy_type = Ref::retain(type_fn_());
        if (!lazy_type) {
            // No memory for the type: that MemoryError replaces this error.
            *this = fetch();
            normalize();
            return;
        }
        lazy_value = lazy_message(message_);
        if (!lazy_value) {
            // Making the message failed: that failure replaces this error.
            *this = allocation_failed();
            normalize();
            return;
        }
        message_.clear();
    }
    state_ = State::Normalizing;
#if VELQOR_RAISED_EXCEPTION
    Ref instance = make_instance(lazy_type.get(), lazy_value.get());
    if (instance) {
        type_ = std::move(lazy_type);
        value_ = std::move(instance);
    } else {
        // The constructor failed: that failure becomes the normalised error.
        value_ = Ref(PyErr_GetRaisedException());
        type_ = value_ ? Ref::retain(reinterpret_cast<PyObject*>(Py_TYPE(value_.get()))) : Ref();
    }
    traceback_ = value_ ? Ref(PyException_GetTraceback(value_.get())) : Ref();
#else
    PyObject* type = lazy_type ? lazy_type.hand_over() : type_.hand_over();
    PyObject* value = lazy_value ? lazy_value.hand_over() : value_.hand_over();
    PyObject* traceback = traceback_.hand_over();
    // Cannot fail or throw: a failure inside becomes the normalised error.
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Ref(type);
    value_ = Ref(value);
    traceback_ = Ref(traceback);
#endif
    state_ = State::Normalized;
    if (!type_) panic(std::string(msg::kTypeMissing), site::kTypeMissing);
    if (!value_) panic(std::string(msg::kValueMissing), site::kValueMissing);
}

PyObject* PyErr::type() {
    if (state_ == State::Normalizing) panic(std::string(msg::kTypeWhileNormalizing), site::kTypeWhileNormalizing);
    normalize();
    return type_.get();
}

PyObject* PyErr::value() {
    normalize();
    return value_.get();
}

Ref PyErr::cause() {
    normalize();
    return Ref(PyException_GetCause(value_.get()));
}

void PyErr::set_cause(Ref cause) {
    normalize();
    PyException_SetCause(value_.get(), cause.hand_over());
}

std::string PyErr::message() {
    normalize();
    Ref text(PyObject_Str(value_.get()));
    if (!text) {
        (void)take();
        return std::string(msg::kStrFailed);
    }
    return str_text(text.get());
}

std::string PyErr::debug_form() {
    normalize();
    return msg::fill(msg::kErrDebugForm,
                     {repr_text(type_.get()), repr_text(value_.get()), repr_text(traceback_.get())});
}

}  // namespace velqor::py
