// Draw throughput of the per-thread generator and of the weighted sampler.
// Usage: bench_random [draws]   (default 50,000,000)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "runtime/random/thread_generator.hpp"

namespace {

template <class F>
double per_second(std::uint64_t n, F&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return static_cast<double>(n) / took.count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50'000'000;
    const auto rng = velqor::random::thread_rng();

    std::uint64_t sink = 0;
    const double draws = per_second(n, [&] {
        for (std::uint64_t i = 0; i < n; ++i) sink ^= rng->draw_u64();
    });

    const std::vector<double> weights = {0.5, 0.5};
    const auto sampler = std::get<velqor::random::WeightedSampler>(velqor::random::WeightedSampler::build(weights));
    const double samples = per_second(n, [&] {
        for (std::uint64_t i = 0; i < n; ++i) sink += sampler.sample(*rng);
    });

    std::printf("draw_u64: %.3g draws/s\ntwo-weight sample: %.3g samples/s\n(%llu)\n", draws, samples,
                static_cast<unsigned long long>(sink & 1));
    return 0;
}
