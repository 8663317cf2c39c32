#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <cstring>
#include <vector>

#include "runtime/panic.hpp"
#include "runtime/random.hpp"
#include "support.hpp"

namespace {

using velqor::random::chacha_block;
using velqor::random::chacha_blocks4;
using velqor::random::OsError;
using velqor::random::OsSource;
using velqor::random::SampleError;
using velqor::random::ThreadGenerator;
using velqor::random::UniformRange;
using velqor::random::WeightedSampler;
using Key = std::array<std::uint32_t, 8>;
using Seed = std::array<std::uint8_t, 32>;

// Runs `body`, which must panic with `message`; marks the panic caught.
void expect_panic(const std::function<void()>& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no panic, expected: " << message;
    } catch (const velqor::Panic& p) {
        velqor::panic_caught();
        EXPECT_EQ(p.message(), message);
    }
}

Key key_of(const Seed& seed) {
    Key key{};
    for (int i = 0; i < 8; ++i) {
        key[i] = seed[4 * i] | seed[4 * i + 1] << 8 | seed[4 * i + 2] << 16 | std::uint32_t{seed[4 * i + 3]} << 24;
    }
    return key;
}

// Keystream word `index` (0-based over the whole stream) under `key`, 12 rounds.
std::uint64_t stream_draw(const Key& key, std::uint64_t draw) {
    std::uint32_t block[16];
    chacha_block(key, draw / 8, 0, 12, block);
    const std::uint64_t word = 2 * (draw % 8);
    return block[word] | std::uint64_t{block[word + 1]} << 32;
}

// Injected operating-system sources. The keyed one hands out seed n on its n-th
// call (0-based); the failing one always fails with code 38.
std::atomic<int> g_source_calls{0};

Seed seed_number(int n) {
    Seed seed{};
    for (int i = 0; i < 32; ++i) seed[i] = static_cast<std::uint8_t>(0x11 * n + 3 * i + 1);
    return seed;
}

std::optional<OsError> keyed_source(std::span<std::uint8_t> buffer) {
    const Seed seed = seed_number(g_source_calls.fetch_add(1));
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = seed[i % 32];
    return std::nullopt;
}

std::optional<OsError> failing_source(std::span<std::uint8_t>) {
    g_source_calls.fetch_add(1);
    return OsError{38};
}

class SourceGuard {
public:
    explicit SourceGuard(OsSource source) : previous_(velqor::random::set_os_source(source)) { g_source_calls = 0; }
    ~SourceGuard() { velqor::random::set_os_source(previous_); }
    SourceGuard(const SourceGuard&) = delete;
    SourceGuard& operator=(const SourceGuard&) = delete;

private:
    OsSource previous_;
};

// ---------------------------------------------------------------------------
// ChaCha block function.

// The text after `"name":` at or after `pos`, up to the next ',' (or ']' for an
// array), with quotes, brackets and commas turned into spaces and the ends
// trimmed; pos moves past it.
std::string field(const std::string& text, std::size_t& pos, const std::string& name) {
    pos = text.find("\"" + name + "\":", pos);
    if (pos == std::string::npos) return {};
    const std::size_t begin = text.find(':', pos) + 1;
    pos = text.find(name == "words" ? ']' : ',', begin);
    std::string value = text.substr(begin, pos - begin);
    for (char& c : value) {
        if (c == '"' || c == '[' || c == ',') c = ' ';
    }
    const std::size_t first = value.find_first_not_of(" \n");
    return first == std::string::npos ? std::string{} : value.substr(first, value.find_last_not_of(" \n") - first + 1);
}

