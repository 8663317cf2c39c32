// The exact sum of non-negative doubles, rounded once: the same bits for any
// order of addition and any grouping into partial sums.
//
// The sum is kept as a fixed-point integer over the whole double range (bit 0
// weighs 2^-1074, the smallest subnormal), in 32-bit digits held in 64-bit
// words so that additions defer their carries. A NaN or infinite term makes
// the sum NaN or infinite, as a floating-point sum would.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace velqor {

class ExactSum {
public:
    // Adds x >= 0 (or NaN, or +infinity) exactly.
    void add(double x) noexcept { add_all(&x, 1); }

    // Adds each of count values as add() does. The terms go alternately to
    // two sets of digits, so that terms of equal size (which hit the same
    // digits) do not wait on each other's additions.
    void add_all(const double* xs, std::size_t count) noexcept {
        bool nan = false, infinite = false;
        for (std::size_t i = 0; i < count; ++i) {
            const double x = xs[i];
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
            const std::uint64_t exponent = (bits >> 52) & 2047;  // a NaN may carry a sign
            // NaN and infinity (the largest exponent) add their bits too, in
            // range of the digits; the flags make value() ignore them.
            nan |= x != x;
            infinite |= exponent == 2047;
            const std::uint64_t mantissa =
                (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{exponent != 0} << 52);
            // x = mantissa * 2^(position - 1074), subnormals included.
            const std::uint64_t position = exponent - (exponent != 0);
            const unsigned digit = static_cast<unsigned>(position / kDigitBits);
            const unsigned shift = static_cast<unsigned>(position % kDigitBits);
            const std::uint64_t low = mantissa << shift;  // bits 0-63 of the shifted mantissa
            std::uint64_t* digits = sets_[i % 2].data();
            digits[digit] += low & kDigitMask;
            digits[digit + 1] += low >> kDigitBits;
            digits[digit + 2] += (mantissa >> kDigitBits) >> (kDigitBits - shift);  // bits 64 and up
        }
        nan_ = nan_ || nan;
        infinite_ = infinite_ || infinite;
        pending_ += count;
        if (pending_ >= kMaxPending) normalize();
    }

    // Adds another exact sum exactly.
    void add(ExactSum other) noexcept {
        other.normalize();
        normalize();
        for (unsigned i = 0; i < kDigits; ++i) sets_[0][i] += other.sets_[0][i];
        pending_ = 1;
        nan_ = nan_ || other.nan_;
        infinite_ = infinite_ || other.infinite_;
    }

    // The sum rounded to the nearest double, ties to even; +infinity beyond the
    // largest double.
    double value() const noexcept {
        if (nan_) return std::numeric_limits<double>::quiet_NaN();
        if (infinite_) return std::numeric_limits<double>::infinity();
        ExactSum s = *this;
        s.normalize();
        unsigned top = kDigits;
        while (top > 0 && s.sets_[0][top - 1] == 0) --top;
        if (top == 0) return 0.0;
        const unsigned leading =
            (top - 1) * kDigitBits + (63 - static_cast<unsigned>(std::countl_zero(s.sets_[0][top - 1])));
        if (leading <= 52) return std::ldexp(static_cast<double>(s.bits_at(0)), -1074);  // exact: below 2^53 units
        unsigned low = leading - 52;
        std::uint64_t mantissa = s.bits_at(low) & ((std::uint64_t{1} << 53) - 1);
        const bool half = (s.bits_at(low - 1) & 1) != 0;
        if (half && (mantissa % 2 == 1 || s.any_below(low - 1))) ++mantissa;
        if (mantissa == std::uint64_t{1} << 53) {
            mantissa >>= 1;
            ++low;
        }
        return std::ldexp(static_cast<double>(mantissa), static_cast<int>(low) - 1074);
    }

private:
    static constexpr unsigned kDigitBits = 32;
    static constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
    // Positions 0 .. 2045 + 52 for the terms, and room above for the carries of
    // up to 2^32 terms near the largest double.
    static constexpr unsigned kDigits = 68;
    // Each addition adds less than 2^32 to a digit: normalising before 2^31 of
    // them keeps every digit below 2^64.
    static constexpr std::uint64_t kMaxPending = std::uint64_t{1} << 31;

    // Folds the second set of digits into the first and propagates the
    // deferred carries: every digit but the last below 2^32, the second set 0.
    void normalize() noexcept {
        std::uint64_t carry = 0;
        for (unsigned i = 0; i + 1 < kDigits; ++i) {
            const std::uint64_t low = (sets_[0][i] & kDigitMask) + (sets_[1][i] & kDigitMask) + carry;
            carry = (sets_[0][i] >> kDigitBits) + (sets_[1][i] >> kDigitBits) + (low >> kDigitBits);
            sets_[0][i] = low & kDigitMask;
            sets_[1][i] = 0;
        }
        sets_[0][kDigits - 1] += sets_[1][kDigits - 1] + carry;
        sets_[1][kDigits - 1] = 0;
        pending_ = 0;
    }

    // The 64 bits of a normalised sum from bit `low` up.
    std::uint64_t bits_at(unsigned low) const noexcept {
        const unsigned digit = low / kDigitBits;
        unsigned __int128 window = 0;
        for (unsigned i = 3; i-- > 0;) {
            window <<= kDigitBits;
            if (digit + i < kDigits) window |= sets_[0][digit + i];
        }
        return static_cast<std::uint64_t>(window >> (low % kDigitBits));
    }

    // Whether any bit of a normalised sum below bit `end` is set.
    bool any_below(unsigned end) const noexcept {
        const unsigned digit = end / kDigitBits;
        for (unsigned i = 0; i < digit; ++i) {
            if (sets_[0][i] != 0) return true;
        }
        return (sets_[0][digit] & ((std::uint64_t{1} << (end % kDigitBits)) - 1)) != 0;
    }

    // Two sets of digits (see add_all); after normalize() the sum is in the first.
    std::array<std::array<std::uint64_t, kDigits>, 2> sets_{};
    std::uint64_t pending_ = 0;
    bool nan_ = false;
    bool infinite_ = false;
};

}  // namespace velqor
