// The conversions of Python values into native ones, and the wrapping of a
// failed conversion into the argument error of its parameter.
// Every conversion reports failure as a PyErr; interpreter errors pass through
// unchanged, the module's own refusals carry the messages of runtime/contract.hpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "py/boundary.hpp"
#include "py/objects.hpp"
#include "core/complex.hpp"

namespace velqor::py {

// Wraps a failed conversion of parameter `name`: an error of exactly TypeError
// becomes TypeError "argument '{name}': {message}" keeping the old __cause__;
// any other error is returned unchanged.
PyErr argument_error(PyErr error, std::string_view name);

// TypeError "'{type}' object cannot be converted to '{target}'".
PyErr cannot_convert(PyObject* obj, std::string_view target);

// The interned attribute names, created once (during module initialisation).
MaybeErr intern_names();

// Qubit indices converted from a sequence. The first few live inline, so the
// usual short target and control lists cost no heap allocation.
class IndexList {
public:
    static constexpr std::size_t kInline = 8;

    void reserve(std::size_t count) {
        if (count <= kInline && !on_heap_) return;
        move_to_heap(count);
    }
    void push_back(std::uint64_t value) {
        if (!on_heap_) {
            if (size_ < kInline) {
                inline_[size_++] = value;
                return;
            }
            move_to_heap(2 * kInline);
        }
        heap_.push_back(value);
    }
    std::span<const std::uint64_t> span() const noexcept {
        if (on_heap_) return {heap_.data(), heap_.size()};
        return {inline_.data(), size_};
    }

private:
    void move_to_heap(std::size_t count) {
        if (!on_heap_) {
            heap_.reserve(std::max(count, size_));
            heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(size_));
            on_heap_ = true;
        } else {
            heap_.reserve(count);
        }
    }

    std::array<std::uint64_t, kInline> inline_{};
    std::size_t size_ = 0;
    bool on_heap_ = false;
    std::vector<std::uint64_t> heap_;
};

using Matrix = std::vector<std::vector<Complex>>;

// Qubit counts and indices are unsigned words of 32 bits on the Python
// side, whatever the platform: every count, target, control and index passes
// through extract_index, the one place that knows the width. (Sizes in bytes
// are not words: 29 qubits take 8 GiB.)
using IndexWord = std::uint32_t;

// Index conversion: __index__, then an unsigned 64-bit value, refused with
// OverflowError when it does not fit an IndexWord.
Result<std::uint64_t> extract_index(PyObject* obj);
// Float conversion (PyFloat_AsDouble).
Result<double> extract_float(PyObject* obj);
// Complex conversion from the attributes `real` and `imag`.
Result<Complex> extract_complex(PyObject* obj);
// Sequence conversions: a sequence of indices, and a sequence of sequences of
// complex values.
MaybeErr extract_indices(PyObject* obj, IndexList& out);
MaybeErr extract_matrix(PyObject* obj, Matrix& out);
// Instance check for a QGate argument against the QGate type (the borrow is the caller's).
Result<GateObject*> extract_gate(PyObject* obj, PyTypeObject* gate_type);

}  // namespace velqor::py
