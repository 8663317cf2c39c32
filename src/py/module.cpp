// The module velqor as the interpreter sees it: the module definition and its
// one-time initialisation, the classes QGate and Register, and their six
// entry points. Every entry point runs inside the boundary frame.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/convert.hpp"
#include "py/interpreter_lock.hpp"
#include "py/objects.hpp"
#include "py/register_borrow.hpp"
#include "core/buffer.hpp"

namespace velqor::py {
namespace {

constexpr int kModuleApiVersion = 1013;

// Set by the first initialisation that gets as far as checking it; never reset.
std::atomic<bool> g_module_initialized{false};
// Created on first request, kept until the process ends.
PyTypeObject* g_gate_type = nullptr;
PyTypeObject* g_register_type = nullptr;

// Parameter lists and signatures of the entry points that take arguments.
// The interned parameter names, filled at initialisation and kept for good.
std::array<PyObject*, 1> g_gate_new_names{};
std::array<PyObject*, 1> g_register_new_names{};
std::array<PyObject*, 3> g_apply_gate_names{};
std::array<PyObject*, 1> g_measure_names{};
constexpr Signature kGateNewSig{msg::kGateName, msg::kNewName, msg::kGateNewParams, g_gate_new_names.data()};
constexpr Signature kRegisterNewSig{msg::kRegisterName, msg::kNewName, msg::kRegisterNewParams,
                                    g_register_new_names.data()};
constexpr Signature kApplyGateSig{msg::kRegisterName, msg::kApplyGateName, msg::kApplyGateParams,
                                  g_apply_gate_names.data()};
constexpr Signature kMeasureSig{msg::kRegisterName, msg::kMeasureName, msg::kMeasureParams, g_measure_names.data()};

// Whether a method's docstring signature reads "name($self, p1, p2)" and the
// separator, with the name and parameters the parser uses: the texts of
// runtime/contract.hpp are checked against the parameter lists here when compiling,
// and the stub against the module by stubtest.
template <std::size_t N>
constexpr bool signature_matches(std::string_view text, std::string_view name,
                                 const std::array<std::string_view, N>& params) {
    const auto take = [&text](std::string_view part) {
        if (!text.starts_with(part)) return false;
        text.remove_prefix(part.size());
        return true;
    };
    if (!take(name) || !take("($self")) return false;
    for (const std::string_view param : params) {
        if (!take(", ") || !take(param)) return false;
    }
    return text == ")\n--\n\n";
}
constexpr std::array<std::string_view, 0> kNoParams{};
static_assert(signature_matches(msg::kApplyGateSignature, msg::kApplyGateName, msg::kApplyGateParams));
static_assert(signature_matches(msg::kMeasureSignature, msg::kMeasureName, msg::kMeasureParams));
static_assert(signature_matches(msg::kProbabilitiesSignature, msg::kProbabilitiesName, kNoParams));
static_assert(signature_matches(msg::kMeasureAllSignature, msg::kMeasureAllName, kNoParams));

// Allocates an instance through the tp_alloc of the type being constructed and
// moves the native value into it, with borrow flag 0. On failure the value goes
// with the caller's frame.
template <class Object, class Value>
Result<Ref> new_instance(PyTypeObject* type, Value&& value) {
    const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return PyErr::fetch();
    auto* self = reinterpret_cast<Object*>(obj);
    std::construct_at(&self->value, std::forward<Value>(value));
    self->borrow = 0;
    if constexpr (std::is_same_v<Object, RegisterObject>) {
        std::construct_at(&self->line);
        enlist_register(*self);
    }
    return Ref(obj);
}

// The deallocator of both classes: drops the native value, then frees the
// object. Instances of heap types hold a reference to their type, dropped here.
template <class Object>
void dealloc_instance(PyObject* obj) {
    boundary_dealloc([obj] {
        if constexpr (std::is_same_v<Object, RegisterObject>) {
            auto* reg = reinterpret_cast<RegisterObject*>(obj);
            delist_register(*reg);
            std::destroy_at(&reg->line);
        }
        std::destroy_at(&reinterpret_cast<Object*>(obj)->value);
        PyTypeObject* type = Py_TYPE(obj);
        type->tp_free(obj);
        Py_DECREF(type);
    });
}

PyErr already_borrowed() { return PyErr::runtime_error(std::string(msg::kAlreadyBorrowed)); }
PyErr already_mutably_borrowed() { return PyErr::runtime_error(std::string(msg::kAlreadyMutablyBorrowed)); }

enum class Access { Shared, Exclusive };

// The frame of every Register method: checks the receiver (the Register type
// or a subtype) and borrows it with `access` before anything else happens
// (waiting its turn behind other threads' calls, register_borrow.hpp), then
// runs `method` on the register and its borrow, which the method hands to
// in_core(); the borrow is given back on every path.
template <Access access, class Method>
PyObject* register_method(PyObject* self, Method&& method) {
    return boundary([&]() -> Result<Ref> {
        if (!PyType_IsSubtype(Py_TYPE(self), g_register_type)) return cannot_convert(self, msg::kRegisterName);
        auto* reg = reinterpret_cast<RegisterObject*>(self);
        constexpr bool exclusive = access == Access::Exclusive;
        RegisterBorrow borrow;
        if (!borrow.take(*reg, exclusive)) return exclusive ? already_borrowed() : already_mutably_borrowed();
        return method(reg->value, borrow);
    });
}

// --- QGate -------------------------------------------------------------------

PyObject* gate_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> Result<Ref> {
        std::array<PyObject*, msg::kGateNewParams.size()> slots{};
        if (MaybeErr error = parse_arguments(kGateNewSig, args, kwargs, slots.data())) return std::move(*error);
        Gate gate;
        {
            Matrix rows;
            if (MaybeErr error = extract_matrix(slots[0], rows)) {
                return argument_error(std::move(*error), msg::kGateNewParams[0]);
            }
            gate = gate_from_rows(rows);
        }
        return new_instance<GateObject>(subtype, gate);
    });
}

