// Cost of one gate's kernel per pair of amplitudes, with the state in the L1
// cache, by the shape of the gate's matrix and the lane width:
//   general  every entry with both parts non-zero (a U3 times a global phase)
//   u3       U3 in its standard form: m00 = cos(theta/2) real, the others general
//   rx       RX: a real diagonal, a pure imaginary off-diagonal
//   real     RY: every entry real
//   x        X: a swap
//   y        Y: a swap with pure imaginary factors
//
//   bench_kernels [target ...] [--qubits N] [--rounds R]
//
// Each round applies every shape `kApplications` times to a state of 2^N
// amplitudes (default 10: 16 KiB) through the in-block kernel of each lane
// width, the shapes one after the other so that they share the machine's
// state; a shape's time is its best round. Cycles come from a dependent chain
// of imul (3 cycles each), timed before and after: this machine has no cycle
// counter to read, and a chain of adds is folded by the processor.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/gate.hpp"
#include "core/kernels/apply.hpp"
#include "core/kernels/isa.hpp"
#include "core/kernels/pair_plan.hpp"
#include "support.hpp"

using namespace velqor;
using velqor::bench::clock_hz;

namespace {

constexpr int kApplications = 400;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Complex phase(double a) { return {std::cos(a), std::sin(a)}; }
Complex times(Complex z, double s) { return {z.real * s, z.imag * s}; }

Gate u3(double theta, double phi, double lambda) {
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    return {{c, 0}, times(phase(lambda), -s), times(phase(phi), s), times(phase(phi + lambda), c)};
}

struct Shape {
    const char* name;
    Gate gate;
};

std::vector<Shape> shapes() {
    const Gate u = u3(1.1, 0.7, 2.3);
    const Complex g = phase(0.4);  // a global phase: every entry general
    const auto turn = [g](Complex z) {
        return Complex{z.real * g.real - z.imag * g.imag, z.real * g.imag + z.imag * g.real};
    };
    const double c = std::cos(0.55), s = std::sin(0.55);
    return {
        {"general", {turn(u.m00), turn(u.m01), turn(u.m10), turn(u.m11)}},
        {"u3", u},
        {"rx", {{c, 0}, {0, -s}, {0, -s}, {c, 0}}},
        {"real", {{c, 0}, {-s, 0}, {s, 0}, {c, 0}}},
        {"x", gates::kX},
        {"y", {{0, 0}, {0, -1}, {0, 1}, {0, 0}}},
    };
}

}  // namespace

int main(int argc, char** argv) {
    unsigned n = 10;
    int rounds = 15;
    std::vector<unsigned> targets;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--qubits") == 0 && i + 1 < argc) {
            n = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else {
            targets.push_back(static_cast<unsigned>(std::atoi(argv[i])));
        }
    }
    if (targets.empty()) targets = {0, 3, n - 2};
    const double hz_before = clock_hz();

    std::mt19937_64 rng(17);
    std::normal_distribution<double> d;
    std::vector<Complex> state(std::size_t{1} << n);
    double norm = 0;
    for (Complex& a : state) {
        a = {d(rng), d(rng)};
        norm += a.real * a.real + a.imag * a.imag;
    }
    for (Complex& a : state) a = times(a, 1.0 / std::sqrt(norm));

    const std::vector<Shape> all = shapes();
    std::vector<kernels::Isa> isas;
    for (kernels::Isa isa : kernels::kIsas) {
        if (isa <= kernels::detected_isa()) isas.push_back(isa);
    }
    // best[isa][target][shape], seconds per pair
    std::vector<double> best(isas.size() * targets.size() * all.size(), 1e30);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < isas.size(); ++i) {
            kernels::test_hooks::force_isa(isas[i]);
            const kernels::InBlockKernel kernel = kernels::in_block_kernel();
            for (std::size_t t = 0; t < targets.size(); ++t) {
                kernels::PairPlan plan;
                kernels::make_plan_from_mask(n, targets[t], 0, plan);
                for (std::size_t s = 0; s < all.size(); ++s) {
                    kernel(all[s].gate, plan, state.data());  // warm the code and the lines
                    const auto start = std::chrono::steady_clock::now();
                    for (int k = 0; k < kApplications; ++k) kernel(all[s].gate, plan, state.data());
                    const double per_pair = seconds_since(start) / (kApplications * static_cast<double>(plan.pairs));
                    double& b = best[(i * targets.size() + t) * all.size() + s];
                    b = std::min(b, per_pair);
                }
            }
        }
    }
    kernels::test_hooks::force_isa(kernels::detected_isa());
    const double hz = std::max(hz_before, clock_hz());

    std::printf("qubits %u (%zu KiB), best of %d rounds of %d applications; clock %.2f GHz (%s)\n", n,
                state.size() * sizeof(Complex) / 1024, rounds, kApplications, hz * 1e-9, velqor::bench::kClockChain);
    std::printf("%-7s %6s %-8s %10s %12s\n", "lanes", "target", "shape", "ns/pair", "cycles/pair");
    for (std::size_t i = 0; i < isas.size(); ++i) {
        for (std::size_t t = 0; t < targets.size(); ++t) {
            for (std::size_t s = 0; s < all.size(); ++s) {
                const double b = best[(i * targets.size() + t) * all.size() + s];
                std::printf("%-7s %6u %-8s %10.3f %12.2f\n", kernels::isa_name(isas[i]), targets[t], all[s].name,
                            b * 1e9, b * hz);
            }
        }
    }
    // Keeps the state's values alive, so that no application can be dropped.
    double sum = 0;
    for (const Complex& a : state) sum += a.real * a.real + a.imag * a.imag;
    std::printf("norm after: %.6f\n", sum);
}
