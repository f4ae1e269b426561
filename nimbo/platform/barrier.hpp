// The heavy half of an asymmetric store->load barrier: makes every running
// thread of the process execute a full barrier, so that the frequent side of
// a handshake needs only a compiler barrier. membarrier(PRIVATE_EXPEDITED) on
// Linux, FlushProcessWriteBuffers on Windows.
#ifndef NIMBO_PLATFORM_BARRIER_HPP
#define NIMBO_PLATFORM_BARRIER_HPP

#include <atomic>
#include <cstdint>

#ifdef _WIN32
#include "win32.hpp"
#else
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace ferry::platform {

// Whether process_barrier() works here; decided (and registered) once.
inline bool process_barrier_usable() noexcept {
#ifdef _WIN32
    // Wine's FlushProcessWriteBuffers is an empty stub (8.0): there the
    // caller must use full fences on both sides.
    static const bool usable = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
    return usable;
#else
    // 1: registered; 2: not available; 0: not decided yet.
    static std::atomic<int> mode{0};
    int m = mode.load(std::memory_order_acquire);
    if (m == 0) {
        long ok = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
        bool usable = ok > 0 && (ok & MEMBARRIER_CMD_PRIVATE_EXPEDITED) &&
                      syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
        m = usable ? 1 : 2;
        mode.store(m, std::memory_order_release);
    }
    return m == 1;
#endif
}

// Whether a handshake may use the asymmetric form: the frequent side a
// compiler barrier, the rare side process_barrier(). Else both sides use
// seq_cst fences. Never under ThreadSanitizer, which cannot see through the
// process-wide barrier.
inline bool asymmetric_barriers() noexcept {
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    return process_barrier_usable();
#endif
}

// Only after process_barrier_usable() returned true. False if it failed.
inline bool process_barrier() noexcept {
#ifdef _WIN32
    FlushProcessWriteBuffers();
    return true;
#else
    return syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
#endif
}

// A full store->load fence.
inline void full_fence() noexcept {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not model fences; seq_cst read-modify-writes of
    // one shared word order both sides of a handshake the same way.
    static std::atomic<uint32_t> word{0};
    word.fetch_add(0, std::memory_order_seq_cst);
#else
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

// The two halves of a store->load handshake (a Dekker pair), `asymmetric`
// being asymmetric_barriers() as the caller decided it once.
// Frequent side:
inline void light_barrier(bool asymmetric) noexcept {
    if (asymmetric)
        std::atomic_signal_fence(std::memory_order_seq_cst);
    else
        full_fence();
}
// Rare side: makes every running thread of the process execute a full barrier.
inline void heavy_barrier(bool asymmetric) noexcept {
    full_fence();
    if (asymmetric && !process_barrier()) full_fence();  // registered, so it cannot fail; never rely on that
}

}  // namespace ferry::platform

#endif