// Block function against every vector of the data file: 8, 12 and 20 rounds,
// counters with carries into the high word, non-zero streams.
TEST(Chacha, BlockMatchesEveryVectorOfTheFile) {
    std::ifstream file(VELQOR_TEST_DATA_DIR "/chacha-vectors.json");
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    std::map<unsigned, int> per_rounds;
    for (std::size_t pos = 0;;) {
        const std::string rounds = field(text, pos, "rounds");
        if (pos == std::string::npos) break;
        const std::string key_hex = field(text, pos, "key");
        const std::uint64_t counter = std::stoull(field(text, pos, "counter"));
        const std::uint64_t stream = std::stoull(field(text, pos, "stream"));
        std::istringstream words(field(text, pos, "words"));
        ASSERT_NE(pos, std::string::npos);
        SCOPED_TRACE("rounds " + rounds + " key " + key_hex + " counter " + std::to_string(counter));

        Seed seed{};
        for (int i = 0; i < 32; ++i)
            seed[i] = static_cast<std::uint8_t>(std::stoul(key_hex.substr(2 * i, 2), nullptr, 16));
        std::uint32_t out[16];
        chacha_block(key_of(seed), counter, stream, std::stoul(rounds), out);
        int n = 0;
        for (std::string word; words >> word; ++n) {
            ASSERT_LT(n, 16);
            EXPECT_EQ(out[n], std::stoul(word, nullptr, 16)) << "word " << n;
        }
        EXPECT_EQ(n, 16);
        ++per_rounds[std::stoul(rounds)];
    }
    EXPECT_EQ(per_rounds, (std::map<unsigned, int>{{8, 9}, {12, 9}, {20, 9}}));
}

// Published ChaCha20 keystreams: block 0 for the all-zero key and nonce (bytes),
// and the block-function example with key 00..1f, whose 32-bit counter 1 and
// 96-bit nonce 000000090000004a00000000 fill the same state words as the 64-bit
// counter 0x0900000000000001 and stream 0x4a000000.
TEST(Chacha, PublishedChacha20Keystreams) {
    const std::uint8_t zero_stream[64] = {0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53,
                                          0x86, 0xbd, 0x28, 0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36,
                                          0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7, 0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48,
                                          0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37, 0x6a, 0x43, 0xb8, 0xf4,
                                          0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86};
    std::uint32_t out[16];
    chacha_block(Key{}, 0, 0, 20, out);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(static_cast<std::uint8_t>(out[i / 4] >> (8 * (i % 4))), zero_stream[i]) << "byte " << i;
    }

    Seed seed{};
    for (int i = 0; i < 32; ++i) seed[i] = static_cast<std::uint8_t>(i);
    const std::uint32_t expected[16] = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                                        0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                        0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    chacha_block(key_of(seed), 0x0900000000000001ull, 0x4a000000ull, 20, out);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], expected[i]) << "word " << i;
}

// The four-lane refill path against four single blocks, including counters whose
// low word carries into the high word and whose 64 bits wrap.
TEST(Chacha, FourBlocksSideBySideMatchSingleBlocks) {
    const Key key = key_of(seed_number(7));
    for (const unsigned rounds : {8u, 12u, 20u}) {
        for (const std::uint64_t counter : {std::uint64_t{0}, std::uint64_t{0xFFFFFFFE},
                                            std::uint64_t{0xFFFFFFFFFFFFFFFE}, std::uint64_t{0x0123456789ABCDEF}}) {
            SCOPED_TRACE(testing::Message() << "rounds " << rounds << " counter " << counter);
            std::uint32_t four[64];
            chacha_blocks4(key, counter, 0x5A5A5A5A00000001ull, rounds, four);
            for (std::uint64_t b = 0; b < 4; ++b) {
                std::uint32_t one[16];
                chacha_block(key, counter + b, 0x5A5A5A5A00000001ull, rounds, one);
                for (int i = 0; i < 16; ++i) EXPECT_EQ(four[16 * b + i], one[i]) << "block " << b;
            }
        }
    }
}

// ---------------------------------------------------------------------------
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

