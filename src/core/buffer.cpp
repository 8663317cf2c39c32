#include "core/buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "runtime/pool.hpp"

namespace velqor {
namespace {

constexpr std::size_t kAlignment = 64;
// Below this size the heap serves the request; above it the vector gets its own
// mapping, aligned to a huge page so transparent huge pages can back it.
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Pages are faulted in by the pool in pieces of this size.
constexpr std::size_t kPopulateChunk = std::size_t{32} << 20;
// Requests below this size are not worth a look at the system's free memory.
constexpr std::size_t kCheckThreshold = std::size_t{16} << 20;

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

// Owns an anonymous mapping until it is handed over: every way out of the
// constructor before that unmaps it.
class Mapping {
public:
    Mapping(void* start, std::size_t length) noexcept : start_(start), length_(length) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (start_ != nullptr) ::munmap(start_, length_);
    }
    void* release() noexcept { return std::exchange(start_, nullptr); }

private:
    void* start_;
    std::size_t length_;
};

// Faults the pages of [base, base + length) in, so the memory is really there
// when the vector is handed out (and counted as used by the next request's
// check), and a refusal surfaces here instead of as a killed process later.
// The pool's workers share the work when the pool is up (first touches are
// slow, and a vector of several GiB would otherwise take seconds more); a
// register is never what starts the pool, so without one the calling thread
// does it. Returns false when the system refused the pages.
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

}  // namespace

std::uint64_t available_memory_bytes() noexcept {
    const std::uint64_t meminfo = read_meminfo_available();
    const std::uint64_t cgroup = cgroup_room();
    return meminfo < cgroup ? meminfo : cgroup;
}

RawBuffer::RawBuffer(std::size_t bytes) {
    if (bytes == 0) return;
    if (bytes >= kCheckThreshold && bytes > available_memory_bytes()) throw std::bad_alloc();
    if (bytes < kMapThreshold) {
        const std::size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
        void* memory = std::aligned_alloc(kAlignment, rounded);
        if (memory == nullptr) throw std::bad_alloc();
        std::memset(memory, 0, rounded);
        data_ = memory;
        bytes_ = bytes;
        return;
    }
    // Map with room to align the start to a huge page, then give back the
    // unaligned head and the unused tail. Anonymous mappings are zero-filled.
    if (bytes > std::numeric_limits<std::size_t>::max() - kHugePage) throw std::bad_alloc();
    const std::size_t padded = bytes + kHugePage;
    void* mapping = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    const std::size_t head = aligned - start;
    // Whole pages of the system's size (4 KiB on x86-64; 4, 16 or 64 KiB on
    // aarch64 kernels), so that the tail given back starts on a page.
    const long page_size = ::sysconf(_SC_PAGESIZE);
    const std::size_t page = page_size > 0 ? static_cast<std::size_t>(page_size) : 4096;
    const std::size_t length = (bytes + page - 1) / page * page;
    if (head > 0) ::munmap(mapping, head);
    if (padded - head > length) ::munmap(reinterpret_cast<void*>(aligned + length), padded - head - length);
    Mapping owned(reinterpret_cast<void*>(aligned), length);
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    if (!populate(reinterpret_cast<char*>(aligned), length)) throw std::bad_alloc();
    data_ = owned.release();
    bytes_ = length;
    mapped_ = true;
}

RawBuffer::RawBuffer(RawBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

RawBuffer& RawBuffer::operator=(RawBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

RawBuffer::~RawBuffer() { release(); }

void RawBuffer::release() noexcept {
    if (data_ == nullptr) return;
    if (mapped_) {
        ::munmap(data_, bytes_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    bytes_ = 0;
    mapped_ = false;
}

}  // namespace velqor
