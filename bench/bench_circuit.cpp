// Whole-circuit time of three circuit families, and what measure(t) right
// after the circuit adds to it, both against one read-write pass over the
// state:
//   random   200 gates: H, X, phase, general U3, CX, Toffoli, controlled phase
//            on random qubits
//   layered  200 gates: layers of a general U3 with random angles on every
//            qubit, then CX from each qubit to the next one up (a ladder)
//   qft      a general U3 on every qubit, then the quantum Fourier transform
//            (H and controlled phases, no final reversal)
// all with fixed seeds. Beside each time, what the queue's policy chooses for
// the circuit, from a dry run of it (count_queue, outside the timed region):
// the passes of blocks (stretches), the gates applied alone to the whole
// state, and the read-write passes over the state they add up to; and the
// cycles per visited pair of amplitudes, every worker's cycles over the whole
// circuit (passes included), the clock measured at start.
//
//   bench_circuit [n ...] [--reps R] [--family random,layered,qft] [--plan]
//
// --plan prints the dry run's counts alone, timing nothing.
// Every timing ends with a call that runs the queued gates, so the work is
// inside the timed region. Built with VELQOR_DEFERRED=OFF the same program
// times the gate-by-gate path (the dry run's counts are still the queue's).
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "runtime/pool.hpp"
#include "core/kernels/pair_plan.hpp"
#include "core/queue/gate_queue.hpp"
#include "queue_cost.hpp"
#include "core/register.hpp"
#include "support.hpp"

using namespace velqor;
using velqor::bench::clock_hz;
using velqor::bench::flush;
using velqor::bench::probe_pass;