// --- Register ------------------------------------------------------------------

PyObject* register_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> Result<Ref> {
        std::array<PyObject*, msg::kRegisterNewParams.size()> slots{};
        if (MaybeErr error = parse_arguments(kRegisterNewSig, args, kwargs, slots.data())) return std::move(*error);
        Result<std::uint64_t> qubits = extract_index(slots[0]);
        if (!qubits) return argument_error(qubits.take_error(), msg::kRegisterNewParams[0]);
        // On failure the new register (and its state) goes with this frame.
        Register reg = in_core(nullptr, [&] { return Register(*qubits); });
        return new_instance<RegisterObject>(subtype, std::move(reg));
    });
}

PyObject* register_apply_gate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return register_method<Access::Exclusive>(self, [&](Register& reg, RegisterBorrow& borrow) -> Result<Ref> {
        std::array<PyObject*, msg::kApplyGateParams.size()> slots{};
        if (MaybeErr error = parse_arguments(kApplyGateSig, args, nargs, kwnames, slots.data())) {
            return std::move(*error);
        }
        Result<GateObject*> gate = extract_gate(slots[0], g_gate_type);
        if (!gate) return argument_error(gate.take_error(), msg::kApplyGateParams[0]);
        Borrow gate_borrow;
        if (!gate_borrow.take_shared((*gate)->borrow)) return already_mutably_borrowed();
        IndexList targets;
        if (MaybeErr error = extract_indices(slots[1], targets)) {
            return argument_error(std::move(*error), msg::kApplyGateParams[1]);
        }
        IndexList controls;
        if (MaybeErr error = extract_indices(slots[2], controls)) {
            return argument_error(std::move(*error), msg::kApplyGateParams[2]);
        }

        in_core(&borrow, [&] { reg.apply_gate((*gate)->value, targets.span(), controls.span()); });
        return Ref::retain(Py_None);
    });
}

PyObject* register_probabilities(PyObject* self, PyObject* /*unused*/) {
    return register_method<Access::Shared>(self, [](Register& reg, RegisterBorrow& borrow) -> Result<Ref> {
        const Buffer<double> probabilities = in_core(&borrow, [&] { return reg.probabilities(); });
        Ref list(PyList_New(static_cast<Py_ssize_t>(probabilities.size())));
        if (!list) return PyErr::allocation_failed();
        for (std::size_t i = 0; i < probabilities.size(); ++i) {
            PyObject* item = PyFloat_FromDouble(probabilities[i]);
            if (item == nullptr) return PyErr::allocation_failed();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list;
    });
}

PyObject* register_measure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return register_method<Access::Exclusive>(self, [&](Register& reg, RegisterBorrow& borrow) -> Result<Ref> {
        std::array<PyObject*, msg::kMeasureParams.size()> slots{};
        if (MaybeErr error = parse_arguments(kMeasureSig, args, nargs, kwnames, slots.data())) {
            return std::move(*error);
        }
        Result<std::uint64_t> target = extract_index(slots[0]);
        if (!target) return argument_error(target.take_error(), msg::kMeasureParams[0]);

        const std::uint64_t outcome = in_core(&borrow, [&] { return reg.measure(*target); });
        Ref result(PyLong_FromUnsignedLongLong(outcome));
        if (!result) return PyErr::allocation_failed();
        return result;
    });
}

