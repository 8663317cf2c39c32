#include <gtest/gtest.h>

#include "support.hpp"
#include "core/queue/gate_queue.hpp"
#include "core/queue/stretch_plan.hpp"

namespace velqor {
namespace {

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

}  // namespace
}  // namespace velqor
