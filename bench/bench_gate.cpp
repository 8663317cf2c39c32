// Time of one single-qubit gate pass against a memory-bandwidth probe that
// reads and writes the 2^n amplitudes once, on the same pool.
//
//   bench_gate [min_qubits] [max_qubits] [--every-target]
//
// Every timed gate ends with a call that runs the register's queue, so the
// gate's work is inside the timed region.
//
// For each n it prints the probe time, the Hadamard time on the lowest, middle
// and highest target (every target with --every-target), a controlled X, an
// X with two controls, and a stretch of nine X gates on the lowest qubits of a
// block and on the top qubits, and each time's ratio to the probe.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
using gates::kX;

// Best of `reps` runs, in seconds.
double best_of(int reps, const std::function<void()>& fn) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned lo = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 16;
    const unsigned hi = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 26;
    const bool every = argc > 3 && std::strcmp(argv[3], "--every-target") == 0;
    std::printf("workers: %zu\n", pool::current_num_threads());
    std::printf("%3s %8s %12s %12s %7s\n", "n", "what", "target", "time_ms", "ratio");
    for (unsigned n = lo; n <= hi; ++n) {
        Register reg(n);
        const int reps = n >= 24 ? 11 : (n >= 20 ? 21 : 101);
        // Fill the state once so every page is touched before timing.
        reg.apply_gate(kHadamard, std::vector<std::uint64_t>{0}, {});
        flush(reg);
        const double probe = best_of(reps, [&] { probe_pass(reg); });
        std::printf("%3u %8s %12s %12.3f %7.2f\n", n, "probe", "-", probe * 1e3, 1.0);
        std::vector<unsigned> targets;
        if (every) {
            for (unsigned t = 0; t < n; ++t) targets.push_back(t);
        } else {
            targets = {0, n / 2, n - 1};
        }
        double worst = 0;
        for (unsigned t : targets) {
            const std::vector<std::uint64_t> tv{t};
            const double time = best_of(reps, [&] {
                reg.apply_gate(kHadamard, tv, {});
                flush(reg);
            });
            worst = std::max(worst, time);
            std::printf("%3u %8s %12u %12.3f %7.2f\n", n, "H", t, time * 1e3, time / probe);
        }
        const std::vector<std::uint64_t> target{n / 2};
        const std::vector<std::uint64_t> one_control{(n / 2 + 1) % n};
        const std::vector<std::uint64_t> two_controls{(n / 2 + 1) % n, (n / 2 + 2) % n};
        const double cx = best_of(reps, [&] {
            reg.apply_gate(kX, target, one_control);
            flush(reg);
        });
        const double ccx = best_of(reps, [&] {
            reg.apply_gate(kX, target, two_controls);
            flush(reg);
        });
        const double h_mid = best_of(reps, [&] {
            reg.apply_gate(kHadamard, target, {});
            flush(reg);
        });
        std::printf("%3u %8s %12u %12.3f %7.2f  (%.2fx of H)\n", n, "CX", n / 2, cx * 1e3, cx / probe, cx / h_mid);
        std::printf("%3u %8s %12u %12.3f %7.2f  (%.2fx of H)\n", n, "CCX", n / 2, ccx * 1e3, ccx / probe, ccx / h_mid);
        std::printf("%3u %8s %12s %12.3f %7.2f\n", n, "worst H", "-", worst * 1e3, worst / probe);
        // What one stretch's pass costs beside its arithmetic: nine X gates
        // (moves only) queued and run together, on qubits 5-13 (a block of the
        // lowest qubits, in place) and on the top nine qubits (from n = 23 on,
        // segments of 2^5 amplitudes gathered into a buffer and scattered back).
        if (n >= 15) {
            for (const unsigned first : {5u, n - 9}) {
                const double time = best_of(reps, [&] {
                    for (unsigned t = first; t < first + 9; ++t) reg.apply_gate(kX, std::vector<std::uint64_t>{t}, {});
                    flush(reg);
                });
                std::printf("%3u %8s %9u-%-2u %12.3f %7.2f\n", n, "X x9", first, first + 8, time * 1e3, time / probe);
            }
        }
    }
    return 0;
}
