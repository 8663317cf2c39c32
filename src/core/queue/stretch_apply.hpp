// Running a planned stretch (core/queue/stretch_plan.hpp): the blocks of the
// state on the pool, each gathered into the thread's buffer when its qubits are
// not contiguous, every gate of the stretch applied to it in cache, the
// marginal totals formed from it when asked for, and scattered back.
#pragma once

#include "core/complex.hpp"
#include "core/marginals.hpp"
#include "core/queue/stretch_plan.hpp"

namespace velqor::blocking {

// Applies the stretch of `layout` to the state of 2^n amplitudes. With
// `marginals`, also adds the totals of the resulting state into it (every
// block, changed or not). Throws std::bad_alloc, before any amplitude changes,
// when the gather buffers cannot be had.
void apply_stretch(const StretchLayout& layout, Complex* amplitudes, unsigned n, SharedMarginals* marginals);

namespace test_hooks {

// Makes the `nth` preparation of gather buffers from now (1 = the next) fail
// with std::bad_alloc, as a refused allocation would.
void refuse_gather_buffers(int nth) noexcept;

}  // namespace test_hooks

}  // namespace velqor::blocking
