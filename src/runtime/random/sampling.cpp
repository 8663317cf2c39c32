#include "runtime/random/sampling.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "runtime/contract.hpp"
#include "runtime/panic.hpp"

namespace velqor::random {

UniformRange::UniformRange(double low, double high) : low_(low), width_(0.0) {
    if (!(low < high)) {
        panic(std::string(msg::kUniformLowHigh), site::kUniformLowHigh);
    }
    double width = high - low;
    if (!std::isfinite(width)) {
        panic(std::string(msg::kUniformOverflow), site::kUniformOverflow);
    }
    // The largest unit value a draw can give is 1 - 2^-52; lower the width until
    // even that one lands below high after rounding.
    const double max_unit = std::bit_cast<double>(std::uint64_t{0x3FEFFFFFFFFFFFFE});
    while (width * max_unit + low >= high) {
        width = std::bit_cast<double>(std::bit_cast<std::uint64_t>(width) - 1);
    }
    width_ = width;
}

double UniformRange::sample(ThreadGenerator& rng) const {
    const std::uint64_t v = rng.draw_u64();
    const double unit = std::bit_cast<double>(std::uint64_t{0x3FF} << 52 | v >> 12) - 1.0;
    const double scaled = unit * width_;
    return scaled + low_;
}

std::string_view sample_error_name(SampleError error) noexcept {
    const auto index = static_cast<std::size_t>(error);
    return index < msg::kSampleErrorNames.size() ? msg::kSampleErrorNames[index] : std::string_view{};
}

WeightedSampler::WeightedSampler(std::vector<double> cumulative, double total)
    : cumulative_(std::move(cumulative)), total_(total), range_(0.0, total) {}

std::variant<WeightedSampler, SampleError> WeightedSampler::build(std::span<const double> weights) {
    std::vector<double> cumulative;
    cumulative.reserve(weights.empty() ? 0 : weights.size() - 1);
    const auto total = checked_running_sum(
        weights.size(), [&](std::uint64_t j) { return weights[j]; },
        [&](std::uint64_t, double sum) { cumulative.push_back(sum); });
    if (const auto* error = std::get_if<SampleError>(&total)) return *error;
    return WeightedSampler(std::move(cumulative), std::get<double>(total));
}

std::uint32_t WeightedSampler::index_of(double x) const noexcept {
    // upper_bound halves the window: an entry <= x moves it right, one > x left.
    const auto first_above = std::upper_bound(cumulative_.begin(), cumulative_.end(), x);
    return static_cast<std::uint32_t>(first_above - cumulative_.begin());
}

std::uint32_t WeightedSampler::sample(ThreadGenerator& rng) const { return index_of(range_.sample(rng)); }

}  // namespace velqor::random
