// Time of one gate, and of one gate followed by measure(t) on its target, for
// every target, against one read-write pass over the state (the probe); then
// of repeated measure_all() on an unchanged state. A gate alone is timed to
// the read that runs it; measure(t) runs the queued gate itself, forming the
// marginal totals of t during the gate's pass, and leaves its collapse queued
// for the gates that follow (run outside the timed region here).
//
//   bench_measure [min_qubits] [max_qubits]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "runtime/pool.hpp"
#include "core/register.hpp"
#include "support.hpp"

using namespace velqor;
using velqor::bench::flush;
using velqor::bench::probe_pass;

namespace {

using gates::kHadamard;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned lo = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 20;
    const unsigned hi = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 26;
    std::printf("workers: %zu\n", pool::current_num_threads());
    std::printf("%3s %6s %10s %10s %14s %12s %12s\n", "n", "target", "probe_ms", "gate_ms", "gate+measure_ms",
                "gate/probe", "g+m/probe");
    for (unsigned n = lo; n <= hi; ++n) {
        const int reps = n >= 24 ? 3 : 10;
        std::vector<std::uint64_t> all;
        for (unsigned t = 0; t < n; ++t) all.push_back(t);
        Register reg(n);
        reg.apply_gate(kHadamard, all, {});  // a superposition to measure
        flush(reg);
        double probe = 1e30;
        for (int r = 0; r < reps; ++r) {
            const auto start = std::chrono::steady_clock::now();
            probe_pass(reg);
            probe = std::min(probe, seconds_since(start));
        }
        for (unsigned t = 0; t < n; ++t) {
            const std::vector<std::uint64_t> target{t};
            double gate = 1e30, both = 1e30;
            for (int r = 0; r < reps; ++r) {
                auto start = std::chrono::steady_clock::now();
                reg.apply_gate(kHadamard, target, {});
                flush(reg);
                gate = std::min(gate, seconds_since(start));
                // The gate, then measure(t): the totals are formed while the
                // gate is applied; the collapse waits in the queue for the next
                // gates and runs outside the timed region.
                reg.apply_gate(kHadamard, all, {});
                flush(reg);
                start = std::chrono::steady_clock::now();
                reg.apply_gate(kHadamard, target, {});
                reg.measure(t);
                both = std::min(both, seconds_since(start));
                reg.apply_gate(kHadamard, all, {});
                flush(reg);
            }
            std::printf("%3u %6u %10.3f %10.3f %14.3f %12.2f %12.2f\n", n, t, probe * 1e3, gate * 1e3, both * 1e3,
                        gate / probe, both / probe);
            std::fflush(stdout);
        }
    }

    const unsigned n = 20;
    Register reg(n);
    std::vector<std::uint64_t> all;
    for (unsigned t = 0; t < n; ++t) all.push_back(t);
    reg.apply_gate(kHadamard, all, {});
    flush(reg);
    auto start = std::chrono::steady_clock::now();
    reg.measure_all();
    const double first = seconds_since(start);
    const int calls = 1000;
    start = std::chrono::steady_clock::now();
    std::uint64_t sink = 0;
    for (int i = 0; i < calls; ++i) sink += reg.measure_all();
    const double rest = seconds_since(start) / calls;
    std::printf("measure_all n=%u: first call %.3f ms, then %.3f us per call (checksum %llu)\n", n, first * 1e3,
                rest * 1e6, static_cast<unsigned long long>(sink));
    return 0;
}
