// What measurement computes besides the register's own methods: the marginal
// totals of one qubit, exposed so that tests can pin their summation order.
#pragma once

#include "core/complex.hpp"

namespace velqor {

// The totals of |a_i|^2 over the indices whose bit t is 0 and 1, of a state of
// 2^n amplitudes (t < n), as measure() forms them: the same bits for every
// worker count. Runs on the pool.
struct Marginals {
    double p0 = 0.0;
    double p1 = 0.0;
};
Marginals marginal_totals(const Complex* amplitudes, unsigned n, unsigned t);

}  // namespace velqor
