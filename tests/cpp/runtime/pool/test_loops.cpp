// Tests of loops on a pool of the test's own: the loop runs on the pool it is
// given, whatever the process-wide pool's size.
#include "runtime/pool/loops.hpp"

#include <atomic>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/pool/runner.hpp"
#include "runtime/pool/sleep.hpp"
#include "runtime/pool/threads.hpp"

namespace {

namespace vd = velqor::pool::detail;

TEST(PoolLoops, RunOnThePoolTheyAreGiven) {
    for (const std::size_t workers : {1u, 2u, 5u}) {
        int error = 0;
        vd::Pool* own = vd::start_pool(workers, error);
        ASSERT_NE(own, nullptr) << "error " << error;
        constexpr std::uint64_t n = 1000;
        std::vector<std::atomic<int>> visits(n);
        std::atomic<int> elsewhere{0};
        auto body = [&](std::uint64_t begin, std::uint64_t end) {
            const vd::Runner* w = vd::current_worker();
            if (w != nullptr && w->pool != own) elsewhere.fetch_add(1);
            // With one worker the caller hands the loop over: every piece runs there.
            if (workers == 1 && w == nullptr) elsewhere.fetch_add(1);
            for (std::uint64_t i = begin; i < end; ++i) visits[i].fetch_add(1);
        };
        using Body = decltype(body);
        vd::run_loop(*own, n, [](void* c, std::uint64_t b, std::uint64_t e) { (*static_cast<Body*>(c))(b, e); }, &body);
        for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << workers << " workers, index " << i;
        EXPECT_EQ(elsewhere.load(), 0) << workers << " workers";
        // Its workers leave; the record is kept, as a pool's always is.
        vd::terminate_all(*own);
        vd::abandon(own);
    }
}

}  // namespace
