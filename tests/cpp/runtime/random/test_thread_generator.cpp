// Tests of the per-thread generator: its schedule, reseeds, lifetime and forks.
#include "runtime/random/thread_generator.hpp"

#include <gtest/gtest.h>

#include "runtime/random/random_support.hpp"

namespace {

using namespace velqor::testing::random_support;

// Generator schedule.

TEST(Random, DrawsFollowTheKeystreamAndReseedOnThe257thRefill) {
    const SourceGuard guard(&keyed_source);
    const Key seed_key = key_of(seed_number(40));
    ThreadGenerator gen(seed_number(40));
    EXPECT_EQ(gen.budget(), 65536);

    // 256 refills of 32 draws come from the seed key, block after block.
    for (std::uint64_t d = 0; d < 8192; ++d) {
        const std::uint64_t v = gen.draw_u64();
        if (v != stream_draw(seed_key, d)) {
            FAIL() << "draw " << d + 1 << " differs from the keystream";
        }
        if (d == 0) {
            EXPECT_EQ(gen.counter(), 4u);
        }
        if (d == 32) {
            EXPECT_EQ(gen.counter(), 8u);  // the 33rd draw took blocks 4 to 7
        }
    }
    EXPECT_EQ(g_source_calls.load(), 0);
    EXPECT_EQ(gen.budget(), 0);
    EXPECT_EQ(gen.counter(), 1024u);

    // The 8,193rd draw reseeds: block 0 under the first key from the source.
    EXPECT_EQ(gen.draw_u64(), stream_draw(key_of(seed_number(0)), 0));
    EXPECT_EQ(g_source_calls.load(), 1);
    EXPECT_EQ(gen.key(), key_of(seed_number(0)));
    EXPECT_EQ(gen.counter(), 4u);
    EXPECT_EQ(gen.budget(), 65536 - 256);

    // Then once per 65,536 bytes: 8,192 draws later.
    for (int d = 1; d < 8192; ++d) gen.draw_u64();
    EXPECT_EQ(g_source_calls.load(), 1);
    EXPECT_EQ(gen.draw_u64(), stream_draw(key_of(seed_number(1)), 0));
    EXPECT_EQ(g_source_calls.load(), 2);
}

TEST(Random, FailedReseedKeepsTheOldKeyAndCounter) {
    const SourceGuard guard(&failing_source);
    const Key seed_key = key_of(seed_number(41));
    ThreadGenerator gen(seed_number(41));
    for (int d = 0; d < 8192; ++d) gen.draw_u64();
    EXPECT_EQ(g_source_calls.load(), 0);

    EXPECT_EQ(gen.draw_u64(), stream_draw(seed_key, 8192));
    EXPECT_EQ(g_source_calls.load(), 1);
    EXPECT_EQ(gen.key(), seed_key);
    EXPECT_EQ(gen.counter(), 1028u);
    EXPECT_EQ(gen.budget(), 65536 - 256);
    EXPECT_EQ(gen.draw_u64(), stream_draw(seed_key, 8193));
}

// A thread's generator is keyed from the source on its first thread_rng and kept;
// when the source fails the call panics, stores nothing, and the next one retries.
TEST(Random, ThreadRngIsCreatedOncePerThreadAndRetriesAfterAFailedKey) {
    std::shared_ptr<ThreadGenerator> first;
    std::thread a([&] {
        {
            const SourceGuard guard(&failing_source);
            expect_panic([] { velqor::random::thread_rng(); }, "could not initialize thread_rng: OS Error: 38");
            EXPECT_EQ(g_source_calls.load(), 1);
        }
        const SourceGuard guard(&keyed_source);
        first = velqor::random::thread_rng();
        EXPECT_EQ(velqor::random::thread_rng(), first);
        EXPECT_EQ(g_source_calls.load(), 1);
        EXPECT_EQ(velqor::thread_panic_count(), 0u);
    });
    a.join();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->key(), key_of(seed_number(0)));
    EXPECT_EQ(first->draw_u64(), stream_draw(first->key(), 0));

    const SourceGuard guard(&keyed_source);
    std::shared_ptr<ThreadGenerator> second;
    std::thread b([&] { second = velqor::random::thread_rng(); });
    b.join();
    ASSERT_TRUE(second);
    EXPECT_NE(first, second);
    EXPECT_EQ(second->key(), key_of(seed_number(0)));
}

// A thread's generator goes with the thread, once no handle is left; a handle
// kept beyond the thread keeps it.
TEST(Random, ThreadGeneratorIsFreedWithItsThread) {
    std::weak_ptr<ThreadGenerator> dropped;
    std::shared_ptr<ThreadGenerator> kept;
    std::thread a([&] { dropped = velqor::random::thread_rng(); });
    a.join();
    std::thread b([&] { kept = velqor::random::thread_rng(); });
    b.join();
    EXPECT_TRUE(dropped.expired());
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept.use_count(), 1);
}

// A child forked after its parent drew must not repeat the parent's numbers: its
// generator takes a new key (here the injected seed 0) before its next draw.
TEST(Random, ForkedChildRekeysBeforeItsNextDraw) {
    const std::shared_ptr<ThreadGenerator> rng = velqor::random::thread_rng();
    for (int i = 0; i < 5; ++i) rng->draw_u64();
    ThreadGenerator parent_copy = *rng;
    const SourceGuard guard(&keyed_source);

    const std::string bytes = velqor::testing::run_in_child(
        [] {
            std::uint64_t values[4];
            for (auto& v : values) v = velqor::random::thread_rng()->draw_u64();
            return std::string(reinterpret_cast<const char*>(values), sizeof values);
        },
        10);
    std::uint64_t child[4] = {};
    ASSERT_EQ(bytes.size(), sizeof child);
    std::memcpy(child, bytes.data(), sizeof child);

    EXPECT_EQ(g_source_calls.load(), 0);  // the parent did not rekey
    const Key child_key = key_of(seed_number(0));
    for (int i = 0; i < 4; ++i) {
        const std::uint64_t parent = rng->draw_u64();
        EXPECT_EQ(parent, parent_copy.draw_u64());
        EXPECT_NE(child[i], parent) << "draw " << i;
        EXPECT_EQ(child[i], stream_draw(child_key, static_cast<std::uint64_t>(i))) << "draw " << i;
    }
}

}  // namespace
