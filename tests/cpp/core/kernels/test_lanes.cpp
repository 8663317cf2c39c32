#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "core/gate.hpp"
#include "core/kernels/apply.hpp"
#include "core/kernels/isa.hpp"
#include "core/kernels/pair_plan.hpp"
#include "core/marginals.hpp"
#include "core/queue/queue_apply.hpp"
#include "core/register.hpp"

namespace velqor {
namespace {

using testing::amplitudes;
using testing::random_gate;
using testing::random_register;

// The same circuit with every lane width this processor has: the same bits as
// the baseline lanes, zeros' signs included. Rows of every length (targets 0
// and 1 leave pairs to the narrow tail), controls inside and outside blocks.
TEST(QueuedGates, EveryLaneWidthGivesTheBitsOfTheBaseline) {
    using kernels::Isa;
    const auto run = [](Isa isa) {
        kernels::test_hooks::force_isa(isa);
        std::mt19937_64 rng(606);
        std::vector<Complex> ref;
        Register r = random_register(16, rng, ref);
        for (int step = 0; step < 120; ++step) {
            std::vector<std::uint64_t> controls;
            for (unsigned c = 0; c < rng() % 3; ++c) controls.push_back(rng() % 16);
            r.apply_gate(random_gate(rng), std::vector<std::uint64_t>{rng() % 16}, controls);
        }
        const std::vector<Complex> out = amplitudes(r);
        kernels::test_hooks::force_isa(kernels::detected_isa());
        return out;
    };
    const std::vector<Complex> baseline = run(kernels::kIsas[0]);
    for (const Isa isa : kernels::kIsas) {
        if (isa == kernels::kIsas[0] || isa > kernels::detected_isa()) continue;
        const std::vector<Complex> wide = run(isa);
        EXPECT_EQ(std::memcmp(wide.data(), baseline.data(), wide.size() * sizeof(Complex)), 0)
            << "lanes " << kernels::isa_name(isa);
    }
    if (kernels::detected_isa() == kernels::kIsas[0]) {
        GTEST_SKIP() << "this processor has " << kernels::isa_name(kernels::kIsas[0]) << " lanes only";
    }
}

// --- The same bits on every architecture ------------------------------------
//
// Fixed circuits whose marginal totals (at every measurement) and final
// probabilities are hashed and compared with the hashes recorded in
// tests/data/same-bits.txt, which every architecture and every lane width must
// reproduce: x86-64 in SSE2, AVX2 and AVX-512 lanes, aarch64 in scalar and
// NEON lanes. Every number is made from the bits of mt19937_64 (exactly the
// same sequence everywhere) with IEEE sums, products, quotients and square
// roots only, which every conforming processor rounds alike; no library
// function (sin, cos) whose last bit may differ between systems.

// A double uniform in [-1, 1), exactly: 53 random bits.
double exact_uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1p-52 - 1.0; }

Complex exact_complex(std::mt19937_64& rng) {
    const double re = exact_uniform(rng);
    return {re, exact_uniform(rng)};
}

// z / |z| for a random z: a phase, from one square root and two quotients.
Complex exact_phase(std::mt19937_64& rng) {
    const Complex z = exact_complex(rng);
    const double r = std::sqrt(norm_sqr(z));
    return {z.real / r, z.imag / r};
}

// The unitary [[a, -conj(b) p], [b, conj(a) p]] of a normalised column (a, b).
Gate unitary_from(Complex a, Complex b, Complex p) {
    const double r = std::sqrt(norm_sqr(a) + norm_sqr(b));
    a = {a.real / r, a.imag / r};
    b = {b.real / r, b.imag / r};
    const Complex minus_b = {-b.real, b.imag};  // -conj(b)
    return {a, mul(minus_b, p), b, mul(conj(a), p)};
}

// A gate of each kind of entry the kernels tell apart: all general, all real,
// real diagonal with imaginary off-diagonal (RX), m00 real (U3), diagonal and
// anti-diagonal ones with one, real, imaginary and general entries, Y,
// Hadamard, X and the identity (nothing to apply).
Gate fixed_circuit_gate(std::mt19937_64& rng) {
    // Every draw in its own statement: the order in which a call's arguments
    // are evaluated differs between compilers and targets.
    const auto real = [&] { return Complex{exact_uniform(rng), 0.0}; };
    const unsigned shape = static_cast<unsigned>(rng() % 14);
    if (shape <= 3) {
        const Complex a = shape == 0 ? exact_complex(rng) : real();
        const Complex b = shape == 0 || shape == 3 ? exact_complex(rng) : real();
        const Complex p = shape == 0 || shape == 3 ? exact_phase(rng) : kOne;
        const Gate g = unitary_from(a, b, p);
        // shape 2: [[c, -s], [s, c]] -> [[c, -is], [-is, c]] (RX)
        if (shape == 2) return {g.m00, {0.0, g.m01.real}, {0.0, g.m01.real}, g.m11};
        return g;
    }
    switch (shape) {
        case 4: return {kOne, kZero, kZero, exact_phase(rng)};
        case 5: {
            const Complex p = exact_phase(rng);
            return {p, kZero, kZero, exact_phase(rng)};
        }
        case 6: {
            const Complex p = exact_phase(rng);
            return {kZero, p, exact_phase(rng), kZero};
        }
        case 7: return {kZero, {0.0, -1.0}, {0.0, 1.0}, kZero};
        case 8: return {kZero, kOne, exact_phase(rng), kZero};
        case 9: return {{-1.0, 0.0}, kZero, kZero, kOne};
        case 10: return {kZero, {-1.0, 0.0}, kOne, kZero};
        case 11: return gates::kHadamard;
        case 12: return gates::kX;
        default: return {kOne, kZero, kZero, kOne};
    }
}

// One call of a fixed circuit: a gate on one or two targets under up to three
// controls (which may repeat, equal a target or lie beyond the register: such
// a target's application is a no-op), or a measurement of a qubit.
struct CircuitStep {
    Gate gate;
    std::vector<std::uint64_t> targets;
    std::vector<std::uint64_t> controls;
    bool measure = false;
};

std::vector<CircuitStep> fixed_circuit(unsigned n, unsigned steps, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<CircuitStep> circuit;
    for (unsigned s = 0; s < steps; ++s) {
        CircuitStep step;
        if (rng() % 12 == 0) {
            step.measure = true;
            step.targets = {rng() % n};
        } else {
            step.gate = fixed_circuit_gate(rng);
            step.targets = {rng() % n};
            if (rng() % 5 == 0) step.targets.push_back(rng() % n);
            const unsigned count = static_cast<unsigned>(rng() % 4);
            for (unsigned c = 0; c < count; ++c) step.controls.push_back(rng() % (n + 1));
        }
        circuit.push_back(step);
    }
    return circuit;
}

// FNV-1a over the bits of doubles, least significant byte first.
struct BitsHash {
    std::uint64_t value = 0xcbf29ce484222325;
    void add(double x) {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        for (int byte = 0; byte < 8; ++byte) {
            value ^= (bits >> (8 * byte)) & 0xff;
            value *= 0x100000001b3;
        }
    }
};

// The circuit on the basis state |0...0>, queued (the register's way: gates
// wait in a queue applied in stretches of blocks, the marginal totals formed
// inside the last pass) or gate by gate (each gate on the whole state, the
// totals in a pass of their own). A measurement forms the totals of its qubit
// and collapses onto outcome 0 when its total is not 0 (else onto 1), as
// measure() does once it has drawn. Returns the hash of every total, then of
// every final probability, and how many of those are not zero.
struct FixedRun {
    std::uint64_t hash;
    std::size_t nonzero;
};
FixedRun run_fixed_circuit(const std::vector<CircuitStep>& circuit, unsigned n, bool queued) {
    std::vector<Complex> a(std::size_t{1} << n, kZero);
    a[0] = kOne;
    const auto queue = std::make_unique<GateQueue>();
    BitsHash hash;
    const auto apply = [&](const QueuedGate& g) {
        if (!queued) return apply_now(g, a.data(), n);
        if (queue->full()) apply_first_stretch(*queue, a.data(), n);
        queue->push(g);
    };
    for (const CircuitStep& step : circuit) {
        const std::uint64_t t = step.targets[0];
        if (step.measure) {
            const Marginals m = queued ? apply_queue_with_marginals(*queue, a.data(), n, static_cast<unsigned>(t))
                                       : marginal_totals(a.data(), n, static_cast<unsigned>(t));
            hash.add(m.p0);
            hash.add(m.p1);
            const Complex factor{1.0 / std::sqrt(m.p0 != 0.0 ? m.p0 : m.p1), 0.0};
            const Gate projection = m.p0 != 0.0 ? gate_from_entries(factor, kZero, kZero, kZero)
                                                : gate_from_entries(kZero, kZero, kZero, factor);
            apply({projection, 0, static_cast<std::uint32_t>(t)});
            continue;
        }
        for (const std::uint64_t target : step.targets) {
            std::uint64_t mask = 0;
            if (!kernels::control_mask_of(n, target, step.controls.data(), step.controls.size(), mask)) continue;
            apply({step.gate, mask, static_cast<std::uint32_t>(target)});
        }
    }
    if (queued) apply_queue(*queue, a.data(), n);
    std::size_t nonzero = 0;
    for (const Complex& x : a) {
        hash.add(norm_sqr(x));
        nonzero += norm_sqr(x) != 0.0;
    }
    return {hash.value, nonzero};
}

// The recorded hashes, by circuit name.
std::map<std::string, std::uint64_t> recorded_hashes() {
    std::map<std::string, std::uint64_t> out;
    std::ifstream file(VELQOR_TEST_DATA_DIR "/same-bits.txt");
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, hex;
        fields >> name >> hex;
        out[name] = std::stoull(hex, nullptr, 16);
    }
    return out;
}

