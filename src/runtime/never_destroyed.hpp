// Process-wide objects that threads may still use while the process exits (a
// daemon thread's loop, the pool's workers): they are built in place and never
// destroyed, so no static destructor runs while they are in use.
#pragma once

#include <memory>
#include <new>
#include <utility>

namespace velqor {

template <class T>
class NeverDestroyed {
public:
    template <class... Args>
    explicit NeverDestroyed(Args&&... args) {
        std::construct_at(pointer(), std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    ~NeverDestroyed() = default;  // leaves the object alone, on purpose

    T& get() noexcept { return *std::launder(pointer()); }
    T* operator->() noexcept { return &get(); }

    // Builds a fresh object over the old one without destroying it: for a
    // forked child, where the old one may be held by a thread it does not have.
    template <class... Args>
    void rebuild(Args&&... args) {
        std::construct_at(pointer(), std::forward<Args>(args)...);
    }

private:
    T* pointer() noexcept { return reinterpret_cast<T*>(storage_); }
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace velqor