namespace {

struct Step {
    Gate gate;
    std::vector<std::uint64_t> targets;
    std::vector<std::uint64_t> controls;
};

Gate rotation(double theta, double phi, double lambda) {
    const auto phase = [](double a) { return Complex{std::cos(a), std::sin(a)}; };
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    const Complex el = phase(lambda), ep = phase(phi), epl = phase(phi + lambda);
    return {{c, 0}, {-el.real * s, -el.imag * s}, {ep.real * s, ep.imag * s}, {epl.real * c, epl.imag * c}};
}

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
                out.push_back({rotation(theta, phi, lambda), {t}, {}});
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

// Layers of a random U3 on every qubit followed by CX(q -> q + 1) for every
// q, cut off at `gates` gates.
std::vector<Step> layered_circuit(unsigned n, unsigned gates, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(0.0, 2.0 * M_PI);
    std::vector<Step> out;
    while (out.size() < gates) {
        for (unsigned q = 0; q < n && out.size() < gates; ++q) {
            const double theta = angle(rng), phi = angle(rng), lambda = angle(rng);
            out.push_back({rotation(theta, phi, lambda), {q}, {}});
        }
        for (unsigned q = 0; q + 1 < n && out.size() < gates; ++q)
            out.push_back({{kZero, kOne, kOne, kZero}, {q + 1}, {q}});
    }
    return out;
}

// A random U3 on every qubit (a product state with uneven probabilities), then
// the QFT: on qubit j from the top down, H and a controlled phase 2 pi / 2^(j-k+1)
// from every lower qubit k.
std::vector<Step> qft_circuit(unsigned n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(0.0, 2.0 * M_PI);
    std::vector<Step> out;
    for (unsigned q = 0; q < n; ++q) {
        const double theta = angle(rng), phi = angle(rng), lambda = angle(rng);
        out.push_back({rotation(theta, phi, lambda), {q}, {}});
    }
    const double h = velqor::gates::kH;
    for (unsigned j = n; j-- > 0;) {
        out.push_back({{{h, 0}, {h, 0}, {h, 0}, {-h, 0}}, {j}, {}});
        for (unsigned k = j; k-- > 0;) {
            const double a = M_PI / std::ldexp(1.0, static_cast<int>(j - k));
            out.push_back({{kOne, kZero, kZero, {std::cos(a), std::sin(a)}}, {j}, {k}});
        }
    }
    return out;
}

// What the queue's policy does with the circuit on n qubits: apply_gate's
// queueing (a full queue runs its first stretch), then one read.
QueueCost planned_cost(const std::vector<Step>& circuit, unsigned n) {
    GateQueue queue;
    QueueCost cost;
    for (const Step& s : circuit) {
        for (const std::uint64_t t : s.targets) {
            QueuedGate entry{s.gate, 0, static_cast<std::uint32_t>(t)};
            if (!kernels::control_mask_of(n, t, s.controls.data(), s.controls.size(), entry.control_mask)) continue;
            if (queue.full()) count_queue(queue, n, true, cost);
            queue.push(entry);
        }
    }
    count_queue(queue, n, false, cost);
    return cost;
}

// The pairs of amplitudes the circuit's gates visit on n qubits: 2^(n-1) per
// target, halved by each control.
double visited_pairs(const std::vector<Step>& circuit, unsigned n) {
    double pairs = 0;
    for (const Step& s : circuit) {
        for (const std::uint64_t t : s.targets) {
            std::uint64_t mask = 0;
            if (!kernels::control_mask_of(n, t, s.controls.data(), s.controls.size(), mask)) continue;
            pairs += std::ldexp(1.0, static_cast<int>(n) - 1 - std::popcount(mask));
        }
    }
    return pairs;
}

std::vector<Step> circuit_of(const std::string& family, unsigned n) {
    if (family == "layered") return layered_circuit(n, 200, 2024);
    if (family == "qft") return qft_circuit(n, 2024);
    return random_circuit(n, 200, 2024);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> sizes;
    std::vector<std::string> families = {"random", "layered", "qft"};
    int reps = 3;
    bool plan_only = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--plan") == 0) {
            plan_only = true;
        } else if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--family") == 0 && i + 1 < argc) {
            families.clear();
            std::string list = argv[++i];
            for (std::size_t at = 0; at <= list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                families.push_back(list.substr(at, comma - at));
                at = comma + 1;
            }
        } else {
            sizes.push_back(static_cast<unsigned>(std::atoi(argv[i])));
        }
    }
    if (sizes.empty()) sizes = {20, 24, 26};
    const std::size_t workers = pool::current_num_threads();
    const double hz = clock_hz();
    std::printf("workers: %zu, clock: %.2f GHz (%s)\n", workers, hz * 1e-9, velqor::bench::kClockChain);
    std::printf("%-8s %3s %6s %10s %10s %8s %8s %9s %6s %7s %10s %9s\n", "family", "n", "gates", "circuit_s", "pass_s",
                "circ/pass", "cyc/pair", "stretches", "alone", "passes", "measure_s", "meas/pass");
    for (const std::string& family : families) {
        for (unsigned n : sizes) {
            const std::vector<Step> circuit = circuit_of(family, n);
            const QueueCost cost = planned_cost(circuit, n);
            if (plan_only) {
                std::printf("%-8s %3u %6zu %10s %10s %8s %8s %9zu %6zu %7.2f\n", family.c_str(), n, circuit.size(), "-",
                            "-", "-", "-", cost.stretches, cost.alone, cost.passes);
                continue;
            }
            Register reg(n);
            double best = 1e30, best_pass = 1e30, best_read = 1e30, best_measure = 1e30;
            for (int r = 0; r < reps; ++r) {
                auto start = std::chrono::steady_clock::now();
                for (const Step& s : circuit) reg.apply_gate(s.gate, s.targets, s.controls);
                flush(reg);
                best = std::min(best, seconds_since(start));

                // One read-write pass over the state on the pool, for scale.
                start = std::chrono::steady_clock::now();
                probe_pass(reg);
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
            // Every worker's cycles over the circuit, per visited pair.
            const double cycles_per_pair = best * hz * static_cast<double>(workers) / visited_pairs(circuit, n);
            std::printf("%-8s %3u %6zu %10.4f %10.4f %8.2f %8.2f %9zu %6zu %7.2f %10.4f %9.2f\n", family.c_str(), n,
                        circuit.size(), best, best_pass, best / best_pass, cycles_per_pair, cost.stretches, cost.alone,
                        cost.passes, measure, measure / best_pass);
            std::fflush(stdout);
        }
    }
    return 0;
}
