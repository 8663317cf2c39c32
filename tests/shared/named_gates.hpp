// Named gates for the tests and the benchmarks; the module builds its gates
// from the caller's matrices only.
#pragma once

#include "core/gate.hpp"

namespace velqor {

namespace gates {
inline constexpr double kH = 0.7071067811865475;  // the double nearest 1/sqrt(2)
inline constexpr Gate kHadamard{{kH, 0}, {kH, 0}, {kH, 0}, {-kH, 0}};
inline constexpr Gate kX{{0, 0}, {1, 0}, {1, 0}, {0, 0}};
}  // namespace gates

}  // namespace velqor
