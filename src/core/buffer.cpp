#include "core/buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "core/memory_limits.hpp"
#include "core/prefault.hpp"

namespace velqor {
namespace {

constexpr std::size_t kAlignment = 64;
// Below this size the heap serves the request; above it the vector gets its own
// mapping, aligned to a huge page so transparent huge pages can back it.
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Requests below this size are not worth a look at the system's free memory.
constexpr std::size_t kCheckThreshold = std::size_t{16} << 20;

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
    // Hands the mapping over to the caller, who then unmaps it.
    void* hand_over() noexcept { return std::exchange(start_, nullptr); }

private:
    void* start_;
    std::size_t length_;
};

}  // namespace

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
    data_ = owned.hand_over();
    bytes_ = length;
    mapped_ = true;
}

RawBuffer::RawBuffer(RawBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

RawBuffer& RawBuffer::operator=(RawBuffer&& other) noexcept {
    if (this != &other) {
        free_memory();
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

RawBuffer::~RawBuffer() { free_memory(); }

void RawBuffer::free_memory() noexcept {
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
