// Reserving large zero-filled regions whose pages cost memory only once
// touched: mmap on Linux, VirtualAlloc on Windows.
#ifndef NIMBO_PLATFORM_MEMORY_HPP
#define NIMBO_PLATFORM_MEMORY_HPP

#include <cstddef>

#ifdef _WIN32
#include "win32.hpp"
#else
#include <sys/mman.h>
#endif

namespace ferry::platform {

// `bytes` of read/write memory, page-aligned and zeroed, or nullptr.
// Linux: MAP_NORESERVE exempts the mapping from the kernel's overcommit
// heuristic, so a large, mostly untouched ring is not refused (strict
// accounting still counts it). Windows: committed (charged against the
// commit limit) but backed by pages only as they are touched.
inline void *reserve_memory(size_t bytes) noexcept {
#ifdef _WIN32
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
#endif
}

// Gives back a region from reserve_memory(bytes).
inline void release_memory(void *p, size_t bytes) noexcept {
#ifdef _WIN32
    (void)bytes;
    VirtualFree(p, 0, MEM_RELEASE);
#else
    munmap(p, bytes);
#endif
}

}  // namespace ferry::platform

#endif
