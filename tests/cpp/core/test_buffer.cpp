#include <cstdint>
#include <new>

#include <gtest/gtest.h>

#include "core/buffer.hpp"
#include "core/memory_limits.hpp"

namespace velqor {
namespace {

TEST(Register, RefusesAnAllocationBeyondAvailableMemory) {
    const std::uint64_t available = available_memory_bytes();
    ASSERT_GT(available, 0u);
    EXPECT_THROW(Buffer<char>(available + (std::uint64_t{1} << 30)), std::bad_alloc);
}

}  // namespace
}  // namespace velqor
