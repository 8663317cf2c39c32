#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "core/kernels/isa.hpp"
#include "core/register.hpp"

namespace velqor {
namespace {

using testing::amplitudes;
using testing::random_gate;
using testing::random_register;

// The same circuit with every lane width this processor has: the same bits as
// the SSE2 baseline, zeros' signs included. Rows of every length (targets 0
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
    const std::vector<Complex> baseline = run(Isa::Sse2);
    for (const Isa isa : {Isa::Avx2, Isa::Avx512}) {
        if (isa > kernels::detected_isa()) continue;
        const std::vector<Complex> wide = run(isa);
        EXPECT_EQ(std::memcmp(wide.data(), baseline.data(), wide.size() * sizeof(Complex)), 0)
            << "lane width " << static_cast<int>(isa);
    }
    if (kernels::detected_isa() == Isa::Sse2) GTEST_SKIP() << "this processor has SSE2 lanes only";
}

}  // namespace
}  // namespace velqor
