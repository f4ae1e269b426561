// The heavy half of an asymmetric store->load barrier: makes every running
// thread of the process execute a full barrier, so that the frequent side of
// a handshake needs only a compiler barrier. membarrier(PRIVATE_EXPEDITED) on
// Linux, FlushProcessWriteBuffers on Windows.
#ifndef NIMBO_PLATFORM_BARRIER_HPP
#define NIMBO_PLATFORM_BARRIER_HPP

#include <atomic>

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

// Only after process_barrier_usable() returned true. False if it failed.
inline bool process_barrier() noexcept {
#ifdef _WIN32
    FlushProcessWriteBuffers();
    return true;
#else
    return syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
#endif
}

}  // namespace ferry::platform

#endif
