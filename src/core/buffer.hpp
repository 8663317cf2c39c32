// Zeroed, 64-byte aligned storage for the large vectors of the core (the
// amplitudes, probability copies). Large requests are checked against the
// memory the system can really provide (memory_limits.hpp) and their pages
// faulted in (prefault.hpp) before they are handed out. A refused request
// throws std::bad_alloc; nothing here ever panics. Owned by one thread at a
// time, like any value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>

namespace velqor {

class RawBuffer {
public:
    RawBuffer() noexcept = default;
    explicit RawBuffer(std::size_t bytes);  // zero-filled; throws std::bad_alloc
    RawBuffer(RawBuffer&& other) noexcept;
    RawBuffer& operator=(RawBuffer&& other) noexcept;
    RawBuffer(const RawBuffer&) = delete;
    RawBuffer& operator=(const RawBuffer&) = delete;
    ~RawBuffer();

    void* data() const noexcept { return data_; }
    std::size_t bytes() const noexcept { return bytes_; }

private:
    void free_memory() noexcept;

    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    bool mapped_ = false;
};

template <class T>
class Buffer {
public:
    Buffer() noexcept = default;
    explicit Buffer(std::size_t count) : raw_(byte_size(count)), count_(count) {}

    T* data() const noexcept { return static_cast<T*>(raw_.data()); }
    std::size_t size() const noexcept { return count_; }
    T& operator[](std::size_t i) const noexcept { return data()[i]; }
    std::span<T> span() const noexcept { return {data(), count_}; }

private:
    static std::size_t byte_size(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        return count * sizeof(T);
    }

    RawBuffer raw_;
    std::size_t count_ = 0;
};

}  // namespace velqor
