// How much memory the system can still provide: what a large request is
// checked against before anything is mapped, because Linux would otherwise
// grant an impossible request and kill the process on first touch. Any
// thread; reads two or three small files, nothing else blocks.
#pragma once

#include <cstdint>

namespace velqor {

// Bytes the system can still provide: MemAvailable, lowered to the room left
// under the cgroup's memory limit where one is set. Exposed for tests.
std::uint64_t available_memory_bytes() noexcept;

}  // namespace velqor
