// Objects that belong to one thread each and go when it ends, held behind a
// pthread key instead of in a thread_local with a destructor.
//
// A thread_local with a destructor registers that destructor on the thread's
// first use of it, and the registration allocates: when the system refuses
// that memory, glibc ends the process ("failed to register TLS destructor").
// A key's value needs no registration. Setting it can fail only with an error
// code (memory for the key's second-level slots, past the first 32 keys),
// which becomes std::bad_alloc like any refused allocation, so a thread's
// first use of its object never ends the process.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <memory>
#include <new>
#include <system_error>

namespace velqor {

template <class T>
class ThreadOwned {
public:
    // Made once per process, at load (a namespace-scope object), before any
    // thread uses it.
    ThreadOwned() noexcept : status_(pthread_key_create(&key_, &destroy)) {}
    ThreadOwned(const ThreadOwned&) = delete;
    ThreadOwned& operator=(const ThreadOwned&) = delete;
    // The key is never deleted: threads may still end, and release their
    // objects, while the process exits.
    ~ThreadOwned() = default;

    // The calling thread's object, or null before it has adopted one.
    T* get() const noexcept { return status_ == 0 ? static_cast<T*>(pthread_getspecific(key_)) : nullptr; }

    // Makes `object` the calling thread's (which has none yet), destroyed when
    // the thread ends; the process's main thread keeps its object until the
    // process ends. Throws std::bad_alloc when the memory for the slot is
    // refused, std::system_error when the process has no key to spare; the
    // object is destroyed then.
    T& adopt(std::unique_ptr<T> object) {
        if (status_ != 0) throw std::system_error(status_, std::generic_category(), "pthread_key_create");
        if (const int rc = pthread_setspecific(key_, object.get()); rc != 0) {
            if (rc == ENOMEM) throw std::bad_alloc();
            throw std::system_error(rc, std::generic_category(), "pthread_setspecific");
        }
        return *object.release();
    }

private:
    static void destroy(void* object) noexcept { std::unique_ptr<T> owned(static_cast<T*>(object)); }

    pthread_key_t key_{};
    int status_;  // 0, or the error of pthread_key_create
};

}  // namespace velqor
