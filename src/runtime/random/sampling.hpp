// Uniform doubles over a range and the weighted sampler built on it: what a
// measurement draws its outcome with. Built per draw on the calling thread and
// dropped with it; drawing takes that thread's generator. Nothing blocks.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/random/thread_generator.hpp"

namespace velqor::random {

// Uniform doubles over [low, high).
class UniformRange {
public:
    UniformRange(double low, double high);  // panics on low >= high or an infinite width
    double sample(ThreadGenerator& rng) const;
    double low() const noexcept { return low_; }
    double width() const noexcept { return width_; }

private:
    double low_;
    double width_;
};

enum class SampleError : std::uint8_t { NoItem, InvalidWeight, AllWeightsZero, TooMany };
std::string_view sample_error_name(SampleError error) noexcept;

// The weighted sampler's pass over its weights, for any source of them: the
// running sum of weight(0) .. weight(count - 1) in order, each checked (one
// that is not >= 0, negative or NaN, is InvalidWeight), and a zero total
// refused (AllWeightsZero). keep(j, sum) sees the sum of the weights before
// weight j, for j = 1 .. count - 1. Returns the total or the first error.
template <class Weight, class Keep>
std::variant<double, SampleError> checked_running_sum(std::uint64_t count, Weight&& weight, Keep&& keep) {
    if (count == 0) return SampleError::NoItem;
    double total = weight(std::uint64_t{0});
    if (!(total >= 0.0)) return SampleError::InvalidWeight;
    for (std::uint64_t j = 1; j < count; ++j) {
        const double w = weight(j);
        if (!(w >= 0.0)) return SampleError::InvalidWeight;
        keep(j, total);
        total += w;
    }
    if (total == 0.0) return SampleError::AllWeightsZero;
    return total;
}

// Picks index j with probability weight[j] / total: one uniform draw x in
// [0, total), then the number of cumulative sums <= x.
class WeightedSampler {
public:
    static std::variant<WeightedSampler, SampleError> build(std::span<const double> weights);

    std::uint32_t sample(ThreadGenerator& rng) const;
    // The index a uniform value x in [0, total) selects: the number of cumulative
    // sums <= x, so a value on a boundary goes to the later index.
    std::uint32_t index_of(double x) const noexcept;
    const std::vector<double>& cumulative() const noexcept { return cumulative_; }
    double total() const noexcept { return total_; }

private:
    WeightedSampler(std::vector<double> cumulative, double total);

    std::vector<double> cumulative_;
    double total_;
    UniformRange range_;
};

}  // namespace velqor::random
