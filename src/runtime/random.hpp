// Random source: a per-thread ChaCha12 keystream generator keyed from the
// operating system, a uniform range of doubles on top of it, and a weighted
// sampler over non-negative weights.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velqor::random {

// A failed read of the operating system's generator.
struct OsError {
    std::uint32_t code;
    std::string describe() const;  // "OS Error: " and the code in decimal
};

// Fills `buffer` from the operating system's generator (getrandom). An empty
// buffer succeeds without a system call.
using OsSource = std::optional<OsError> (*)(std::span<std::uint8_t> buffer);
std::optional<OsError> fill_from_os(std::span<std::uint8_t> buffer);

// Replaces the operating-system source used by every generator (tests only).
// Returns the previous source; nullptr restores the real one.
OsSource set_os_source(OsSource source) noexcept;

// One ChaCha block: 16 output words for (key, 64-bit counter, 64-bit stream) and
// `rounds` rounds (8, 12 or 20), in the 64-bit counter / 64-bit nonce layout.
void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream, unsigned rounds,
                  std::uint32_t out[16]);

// Four consecutive blocks (counters counter .. counter + 3, wrapping) computed side
// by side: block i goes to out[16 * i .. 16 * i + 15]. This is what a refill runs.
void chacha_blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    unsigned rounds, std::uint32_t out[64]);

// A generator's first key when VELQOR_SEED is set: derived from the seed, the
// process's fork lineage and the thread's number.
struct SeededKey {
    std::uint64_t seed;
    std::array<std::uint32_t, 8> words;
};

// Per-thread ChaCha12 generator: four blocks per refill, a new key after every
// 65,536 bytes of output, and a new key before the next draw in a process
// forked after it was created. The new keys come from the operating system, or,
// for a generator made from a SeededKey, are derived from the seed and the key
// before them, so that its draws repeat from run to run.
class ThreadGenerator {
public:
    static constexpr std::int64_t kReseedInterval = 65536;

    explicit ThreadGenerator(const std::array<std::uint8_t, 32>& seed);
    explicit ThreadGenerator(SeededKey key);

    std::uint64_t draw_u64();

    // Observers, for tests.
    const std::array<std::uint32_t, 8>& key() const noexcept { return key_; }
    std::uint64_t counter() const noexcept { return counter_; }
    std::int64_t budget() const noexcept { return budget_; }

private:
    void refill();
    void reseed();
    void rekey_after_fork();
    // Takes a new key, derived by `seeded_key` for a seeded generator, else
    // read from the operating system, with counter and stream back at 0; false
    // (nothing changed) when that read fails.
    template <class SeededKey>
    bool take_key(SeededKey&& seeded_key);

    std::array<std::uint32_t, 64> words_{};
    std::uint32_t position_ = 64;
    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::uint64_t stream_ = 0;
    std::int64_t interval_ = kReseedInterval;
    std::int64_t budget_ = kReseedInterval;
    std::optional<std::uint64_t> seed_;  // VELQOR_SEED, for a generator whose keys derive from it
    std::uint64_t fork_generation_ = 0;
};

// The calling thread's generator, created on the thread's first call: keyed from
// VELQOR_SEED when it is set (a panic with a fixed message when its value is
// not valid), from the operating system otherwise (a panic "could not
// initialize thread_rng: OS Error: N" when no key can be read). It is freed
// when the thread ends and no handle is left. A refused allocation throws
// std::bad_alloc; the next call tries again.
std::shared_ptr<ThreadGenerator> thread_rng();

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