std::string hex(std::uint64_t value) {
    char text[19];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// Small states run gate by gate even when queued; 16 qubits fill blocks of
// 2^14 amplitudes, with stretches, gathered blocks and a queue that fills up.
TEST(SameBits, FixedCircuitsMatchTheRecordedHashesInEveryLaneWidthQueuedAndGateByGate) {
    struct Circuit {
        const char* name;
        unsigned n;
        unsigned steps;
        std::uint64_t seed;
    };
    const Circuit circuits[] = {{"small", 5, 200, 11}, {"blocked", 16, 240, 12}};
    const std::map<std::string, std::uint64_t> recorded = recorded_hashes();
    for (const Circuit& c : circuits) {
        const std::vector<CircuitStep> circuit = fixed_circuit(c.n, c.steps, c.seed);
        const auto found = recorded.find(c.name);
        ASSERT_NE(found, recorded.end()) << "no hash recorded for " << c.name;
        for (const kernels::Isa isa : kernels::kIsas) {
            if (isa > kernels::detected_isa()) continue;
            kernels::test_hooks::force_isa(isa);
            for (const bool queued : {true, false}) {
                const FixedRun run = run_fixed_circuit(circuit, c.n, queued);
                EXPECT_EQ(hex(run.hash), hex(found->second))
                    << c.name << " in " << kernels::isa_name(isa) << " lanes, " << (queued ? "queued" : "gate by gate");
                // The hash covers real values, not a state of zeros: measurements
                // late in the circuits leave a quarter to an eighth of it set.
                EXPECT_GE(run.nonzero, (std::size_t{1} << c.n) / 8) << c.name;
            }
        }
        kernels::test_hooks::force_isa(kernels::detected_isa());
    }
}

}  // namespace
}  // namespace velqor
