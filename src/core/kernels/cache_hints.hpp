// Cache hints of the kernels: prefetching a line, and stores that bypass the
// caches where the architecture has them in a form the kernels can use.
#pragma once

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "core/complex.hpp"

namespace velqor::kernels {

// Asks for the line holding p in every cache level (prefetcht0 on x86-64,
// prfm pldl1keep on aarch64); a hint, never a fault.
inline void prefetch_line(const void* p) noexcept { __builtin_prefetch(p, 0, 3); }

// Whether zeros can be written with streaming stores (stream_zero): x86-64
// only. On aarch64 the non-temporal pair store has no compiler intrinsic, and
// its ordering rules differ; zeros there take ordinary stores.
#if defined(__x86_64__)
inline constexpr bool kStreamingStores = true;
#else
inline constexpr bool kStreamingStores = false;
#endif

// Writes a zero amplitude at p without fetching its line first (an ordinary
// store where kStreamingStores is false).
inline void stream_zero(Complex* p) noexcept {
#if defined(__x86_64__)
    _mm_stream_pd(&p->real, _mm_setzero_pd());
#else
    *p = kZero;
#endif
}

// Orders the streaming stores before every later store, so that the pool's
// completion latch publishes them like ordinary stores.
inline void stream_fence() noexcept {
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

}  // namespace velqor::kernels
