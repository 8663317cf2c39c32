// Whole-circuit time: a random circuit of 200 gates (H, X, phase, general U3,
// CX, Toffoli, controlled phase on random qubits, fixed seed), and what
// measure(t) right after the circuit adds to it, both against one read-write
// pass over the state.
//
//   bench_circuit [n ...] [--reps R]
//
// Every timing ends with a call that runs the queued gates, so the work is
// inside the timed region. Built with VELQOR_DEFERRED=OFF the same program
// times the gate-by-gate path.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "runtime/pool.hpp"
#include "core/register.hpp"
#include "flush.hpp"

using namespace velqor;
using velqor::bench::flush;

namespace {

struct Step {
    Gate gate;
    std::vector<std::uint64_t> targets;
    std::vector<std::uint64_t> controls;
};

std::vector<Step> random_circuit(unsigned n, unsigned gates, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(0.0, 2.0 * M_PI);
    const double h = velqor::gates::kH;
    const auto pick = [&](std::vector<std::uint64_t> avoid) {
        for (;;) {
            const std::uint64_t q = rng() % n;
            if (std::find(avoid.begin(), avoid.end(), q) == avoid.end()) return q;
        }
    };
    const auto phase = [](double phi) { return Complex{std::cos(phi), std::sin(phi)}; };
    std::vector<Step> out;
    for (unsigned i = 0; i < gates; ++i) {
        const std::uint64_t t = pick({});
        switch (rng() % 7) {
            case 0: out.push_back({{{h, 0}, {h, 0}, {h, 0}, {-h, 0}}, {t}, {}}); break;
            case 1: out.push_back({{kZero, kOne, kOne, kZero}, {t}, {}}); break;
            case 2: out.push_back({{kOne, kZero, kZero, phase(angle(rng))}, {t}, {}}); break;
            case 3: {
                const double theta = angle(rng), phi = angle(rng), lambda = angle(rng);
                const double c = std::cos(theta / 2), s = std::sin(theta / 2);
                const Complex el = phase(lambda), ep = phase(phi), epl = phase(phi + lambda);
                out.push_back(
                    {{{c, 0}, {-el.real * s, -el.imag * s}, {ep.real * s, ep.imag * s}, {epl.real * c, epl.imag * c}},
                     {t},
                     {}});
                break;
            }
            case 4: out.push_back({{kZero, kOne, kOne, kZero}, {t}, {pick({t})}}); break;
            case 5: {
                const std::uint64_t c1 = pick({t});
                out.push_back({{kZero, kOne, kOne, kZero}, {t}, {c1, pick({t, c1})}});
                break;
            }
            default: out.push_back({{kOne, kZero, kZero, phase(angle(rng))}, {t}, {pick({t})}}); break;
        }
    }
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> sizes;
    int reps = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else {
            sizes.push_back(static_cast<unsigned>(std::atoi(argv[i])));
        }
    }
    if (sizes.empty()) sizes = {20, 24, 26};
    std::printf("workers: %zu\n", pool::current_num_threads());
    std::printf("%3s %12s %12s %12s %12s\n", "n", "circuit_s", "pass_s", "measure_s", "measure/pass");
    for (unsigned n : sizes) {
        const std::vector<Step> circuit = random_circuit(n, 200, 2024);
        Register reg(n);
        double best = 1e30, best_pass = 1e30, best_read = 1e30, best_measure = 1e30;
        for (int r = 0; r < reps; ++r) {
            auto start = std::chrono::steady_clock::now();
            for (const Step& s : circuit) reg.apply_gate(s.gate, s.targets, s.controls);
            flush(reg);
            best = std::min(best, seconds_since(start));

            // One read-write pass over the state on the pool, for scale.
            Complex* data = nullptr;
            reg.with_amplitudes([&](std::span<Complex> a) { data = a.data(); });
            start = std::chrono::steady_clock::now();
            pool::for_each_range(std::uint64_t{1} << n, [data](std::uint64_t b, std::uint64_t e) {
                for (std::uint64_t i = b; i < e; ++i) {
                    data[i].real = data[i].real * 1.0000000001;
                    data[i].imag = data[i].imag * 1.0000000001;
                }
            });
            best_pass = std::min(best_pass, seconds_since(start));

            // The same circuit, then measure(t) right after it, against the
            // same circuit then a plain read: both reads run the gates still
            // queued, so their difference is what measure adds to the gates.
            // Its collapse waits in the queue, as it would before the next
            // gates, and is run untimed here (a gate-by-gate build applies it
            // inside measure).
            for (const Step& s : circuit) reg.apply_gate(s.gate, s.targets, s.controls);
            start = std::chrono::steady_clock::now();
            flush(reg);
            best_read = std::min(best_read, seconds_since(start));
            for (const Step& s : circuit) reg.apply_gate(s.gate, s.targets, s.controls);
            start = std::chrono::steady_clock::now();
            reg.measure(n / 2);
            best_measure = std::min(best_measure, seconds_since(start));
            flush(reg);
        }
        const double measure = best_measure - best_read;
        std::printf("%3u %12.4f %12.4f %12.4f %12.2f\n", n, best, best_pass, measure, measure / best_pass);
        std::fflush(stdout);
    }
    return 0;
}
