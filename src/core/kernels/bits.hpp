// Bit deposit: spreading the bits of a packed number over the set bits of a mask.
#pragma once

#include <bit>
#include <cstdint>

namespace velqor::kernels {

// Scatters the low bits of `value` into the set bits of `mask`, lowest first
// (`value` has no more bits than `mask` has set). A 0 bit is inserted at each
// clear bit of `mask` in ascending order, stopping where no bit of `value` is
// left above it: the loop visits the clear bits below the result's highest
// bit only, as few as the masks of the kernels have.
inline std::uint64_t deposit_bits(std::uint64_t value, std::uint64_t mask) noexcept {
    for (std::uint64_t holes = ~mask; holes != 0; holes &= holes - 1) {
        const unsigned p = static_cast<unsigned>(std::countr_zero(holes));
        if ((value >> p) == 0) break;
        const std::uint64_t low = value & ((std::uint64_t{1} << p) - 1);
        value = ((value >> p) << (p + 1)) | low;
    }
    return value;
}

}  // namespace velqor::kernels