TEST(Random, OsSourceFillsAndDescribesFailures) {
    std::array<std::uint8_t, 300> a{};
    std::array<std::uint8_t, 300> b{};
    EXPECT_FALSE(velqor::random::fill_from_os(a).has_value());
    EXPECT_FALSE(velqor::random::fill_from_os(b).has_value());
    EXPECT_NE(a, b);
    EXPECT_FALSE(velqor::random::fill_from_os(std::span<std::uint8_t>{}).has_value());
    EXPECT_EQ(OsError{38}.describe(), "OS Error: 38");
    EXPECT_EQ(OsError{2147942402u}.describe(), "OS Error: 2147942402");
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

// ---------------------------------------------------------------------------
// Uniform range.

struct RangeCase {
    double low;
    double high;
    double width;
};

void PrintTo(const RangeCase& c, std::ostream* out) {
    *out << std::hexfloat << "[" << c.low << ", " << c.high << ") width " << c.width;
}

class UniformWidth : public testing::TestWithParam<RangeCase> {};

TEST_P(UniformWidth, IsTheLargestWidthThatStaysBelowHigh) {
    const RangeCase c = GetParam();
    const UniformRange range(c.low, c.high);
    const double max_unit = 1.0 - 0x1p-52;
    EXPECT_EQ(range.low(), c.low);
    EXPECT_EQ(range.width(), c.width);
    EXPECT_LT(range.width() * max_unit + c.low, c.high);
    if (range.width() < c.high - c.low) {
        EXPECT_GE(std::nextafter(range.width(), INFINITY) * max_unit + c.low, c.high);
    }
}

INSTANTIATE_TEST_SUITE_P(Random, UniformWidth,
                         testing::Values(RangeCase{0.0, 1.0, 1.0}, RangeCase{-3.0, 5.0, 8.0},
                                         RangeCase{1.0, 1.5, 0x1.fffffffffffffp-2}, RangeCase{0.0, 0x1p-1074, 0.0},
                                         RangeCase{-0x1.9fe345c18de9cp+1, -0x1.915fb64861ce9p+1, 0x1.d071ef2583652p-4},
                                         RangeCase{0x1.0c9326623238ap+1, 0x1.0da731cebabf3p+1, 0x1.140b6c8886881p-7}));

TEST(Random, UniformRefusesEmptyAndOverflowingRanges) {
    const std::string low_high = "Uniform::new called with `low >= high`";
    const std::string overflow = "Uniform::new: range overflow";
    expect_panic([] { UniformRange(1.0, 1.0); }, low_high);
    expect_panic([] { UniformRange(2.0, 1.0); }, low_high);
    expect_panic([] { UniformRange(NAN, 1.0); }, low_high);
    expect_panic([] { UniformRange(-DBL_MAX, DBL_MAX); }, overflow);
    expect_panic([] { UniformRange(-INFINITY, 0.0); }, overflow);
}

// A draw v maps to (v >> 12) * 2^-52, scaled by the width and shifted by low.
TEST(Random, UniformSampleUsesTheTop52BitsOfOneDraw) {
    ThreadGenerator gen(seed_number(42));
    for (const auto& [low, high] : {std::pair{0.0, 1.0}, std::pair{-3.0, 5.0}, std::pair{1.0, 1.5}}) {
        const UniformRange range(low, high);
        for (int i = 0; i < 200; ++i) {
            ThreadGenerator copy = gen;
            const double unit = static_cast<double>(copy.draw_u64() >> 12) * 0x1p-52;
            const double x = range.sample(gen);
            ASSERT_EQ(x, unit * range.width() + low);
            ASSERT_GE(x, low);
            ASSERT_LT(x, high);
        }
    }
}

// ---------------------------------------------------------------------------
// Weighted sampler.

struct ErrorCase {
    std::vector<double> weights;
    SampleError error;
};

TEST(Sampler, RefusesWeightsWithTheRightError) {
    const std::vector<ErrorCase> cases = {
        {{}, SampleError::NoItem},
        {{1.0, NAN}, SampleError::InvalidWeight},
        {{-0.5, 1.0}, SampleError::InvalidWeight},
        {{NAN}, SampleError::InvalidWeight},
        {{0.0, 0.0}, SampleError::AllWeightsZero},
        {{0.0}, SampleError::AllWeightsZero},
        {{0.0, -1.0}, SampleError::InvalidWeight},
        {{1.0, -INFINITY, NAN}, SampleError::InvalidWeight},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "weights of size " << c.weights.size());
        const auto built = WeightedSampler::build(c.weights);
        ASSERT_TRUE(std::holds_alternative<SampleError>(built));
        EXPECT_EQ(std::get<SampleError>(built), c.error);
    }
    EXPECT_EQ(velqor::random::sample_error_name(SampleError::NoItem), "NoItem");
    EXPECT_EQ(velqor::random::sample_error_name(SampleError::InvalidWeight), "InvalidWeight");
    EXPECT_EQ(velqor::random::sample_error_name(SampleError::AllWeightsZero), "AllWeightsZero");
    EXPECT_EQ(velqor::random::sample_error_name(SampleError::TooMany), "TooMany");
}

