// Processor hints for spin loops and streaming reads.
#ifndef NIMBO_PLATFORM_CPU_HPP
#define NIMBO_PLATFORM_CPU_HPP

#include <atomic>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#define NIMBO_PLATFORM_X86 1
#endif

namespace ferry::platform {

// One iteration of a busy-wait loop.
inline void cpu_relax() noexcept {
#if defined(NIMBO_PLATFORM_X86)
    _mm_pause();
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// A hint to load a line. Inline assembly on x86 with GCC and Clang: GCC 12
// drops the builtin here at -O1 and above.
inline void prefetch(const char *p) noexcept {
#if defined(_MSC_VER)
    _mm_prefetch(p, _MM_HINT_T0);
#elif defined(NIMBO_PLATFORM_X86)
    asm volatile("prefetcht0 %0" : : "m"(*p));
#else
    __builtin_prefetch(p);
#endif
}

}  // namespace ferry::platform

#endif
