// Time of measure() beside one gate at the same n, and of repeated
// measure_all() on an unchanged state. Every timing ends with a call that runs
// the register's queue (the collapse of a measurement waits there too).
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
#include "flush.hpp"

using namespace velqor;
using velqor::bench::flush;

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
    std::printf("%3s %12s %12s %7s\n", "n", "gate_ms", "measure_ms", "ratio");
    for (unsigned n = lo; n <= hi; ++n) {
        const int reps = n >= 24 ? 3 : 10;
        std::vector<std::uint64_t> all;
        for (unsigned t = 0; t < n; ++t) all.push_back(t);
        double gate = 1e30, measure = 1e30;
        Register reg(n);
        for (int r = 0; r < reps; ++r) {
            reg.apply_gate(kHadamard, all, {});  // a fresh superposition to measure
            flush(reg);
            auto start = std::chrono::steady_clock::now();
            reg.apply_gate(kHadamard, std::vector<std::uint64_t>{n / 2}, {});
            flush(reg);
            gate = std::min(gate, seconds_since(start));
            reg.apply_gate(kHadamard, std::vector<std::uint64_t>{n / 2}, {});
            flush(reg);
            start = std::chrono::steady_clock::now();
            reg.measure(n / 2);
            flush(reg);
            measure = std::min(measure, seconds_since(start));
        }
        std::printf("%3u %12.3f %12.3f %7.2f\n", n, gate * 1e3, measure * 1e3, measure / gate);
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
