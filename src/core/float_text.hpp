// The decimal text of a double, as the unitarity diagnostic prints it. A pure
// function: any thread.
#pragma once

#include <string>

namespace velqor {

// Shortest round-trip decimal form used by the unitarity diagnostic: plain
// notation for zero and magnitudes in [1e-4, 1e16), scientific otherwise,
// "NaN" and "inf".
std::string format_double(double value);

}  // namespace velqor
