// Tests of the fork registry: the order in which the concerns act at a fork.
// The host guard must drain released work before the register waits take
// their lock (fork.hpp argues why); a reordering of the stages breaks this.
#include "runtime/fork.hpp"

#include <array>
#include <string>

#include <gtest/gtest.h>

#include "support.hpp"

namespace {

namespace vf = velqor::fork;

// What the recording handlers saw, in order: one letter a handler, a stage's
// initial (g: host guard, p: pool, w: register waits, r: random lineage),
// upper case in the prepare phase, lower case after the fork. Written only by
// the forking thread (and its child), inside fork().
std::string g_log;

template <char Name>
vf::Handlers recorder() {
    return {[]() noexcept { g_log.push_back(static_cast<char>(Name - 'a' + 'A')); },
            []() noexcept { g_log.push_back(Name); }, []() noexcept { g_log.push_back(Name); }};
}

TEST(ForkRegistry, PreparesGuardWaitsAndLineageInOrderAndUndoesInReverse) {
    const std::array<vf::Stage, 4> stages = {vf::Stage::kHostGuard, vf::Stage::kPool, vf::Stage::kRegisterWaits,
                                             vf::Stage::kRandomLineage};
    const std::array<vf::Handlers, 4> recorders = {recorder<'g'>(), recorder<'p'>(), recorder<'w'>(), recorder<'r'>()};
    std::array<vf::Handlers, 4> saved;
    for (std::size_t i = 0; i < stages.size(); ++i) saved[i] = vf::test_hooks::swap(stages[i], recorders[i]);
    g_log.clear();
    const std::string child = velqor::testing::run_in_child([] { return g_log; });
    const std::string parent = g_log;
    for (std::size_t i = 0; i < stages.size(); ++i) vf::test_hooks::swap(stages[i], saved[i]);

    EXPECT_EQ(parent, "GPWRrwpg");
    EXPECT_EQ(child, "GPWRrwpg");
}

}  // namespace
