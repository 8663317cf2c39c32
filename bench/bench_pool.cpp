// Round-trip latency of the worker pool as seen from a calling thread:
// an empty loop of 2 indices (the per-loop overhead that small gate
// applications pay) and a loop of 2^20 trivial indices.
//
// Usage: bench_pool [iterations of the small loop, default 20000]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "runtime/pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double mean_microseconds(long iterations, F&& f) {
    for (long i = 0; i < iterations / 10 + 1; ++i) f();  // warm up: pool started, workers awake
    const Clock::time_point start = Clock::now();
    for (long i = 0; i < iterations; ++i) f();
    const std::chrono::duration<double, std::micro> elapsed = Clock::now() - start;
    return elapsed.count() / static_cast<double>(iterations);
}

}  // namespace

int main(int argc, char** argv) {
    const long small_iterations = argc > 1 ? std::atol(argv[1]) : 20000;
    const long large_iterations = small_iterations / 100 + 1;
    std::printf("workers: %zu\n", velqor::pool::current_num_threads());

    const double empty2 = mean_microseconds(
        small_iterations, [] { velqor::pool::for_each_range(2, [](std::uint64_t, std::uint64_t) {}); });
    std::printf("empty loop of 2 indices: %.2f us per loop (%ld loops)\n", empty2, small_iterations);

    constexpr std::uint64_t n = std::uint64_t{1} << 20;
    std::vector<std::uint32_t> data(n);
    const double large = mean_microseconds(large_iterations, [&data] {
        std::uint32_t* out = data.data();
        velqor::pool::for_each(n, [out](std::uint64_t i) { out[i] = static_cast<std::uint32_t>(i * 3); });
    });
    std::printf("loop of 2^20 trivial indices: %.1f us per loop (%ld loops)\n", large, large_iterations);
    return data[n - 1] == static_cast<std::uint32_t>((n - 1) * 3) ? 0 : 1;
}
