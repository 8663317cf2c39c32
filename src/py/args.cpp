#include "py/args.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/contract.hpp"

namespace velqor::py {
namespace {

std::string display_name(const Signature& sig) {
    return msg::fill(msg::kDisplayName, {sig.class_name, sig.function_name});
}

// Fills parameter i from a keyword, unless a value is already there.
MaybeErr fill_slot(const Signature& sig, std::size_t i, PyObject* value, PyObject** slots) {
    if (slots[i] != nullptr) {
        return PyErr::type_error(msg::fill(msg::kMultipleValues, {display_name(sig), sig.params[i]}));
    }
    slots[i] = value;
    return std::nullopt;
}

// Places one keyword argument, or fails with the parser's message for it.
MaybeErr place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.interned[i] == key) return fill_slot(sig, i, value, slots);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
        // Not valid UTF-8 (a lone surrogate): it names no parameter.
        (void)PyErr::take();
    } else {
        const std::string_view name(utf8, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < sig.params.size(); ++i) {
            if (sig.params[i] == name) return fill_slot(sig, i, value, slots);
        }
    }
    Ref text(PyObject_Str(key));
    if (!text) return PyErr::fetch();
    return PyErr::type_error(msg::fill(msg::kUnexpectedKeyword, {display_name(sig), str_text(text.get())}));
}

MaybeErr check_positional_count(const Signature& sig, Py_ssize_t nargs, PyObject* const* args, PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    for (Py_ssize_t i = 0; i < std::min(nargs, count); ++i) slots[i] = args[i];
    if (nargs > count) {
        return PyErr::type_error(
            msg::fill(msg::kTooManyPositional, {display_name(sig), std::to_string(count), std::to_string(nargs)}));
    }
    return std::nullopt;
}

MaybeErr check_missing(const Signature& sig, Py_ssize_t nargs, PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs >= count) return std::nullopt;
    std::vector<std::string_view> missing;
    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (slots[i] == nullptr) missing.push_back(sig.params[static_cast<std::size_t>(i)]);
    }
    if (missing.empty()) return std::nullopt;
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (i + 1 < missing.size()) {
                names.append(msg::kListComma);
            } else {
                names.append(missing.size() > 2 ? msg::kListCommaAnd : msg::kListAnd);
            }
        }
        names.append(msg::fill(msg::kQuotedName, {missing[i]}));
    }
    const std::string_view noun = missing.size() == 1 ? msg::kArgumentNoun : msg::kArgumentsNoun;
    return PyErr::type_error(
        msg::fill(msg::kMissingArguments, {display_name(sig), std::to_string(missing.size()), noun, names}));
}

}  // namespace

MaybeErr intern_signature(const Signature& sig) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (MaybeErr error = intern_into(sig.params[i], sig.interned[i])) return error;
    }
    return std::nullopt;
}

MaybeErr parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         PyObject** slots) {
    if (MaybeErr error = check_positional_count(sig, nargs, args, slots)) return error;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (MaybeErr error = place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
                return error;
            }
        }
    }
    return check_missing(sig, nargs, slots);
}

MaybeErr parse_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    PyObject* const* items = args != nullptr ? reinterpret_cast<PyTupleObject*>(args)->ob_item : nullptr;
    if (MaybeErr error = check_positional_count(sig, nargs, items, slots)) return error;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (MaybeErr error = place_keyword(sig, key, value, slots)) return error;
        }
    }
    return check_missing(sig, nargs, slots);
}

}  // namespace velqor::py
