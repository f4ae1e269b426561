// Sleeping on a 32-bit word until another thread changes it and wakes it:
// futex on Linux, WaitOnAddress on Windows (link `synchronization`).
#ifndef NIMBO_PLATFORM_WAIT_HPP
#define NIMBO_PLATFORM_WAIT_HPP

#include <atomic>
#include <climits>
#include <cstdint>

#ifdef _WIN32
#include "win32.hpp"
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace ferry::platform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the kernel waits on the atomic's own storage");

// Blocks while `word` holds `expected`. May also return without a change
// (a signal, a stale wake-up): callers recheck.
inline void wait_while_equal(std::atomic<uint32_t> &word, uint32_t expected) noexcept {
#ifdef _WIN32
    WaitOnAddress(&word, &expected, sizeof expected, INFINITE);
#else
    syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
#endif
}

// Wakes one thread waiting on `word`.
inline void wake_one(std::atomic<uint32_t> &word) noexcept {
#ifdef _WIN32
    WakeByAddressSingle(&word);
#else
    syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#endif
}

// Wakes every thread waiting on `word`.
inline void wake_all(std::atomic<uint32_t> &word) noexcept {
#ifdef _WIN32
    WakeByAddressAll(&word);
#else
    syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
#endif
}

}  // namespace ferry::platform

#endif
