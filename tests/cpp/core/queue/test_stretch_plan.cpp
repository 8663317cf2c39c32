#include <cstdint>

#include <gtest/gtest.h>

#include "support.hpp"
#include "core/queue/gate_queue.hpp"
#include "core/queue/stretch_plan.hpp"

namespace velqor {
namespace {

using testing::kHadamard;
using testing::kX;

TEST(QueuedGates, RunsEndWhereTheTargetsNoLongerFitABlock) {
    GateQueue q;
    const unsigned room = blocking::kBlockQubits - blocking::kLowQubits;
    for (unsigned i = 0; i < room; ++i) q.push({kX, 0, blocking::kLowQubits + i});
    q.push({kX, 0, 0});                            // low qubits are always in the block
    q.push({kX, 0, blocking::kLowQubits});         // a repeated target takes no room
    q.push({kX, 0, blocking::kLowQubits + room});  // one too many
    q.push({kX, 0, 1});
    EXPECT_EQ(blocking::stretch_end(q, 0), room + 2);
    EXPECT_EQ(blocking::stretch_end(q, room + 2), q.size());
}

// A gate that only moves amplitudes joins the stretch past the gates left out
// of it when it shares no qubit with them as target, or as control of theirs;
// a gate that computes stays behind them, and so does an X on their qubits.
TEST(QueuedGates, GatesThatOnlyMoveAmplitudesJoinTheStretchAheadOfOthers) {
    using blocking::kLowQubits;
    const unsigned room = blocking::kBlockQubits - kLowQubits;
    const std::uint64_t beyond = kLowQubits + room;  // the first target that no longer fits
    GateQueue q;
    for (unsigned i = 0; i < room; ++i) q.push({kHadamard, 0, kLowQubits + i});
    q.push({kHadamard, 0, static_cast<std::uint32_t>(beyond)});  // left out
    q.push({kX, 1, kLowQubits});                                 // joins: X on a target of the stretch
    q.push({kHadamard, 0, 1});                                   // computes: stays
    q.push({kX, std::uint64_t{1} << beyond, 2});                 // controlled by a left-out target: stays
    q.push({kX, 0, 3});                                          // joins: apart from every gate left out
    q.push({kX, 0, 1});                                          // on the target of the H left out: stays
    q.push({kX, 0, static_cast<std::uint32_t>(beyond) + 1});     // would not fit the block: stays
    const std::uint64_t stretch =
        ((std::uint64_t{1} << room) - 1) | std::uint64_t{1} << (room + 1) | std::uint64_t{1} << (room + 4);
    EXPECT_EQ(blocking::stretch_members(q), stretch);
    q.drop(stretch);
    ASSERT_EQ(q.size(), 5u);
    EXPECT_EQ(q[0].target, beyond);
    EXPECT_EQ(q[1].target, 1u);
    EXPECT_EQ(q[4].target, beyond + 1);
}

}  // namespace
}  // namespace velqor