PyObject* register_measure_all(PyObject* self, PyObject* /*unused*/) {
    return register_method<Access::Shared>(self, [](Register& reg, RegisterBorrow& borrow) -> Result<Ref> {
        const std::uint64_t index = in_core(&borrow, [&] { return reg.measure_all(); });
        Ref result(PyLong_FromUnsignedLongLong(index));
        if (!result) return PyErr::allocation_failed();
        return result;
    });
}

// --- Type objects and module ---------------------------------------------------

template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_register_methods[] = {
    {msg::kApplyGateName, as_cfunction(register_apply_gate), METH_FASTCALL | METH_KEYWORDS, msg::kApplyGateSignature},
    {msg::kProbabilitiesName, as_cfunction(register_probabilities), METH_NOARGS, msg::kProbabilitiesSignature},
    {msg::kMeasureName, as_cfunction(register_measure), METH_FASTCALL | METH_KEYWORDS, msg::kMeasureSignature},
    {msg::kMeasureAllName, as_cfunction(register_measure_all), METH_NOARGS, msg::kMeasureAllSignature},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_gate_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<GateObject>)},
    {Py_tp_new, reinterpret_cast<void*>(gate_new)},
    {0, nullptr},
};

PyType_Slot g_register_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<RegisterObject>)},
    {Py_tp_new, reinterpret_cast<void*>(register_new)},
    {Py_tp_methods, g_register_methods},
    {0, nullptr},
};

PyType_Spec g_gate_spec = {msg::kGateSpecName, static_cast<int>(sizeof(GateObject)), 0, Py_TPFLAGS_DEFAULT,
                           g_gate_slots};
PyType_Spec g_register_spec = {msg::kRegisterSpecName, static_cast<int>(sizeof(RegisterObject)), 0, Py_TPFLAGS_DEFAULT,
                               g_register_slots};

// The class's type object, created by PyType_FromSpec on first request.
Result<PyTypeObject*> class_type(PyTypeObject*& cell, PyType_Spec& spec, std::string_view name) {
    if (cell != nullptr) return cell;
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        PyErr cause = PyErr::fetch();
        PyErr error = PyErr::runtime_error(msg::fill(msg::kClassInitFailed, {name}));
        error.set_cause(Ref::retain(cause.value()));
        return error;
    }
    cell = reinterpret_cast<PyTypeObject*>(type);
    return cell;
}

// Publishes a class: appended to __all__ (created when missing), then set as
// the module attribute of its name.
MaybeErr add_class(PyObject* module, PyTypeObject*& cell, PyType_Spec& spec, std::string_view name) {
    Result<PyTypeObject*> type = class_type(cell, spec, name);
    if (!type) return type.take_error();

    Ref all(PyObject_GetAttrString(module, msg::kAllName));
    if (!all) {
        PyErr error = PyErr::fetch();
        if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return error;
        all = Ref(PyList_New(0));
        if (!all) return PyErr::allocation_failed();
        if (PyObject_SetAttrString(module, msg::kAllName, all.get()) < 0) return PyErr::fetch();
    }
    Ref name_text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!name_text) return PyErr::allocation_failed();
    if (PyList_Append(all.get(), name_text.get()) < 0) {
        PyErr error = PyErr::fetch();
        panic(msg::fill(msg::kAllAppendFailed, {error.debug_form()}), site::kAllAppend);
    }
    if (PyObject_SetAttr(module, name_text.get(), reinterpret_cast<PyObject*>(*type)) < 0) return PyErr::fetch();
    return std::nullopt;
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, msg::kModuleName, msg::kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    return boundary([]() -> Result<Ref> {
        Ref module(PyModule_Create2(&g_module_def, kModuleApiVersion));
        if (!module) return PyErr::fetch();
        // A forked child must be able to give back other threads' borrows
        // before any register exists; only a refused allocation stops that.
        if (!prepare_register_borrows()) {
            PyErr_NoMemory();
            return PyErr::fetch();
        }
        if (g_module_initialized.exchange(true)) return PyErr::import_error(std::string(msg::kSecondInit));
        if (MaybeErr error = intern_names()) return std::move(*error);
        for (const Signature* sig : {&kGateNewSig, &kRegisterNewSig, &kApplyGateSig, &kMeasureSig}) {
            if (MaybeErr error = intern_signature(*sig)) return std::move(*error);
        }
        if (MaybeErr error = add_class(module.get(), g_gate_type, g_gate_spec, msg::kGateName)) {
            return std::move(*error);
        }
        if (MaybeErr error = add_class(module.get(), g_register_type, g_register_spec, msg::kRegisterName)) {
            return std::move(*error);
        }
        return module;
    });
}

}  // namespace

}  // namespace velqor::py

PyMODINIT_FUNC PyInit_velqor(void) { return velqor::py::init_module(); }
