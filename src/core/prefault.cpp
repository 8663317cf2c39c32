#include "core/prefault.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "runtime/pool.hpp"

namespace velqor {
namespace {

// Pages are faulted in by the pool in chunks of this size.
constexpr std::size_t kPopulateChunk = std::size_t{32} << 20;

}  // namespace

bool populate(char* base, std::size_t length) {
    const auto populate_chunk = [base, length](std::uint64_t i) {
        const std::size_t offset = i * kPopulateChunk;
        const std::size_t size = std::min(kPopulateChunk, length - offset);
        // EINVAL: a kernel without MADV_POPULATE_WRITE; the pages then come on first use.
        return ::madvise(base + offset, size, MADV_POPULATE_WRITE) == 0 || errno == EINVAL;
    };
    const std::size_t chunks = (length + kPopulateChunk - 1) / kPopulateChunk;
    if (!pool::is_running()) {
        for (std::size_t i = 0; i < chunks; ++i) {
            if (!populate_chunk(i)) return false;
        }
        return true;
    }
    std::atomic<bool> refused{false};
    pool::for_each(chunks, [&](std::uint64_t i) {
        if (!populate_chunk(i)) refused.store(true, std::memory_order_relaxed);
    });
    return !refused.load(std::memory_order_relaxed);
}

}  // namespace velqor
