#include "runtime/random/chacha.hpp"

#include <algorithm>
#include <bit>
#include <iterator>

namespace velqor::random {
namespace {

// "expand 32-byte k" as little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// The ChaCha block function, written once for a lane type: std::uint32_t for one
// block, a four-lane vector for four blocks side by side.

using Lanes = std::uint32_t __attribute__((vector_size(16)));

inline std::uint32_t rotl(std::uint32_t v, int n) { return std::rotl(v, n); }
inline Lanes rotl(Lanes v, int n) { return (v << n) | (v >> (32 - n)); }

template <class V>
[[gnu::always_inline]] inline void quarter_round(V& a, V& b, V& c, V& d) {
    a += b;
    d ^= a;
    d = rotl(d, 16);
    c += d;
    b ^= c;
    b = rotl(b, 12);
    a += b;
    d ^= a;
    d = rotl(d, 8);
    c += d;
    b ^= c;
    b = rotl(b, 7);
}

// `rounds` rounds (column rounds alternating with diagonal rounds) on x. Inlined
// so that the sixteen state words stay in registers.
template <class V>
[[gnu::always_inline]] inline void chacha_rounds(V (&x)[16], unsigned rounds) {
    for (unsigned r = 0; r < rounds; r += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
}

template <unsigned Rounds>
void blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
             std::uint32_t out[64]) {
    Lanes input[16];
    for (int i = 0; i < 4; ++i) input[i] = Lanes{} + kSigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = Lanes{} + key[i];
    for (int lane = 0; lane < 4; ++lane) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(lane);
        input[12][lane] = static_cast<std::uint32_t>(c);
        input[13][lane] = static_cast<std::uint32_t>(c >> 32);
    }
    input[14] = Lanes{} + static_cast<std::uint32_t>(stream);
    input[15] = Lanes{} + static_cast<std::uint32_t>(stream >> 32);

    Lanes x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    chacha_rounds(x, Rounds);
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    for (int lane = 0; lane < 4; ++lane) {
        for (int i = 0; i < 16; ++i) out[16 * lane + i] = x[i][lane];
    }
}

}  // namespace

void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream, unsigned rounds,
                  std::uint32_t out[16]) {
    std::uint32_t input[16];
    std::copy(std::begin(kSigma), std::end(kSigma), input);
    std::copy(key.begin(), key.end(), input + 4);
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);

    std::uint32_t x[16];
    std::copy(std::begin(input), std::end(input), x);
    chacha_rounds(x, rounds);
    for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

void chacha_blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    unsigned rounds, std::uint32_t out[64]) {
    switch (rounds) {
        case 8: blocks4<8>(key, counter, stream, out); return;
        case 12: blocks4<12>(key, counter, stream, out); return;
        case 20: blocks4<20>(key, counter, stream, out); return;
        default:
            for (std::uint64_t i = 0; i < 4; ++i) {
                chacha_block(key, counter + i, stream, rounds, out + 16 * i);
            }
    }
}

}  // namespace velqor::random
