#include "core/memory_limits.hpp"

#include <cstdio>
#include <limits>

namespace velqor {
namespace {

std::uint64_t read_meminfo_available() noexcept {
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    if (file == nullptr) return std::numeric_limits<std::uint64_t>::max();
    char line[256];
    std::uint64_t kib = std::numeric_limits<std::uint64_t>::max() / 1024;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned long long value = 0;
        if (std::sscanf(line, "MemAvailable: %llu kB", &value) == 1) {
            kib = value;
            break;
        }
    }
    std::fclose(file);
    return kib * 1024;
}

// Reads one number from a cgroup file; "max" or an unreadable file means no limit.
bool read_cgroup_value(const char* path, std::uint64_t& value) noexcept {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    unsigned long long number = 0;
    const bool ok = std::fscanf(file, "%llu", &number) == 1;
    std::fclose(file);
    if (ok) value = number;
    return ok;
}

std::uint64_t cgroup_room() noexcept {
    std::uint64_t limit = 0;
    std::uint64_t usage = 0;
    if (read_cgroup_value("/sys/fs/cgroup/memory.max", limit) &&
        read_cgroup_value("/sys/fs/cgroup/memory.current", usage)) {
        return limit > usage ? limit - usage : 0;
    }
    if (read_cgroup_value("/sys/fs/cgroup/memory/memory.limit_in_bytes", limit) &&
        read_cgroup_value("/sys/fs/cgroup/memory/memory.usage_in_bytes", usage)) {
        return limit > usage ? limit - usage : 0;
    }
    return std::numeric_limits<std::uint64_t>::max();
}

}  // namespace

std::uint64_t available_memory_bytes() noexcept {
    const std::uint64_t meminfo = read_meminfo_available();
    const std::uint64_t cgroup = cgroup_room();
    return meminfo < cgroup ? meminfo : cgroup;
}

}  // namespace velqor
