// Stand-ins that let the release module (VELQOR_PORTABLE: libstdc++ linked in
// statically) load on glibc 2.28. It is linked against a newer glibc, whose
// headers and whose static libstdc++ refer to functions at versions that
// glibc 2.28 lacks: the thread and dynamic-loading functions moved into libc in
// 2.34 and got new versions there, fstat became a real function in 2.33,
// __libc_single_threaded came in 2.32 and arc4random in 2.36. The release link
// redirects every reference to one of those functions here (ld --wrap, the list
// is in CMakeLists.txt), and each stand-in calls the version that the
// architecture's glibc has exported from the start (found in libpthread and
// libdl before 2.34 and in libc since), or does the job with older functions.
// The first versions differ by architecture: GLIBC_2.2.5 on x86-64, GLIBC_2.17
// (the first aarch64 glibc) on aarch64; so does the structure version of
// __fxstat. Other builds compile nothing from this file.
#if VELQOR_PORTABLE

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>

// The architecture's first glibc version, and the structure version that
// __fxstat expects for the struct stat of <sys/stat.h>.
#if defined(__x86_64__)
#define VELQOR_GLIBC_FIRST "GLIBC_2.2.5"
constexpr int kStatVersion = 1;  // _STAT_VER_LINUX
#elif defined(__aarch64__)
#define VELQOR_GLIBC_FIRST "GLIBC_2.17"
constexpr int kStatVersion = 0;  // _STAT_VER_KERNEL of the generic Linux ports
#else
#error "the release build knows the first glibc symbol versions of x86-64 and aarch64 only"
#endif

// Binds the declaration NAME_first to NAME at the architecture's first version.
#define VELQOR_GLIBC_FIRST_VERSION(name) __asm__(".symver " #name "_first, " #name "@" VELQOR_GLIBC_FIRST)

extern "C" {

int pthread_create_first(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int pthread_join_first(pthread_t, void**);
int pthread_detach_first(pthread_t);
int pthread_once_first(pthread_once_t*, void (*)());
int pthread_key_create_first(pthread_key_t*, void (*)(void*));
int pthread_key_delete_first(pthread_key_t);
void* pthread_getspecific_first(pthread_key_t);
int pthread_setspecific_first(pthread_key_t, const void*);
int pthread_attr_setstacksize_first(pthread_attr_t*, std::size_t);
int pthread_mutex_trylock_first(pthread_mutex_t*);
int pthread_rwlock_rdlock_first(pthread_rwlock_t*);
int pthread_rwlock_wrlock_first(pthread_rwlock_t*);
int pthread_rwlock_unlock_first(pthread_rwlock_t*);
int dladdr_first(const void*, Dl_info*);
int __fxstat_first(int, int, struct stat*);
VELQOR_GLIBC_FIRST_VERSION(pthread_create);
VELQOR_GLIBC_FIRST_VERSION(pthread_join);
VELQOR_GLIBC_FIRST_VERSION(pthread_detach);
VELQOR_GLIBC_FIRST_VERSION(pthread_once);
VELQOR_GLIBC_FIRST_VERSION(pthread_key_create);
VELQOR_GLIBC_FIRST_VERSION(pthread_key_delete);
VELQOR_GLIBC_FIRST_VERSION(pthread_getspecific);
VELQOR_GLIBC_FIRST_VERSION(pthread_setspecific);
VELQOR_GLIBC_FIRST_VERSION(pthread_attr_setstacksize);
VELQOR_GLIBC_FIRST_VERSION(pthread_mutex_trylock);
VELQOR_GLIBC_FIRST_VERSION(pthread_rwlock_rdlock);
VELQOR_GLIBC_FIRST_VERSION(pthread_rwlock_wrlock);
VELQOR_GLIBC_FIRST_VERSION(pthread_rwlock_unlock);
VELQOR_GLIBC_FIRST_VERSION(dladdr);
VELQOR_GLIBC_FIRST_VERSION(__fxstat);

// pthread_create and the rest: the same functions at their first version.
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* arg) {
    return pthread_create_first(thread, attributes, start, arg);
}
int __wrap_pthread_join(pthread_t thread, void** result) { return pthread_join_first(thread, result); }
int __wrap_pthread_detach(pthread_t thread) { return pthread_detach_first(thread); }
int __wrap_pthread_once(pthread_once_t* once, void (*run)()) { return pthread_once_first(once, run); }
int __wrap_pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
    return pthread_key_create_first(key, destroy);
}
int __wrap_pthread_key_delete(pthread_key_t key) { return pthread_key_delete_first(key); }
void* __wrap_pthread_getspecific(pthread_key_t key) { return pthread_getspecific_first(key); }
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) { return pthread_setspecific_first(key, value); }
int __wrap_pthread_attr_setstacksize(pthread_attr_t* attributes, std::size_t size) {
    return pthread_attr_setstacksize_first(attributes, size);
}
int __wrap_pthread_mutex_trylock(pthread_mutex_t* mutex) { return pthread_mutex_trylock_first(mutex); }
int __wrap_pthread_rwlock_rdlock(pthread_rwlock_t* lock) { return pthread_rwlock_rdlock_first(lock); }
int __wrap_pthread_rwlock_wrlock(pthread_rwlock_t* lock) { return pthread_rwlock_wrlock_first(lock); }
int __wrap_pthread_rwlock_unlock(pthread_rwlock_t* lock) { return pthread_rwlock_unlock_first(lock); }
int __wrap_dladdr(const void* address, Dl_info* info) { return dladdr_first(address, info); }

// fstat: before 2.33 a header inline over __fxstat with the architecture's
// structure version; glibc still exports that entry.
int __wrap_fstat(int fd, struct stat* info) { return __fxstat_first(kStatVersion, fd, info); }

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
