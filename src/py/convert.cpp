#include "py/convert.hpp"

#include <limits>
#include <string>

#include "runtime/contract.hpp"

namespace velqor::py {
namespace {

// A sequence may report any length; at most this many elements are reserved
// before they are actually seen, so a lying __len__ cannot exhaust memory.
constexpr Py_ssize_t kMaxReserve = 4096;

// Interned once per process, under the interpreter lock; kept for good.
PyObject* g_name_real = nullptr;
PyObject* g_name_imag = nullptr;
PyObject* g_name_qualname = nullptr;

// The type's __qualname__, or the fixed placeholder when it cannot be read.
std::string type_name(PyObject* obj) {
    Ref name(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), g_name_qualname));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(utf8, size);
    }
    (void)PyErr::take();
    return std::string(msg::kNoTypeName);
}

// The shared sequence conversion. `Sink` takes the reservation and converts
// and stores each element: reserve(count), add(item) -> MaybeErr.
//
// Exact lists and tuples are read in place: that observes exactly what their
// iterators would (a list is re-measured before every element, as its
// iterator does), without the iterator object and the string test, which
// cannot run Python code for them.
template <class Sink>
MaybeErr extract_sequence(PyObject* obj, Sink& sink) {
    if (PyList_CheckExact(obj)) {
        sink.reserve(std::min(PyList_GET_SIZE(obj), kMaxReserve));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            // Held while converting: element code may shrink the list.
            Ref item = Ref::retain(PyList_GET_ITEM(obj, i));
            if (MaybeErr error = sink.add(item.get())) return error;
        }
        return std::nullopt;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(obj);
        sink.reserve(std::min(size, kMaxReserve));
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (MaybeErr error = sink.add(PyTuple_GET_ITEM(obj, i))) return error;
        }
        return std::nullopt;
    }

    const int is_str = PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str == 1) return PyErr::type_error(std::string(msg::kStrToVec));
    if (is_str < 0) (void)PyErr::take();  // treated as not a string
    if (!PySequence_Check(obj)) return cannot_convert(obj, msg::kSequenceName);

    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        (void)PyErr::take();  // no reservation
    } else {
        sink.reserve(std::min(size, kMaxReserve));
    }
    Ref iterator(PyObject_GetIter(obj));
    if (!iterator) return PyErr::fetch();
    for (;;) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return PyErr::fetch();
            return std::nullopt;
        }
        if (MaybeErr error = sink.add(item.get())) return error;
    }
}

struct IndexSink {
    IndexList& out;
    void reserve(Py_ssize_t count) { out.reserve(static_cast<std::size_t>(count)); }
    MaybeErr add(PyObject* item) {
        Result<std::uint64_t> value = extract_index(item);
        if (!value) return value.take_error();
        out.push_back(*value);
        return std::nullopt;
    }
};

struct RowSink {
    std::vector<Complex>& out;
    void reserve(Py_ssize_t count) { out.reserve(static_cast<std::size_t>(count)); }
    MaybeErr add(PyObject* item) {
        Result<Complex> value = extract_complex(item);
        if (!value) return value.take_error();
        out.push_back(*value);
        return std::nullopt;
    }
};

struct MatrixSink {
    Matrix& out;
    void reserve(Py_ssize_t count) { out.reserve(static_cast<std::size_t>(count)); }
    MaybeErr add(PyObject* item) {
        std::vector<Complex> row;
        RowSink row_sink{row};
        if (MaybeErr error = extract_sequence(item, row_sink)) return error;
        out.push_back(std::move(row));
        return std::nullopt;
    }
};

// One field of the complex conversion: the attribute, then a float.
Result<double> complex_field(PyObject* obj, PyObject* name, std::string_view failure) {
    Ref attribute(PyObject_GetAttr(obj, name));
    if (!attribute) return PyErr::fetch();
    Result<double> value = extract_float(attribute.get());
    if (value) return *value;
    PyErr cause = value.take_error();
    PyErr error = PyErr::type_error(std::string(failure));
    error.set_cause(Ref::retain(cause.value()));
    return error;
}

}  // namespace

MaybeErr intern_names() {
    if (MaybeErr error = intern_into(msg::kRealName, g_name_real)) return error;
    if (MaybeErr error = intern_into(msg::kImagName, g_name_imag)) return error;
    return intern_into(msg::kQualnameName, g_name_qualname);
}

PyErr argument_error(PyErr error, std::string_view name) {
    if (!error.is_exact(PyExc_TypeError)) return error;
    PyErr wrapped = PyErr::type_error(msg::fill(msg::kArgumentError, {name, error.message()}));
    wrapped.set_cause(error.cause());
    return wrapped;
}

PyErr cannot_convert(PyObject* obj, std::string_view target) {
    return PyErr::type_error(msg::fill(msg::kCannotConvert, {type_name(obj), target}));
}

Result<std::uint64_t> extract_index(PyObject* obj) {
    // An exact int is its own index; anything else goes through __index__.
    Ref index;
    PyObject* number = obj;
    if (!PyLong_CheckExact(obj)) {
        index = Ref(PyNumber_Index(obj));
        if (!index) return PyErr::fetch();
        number = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyErr::fetch();
    if (value > std::numeric_limits<IndexWord>::max()) {
        return PyErr::overflow_error(std::string(msg::kIntegralOverflow));
    }
    return static_cast<std::uint64_t>(value);
}

Result<double> extract_float(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return PyErr::fetch();
    return value;
}

Result<Complex> extract_complex(PyObject* obj) {
    // complex.real/.imag and float.real/.imag are plain reads of the stored doubles.
    if (PyComplex_CheckExact(obj)) {
        const Py_complex value = reinterpret_cast<PyComplexObject*>(obj)->cval;
        return Complex{value.real, value.imag};
    }
    if (PyFloat_CheckExact(obj)) return Complex{PyFloat_AS_DOUBLE(obj), 0.0};

    Result<double> real = complex_field(obj, g_name_real, msg::kRealField);
    if (!real) return real.take_error();
    Result<double> imag = complex_field(obj, g_name_imag, msg::kImagField);
    if (!imag) return imag.take_error();
    return Complex{*real, *imag};
}

MaybeErr extract_indices(PyObject* obj, IndexList& out) {
    IndexSink sink{out};
    return extract_sequence(obj, sink);
}

MaybeErr extract_matrix(PyObject* obj, Matrix& out) {
    MatrixSink sink{out};
    return extract_sequence(obj, sink);
}

Result<GateObject*> extract_gate(PyObject* obj, PyTypeObject* gate_type) {
    if (!PyType_IsSubtype(Py_TYPE(obj), gate_type)) return cannot_convert(obj, msg::kGateName);
    return reinterpret_cast<GateObject*>(obj);
}

}  // namespace velqor::py
