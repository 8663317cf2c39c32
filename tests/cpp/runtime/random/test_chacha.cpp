// Tests of the ChaCha block function against published and generated vectors.
#include "runtime/random/chacha.hpp"

#include <gtest/gtest.h>

#include "runtime/random/random_support.hpp"

namespace {

using namespace velqor::testing::random_support;

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

}  // namespace
