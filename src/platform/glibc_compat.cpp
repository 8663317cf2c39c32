// Stand-ins that let the release module (VELQOR_PORTABLE: libstdc++ linked in
// statically) load on glibc 2.28. It is linked against a newer glibc, whose
// headers and whose static libstdc++ refer to functions at versions that
// glibc 2.28 lacks: the thread and dynamic-loading functions moved into libc in
// 2.34 and got new versions there, fstat became a real function in 2.33,
// __libc_single_threaded came in 2.32 and arc4random in 2.36. The release link
// redirects every reference to one of those functions here (ld --wrap, the list
// is in CMakeLists.txt), and each stand-in calls the version that x86-64 glibc
// has exported from the start (GLIBC_2.2.5, found in libpthread and libdl
// before 2.34 and in libc since), or does the job with older functions.
// Other builds compile nothing from this file.
#if VELQOR_PORTABLE

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>

// Binds the declaration NAME_v2_2_5 to NAME@GLIBC_2.2.5.
#define VELQOR_GLIBC_2_2_5(name) __asm__(".symver " #name "_v2_2_5, " #name "@GLIBC_2.2.5")

extern "C" {

int pthread_create_v2_2_5(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int pthread_join_v2_2_5(pthread_t, void**);
int pthread_detach_v2_2_5(pthread_t);
int pthread_once_v2_2_5(pthread_once_t*, void (*)());
int pthread_key_create_v2_2_5(pthread_key_t*, void (*)(void*));
int pthread_key_delete_v2_2_5(pthread_key_t);
void* pthread_getspecific_v2_2_5(pthread_key_t);
int pthread_setspecific_v2_2_5(pthread_key_t, const void*);
int pthread_attr_setstacksize_v2_2_5(pthread_attr_t*, std::size_t);
int pthread_mutex_trylock_v2_2_5(pthread_mutex_t*);
int pthread_rwlock_rdlock_v2_2_5(pthread_rwlock_t*);
int pthread_rwlock_wrlock_v2_2_5(pthread_rwlock_t*);
int pthread_rwlock_unlock_v2_2_5(pthread_rwlock_t*);
int dladdr_v2_2_5(const void*, Dl_info*);
int __fxstat_v2_2_5(int, int, struct stat*);
VELQOR_GLIBC_2_2_5(pthread_create);
VELQOR_GLIBC_2_2_5(pthread_join);
VELQOR_GLIBC_2_2_5(pthread_detach);
VELQOR_GLIBC_2_2_5(pthread_once);
VELQOR_GLIBC_2_2_5(pthread_key_create);
VELQOR_GLIBC_2_2_5(pthread_key_delete);
VELQOR_GLIBC_2_2_5(pthread_getspecific);
VELQOR_GLIBC_2_2_5(pthread_setspecific);
VELQOR_GLIBC_2_2_5(pthread_attr_setstacksize);
VELQOR_GLIBC_2_2_5(pthread_mutex_trylock);
VELQOR_GLIBC_2_2_5(pthread_rwlock_rdlock);
VELQOR_GLIBC_2_2_5(pthread_rwlock_wrlock);
VELQOR_GLIBC_2_2_5(pthread_rwlock_unlock);
VELQOR_GLIBC_2_2_5(dladdr);
VELQOR_GLIBC_2_2_5(__fxstat);

// pthread_create and the rest: the same functions at their first version.
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* arg) {
    return pthread_create_v2_2_5(thread, attributes, start, arg);
}
int __wrap_pthread_join(pthread_t thread, void** result) { return pthread_join_v2_2_5(thread, result); }
int __wrap_pthread_detach(pthread_t thread) { return pthread_detach_v2_2_5(thread); }
int __wrap_pthread_once(pthread_once_t* once, void (*run)()) { return pthread_once_v2_2_5(once, run); }
int __wrap_pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
    return pthread_key_create_v2_2_5(key, destroy);
}
int __wrap_pthread_key_delete(pthread_key_t key) { return pthread_key_delete_v2_2_5(key); }
void* __wrap_pthread_getspecific(pthread_key_t key) { return pthread_getspecific_v2_2_5(key); }
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) { return pthread_setspecific_v2_2_5(key, value); }
int __wrap_pthread_attr_setstacksize(pthread_attr_t* attributes, std::size_t size) {
    return pthread_attr_setstacksize_v2_2_5(attributes, size);
}
int __wrap_pthread_mutex_trylock(pthread_mutex_t* mutex) { return pthread_mutex_trylock_v2_2_5(mutex); }
int __wrap_pthread_rwlock_rdlock(pthread_rwlock_t* lock) { return pthread_rwlock_rdlock_v2_2_5(lock); }
int __wrap_pthread_rwlock_wrlock(pthread_rwlock_t* lock) { return pthread_rwlock_wrlock_v2_2_5(lock); }
int __wrap_pthread_rwlock_unlock(pthread_rwlock_t* lock) { return pthread_rwlock_unlock_v2_2_5(lock); }
int __wrap_dladdr(const void* address, Dl_info* info) { return dladdr_v2_2_5(address, info); }

// fstat: before 2.33 a header inline over __fxstat with the structure version
// of x86-64 (_STAT_VER_LINUX, 1); glibc still exports that entry.
int __wrap_fstat(int fd, struct stat* info) {
    constexpr int kStatVersion = 1;
    return __fxstat_v2_2_5(kStatVersion, fd, info);
}

// arc4random (only std::random_device's "arc4random" token reaches it): four
// bytes from getrandom (2.25), which blocks only until the kernel's pool is
// first seeded. Like glibc's, it cannot fail: with no random source the
// process ends.
std::uint32_t __wrap_arc4random() {
    std::uint32_t value = 0;
    for (;;) {
        const ssize_t n = getrandom(&value, sizeof value, 0);
        if (n == static_cast<ssize_t>(sizeof value)) return value;
        if (n < 0 && errno != EINTR) std::abort();
    }
}

// __libc_single_threaded: libstdc++ skips atomic reference counting while it is
// nonzero. This module's own copy stays 0, so counts are always atomic.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

}  // extern "C"

#endif  // VELQOR_PORTABLE