TEST(Sampler, InfiniteTotalPanics) {
    expect_panic([] { WeightedSampler::build(std::vector<double>{INFINITY, 1.0}); }, "Uniform::new: range overflow");
    expect_panic([] { WeightedSampler::build(std::vector<double>{DBL_MAX, DBL_MAX}); }, "Uniform::new: range overflow");
}

WeightedSampler build_ok(std::vector<double> weights) {
    auto built = WeightedSampler::build(weights);
    if (!std::holds_alternative<WeightedSampler>(built)) {
        ADD_FAILURE() << "refused: " << velqor::random::sample_error_name(std::get<SampleError>(built));
        return std::get<WeightedSampler>(WeightedSampler::build(std::vector<double>{1.0}));
    }
    return std::get<WeightedSampler>(std::move(built));
}

TEST(Sampler, CumulativeSumsAndSearchPutBoundariesOnTheLaterIndex) {
    const WeightedSampler s = build_ok({1.0, 0.0, 2.0, 0.0, 0.0, 3.0});
    EXPECT_EQ(s.cumulative(), (std::vector<double>{1.0, 1.0, 3.0, 3.0, 3.0}));
    EXPECT_EQ(s.total(), 6.0);
    const std::pair<double, std::uint32_t> cases[] = {
        {0.0, 0}, {0.999, 0}, {1.0, 2}, {2.5, 2}, {std::nextafter(3.0, 0.0), 2}, {3.0, 5}, {5.999, 5}};
    for (const auto& [x, index] : cases) EXPECT_EQ(s.index_of(x), index) << "x = " << x;
}

// Whole path: weights [u, 1 - u] where u is exactly the next unit draw, so the
// draw lands on the boundary and must give index 1. For u >= 1/2, moving one ulp of
// weight onto the first entry (the total stays exactly 1) must give index 0.
TEST(Sampler, DrawOnABoundaryGoesToTheLaterIndex) {
    ThreadGenerator gen(seed_number(43));
    int upper_half = 0;
    for (int i = 0; i < 64; ++i) {
        ThreadGenerator copy = gen;
        const double u = static_cast<double>(copy.draw_u64() >> 12) * 0x1p-52;
        ThreadGenerator again = gen;
        const WeightedSampler on = build_ok({u, 1.0 - u});
        ASSERT_EQ(on.total(), 1.0);
        EXPECT_EQ(on.sample(gen), 1u) << "u = " << u;
        if (u >= 0.5) {
            ++upper_half;
            const double above = std::nextafter(u, 1.0);
            const WeightedSampler past = build_ok({above, 1.0 - above});
            ASSERT_EQ(past.total(), 1.0);
            EXPECT_EQ(past.sample(again), 0u) << "u = " << u;
        }
    }
    EXPECT_GT(upper_half, 10);
}

TEST(Sampler, ZeroWeightsAreNeverChosen) {
    ThreadGenerator gen(seed_number(44));
    const WeightedSampler single = build_ok({0.25});
    const WeightedSampler first_zero = build_ok({0.0, 3.5});
    const WeightedSampler last_zero = build_ok({3.5, 0.0});
    EXPECT_TRUE(single.cumulative().empty());
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(single.sample(gen), 0u);
        ASSERT_EQ(first_zero.sample(gen), 1u);
        ASSERT_EQ(last_zero.sample(gen), 0u);
    }
}

// Frequencies of a fixed-key run within six standard deviations of the weights.
TEST(Sampler, FrequenciesFollowTheWeights) {
    ThreadGenerator gen(seed_number(45));
    const std::vector<double> weights = {1.0, 2.0, 0.0, 3.0, 4.0};
    const WeightedSampler s = build_ok(weights);
    constexpr int kDraws = 200000;
    std::vector<int> counts(weights.size(), 0);
    for (int i = 0; i < kDraws; ++i) ++counts.at(s.sample(gen));
    for (std::size_t j = 0; j < weights.size(); ++j) {
        const double p = weights[j] / 10.0;
        const double sigma = std::sqrt(kDraws * p * (1.0 - p));
        EXPECT_LE(std::abs(counts[j] - kDraws * p), 6.0 * sigma) << "index " << j;
    }
    EXPECT_EQ(counts[2], 0);
}

}  // namespace
