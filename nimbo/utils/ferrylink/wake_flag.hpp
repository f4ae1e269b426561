// The flag through which a consumer asks for a wake-up: it announces that it
// is about to wait, and the next producer that finds the announcement clears
// it and sends the one wake-up. Plain C++, no Python: the dispatchers and the
// native protocol model (tests/ring/wake_model.cpp) share it.
//
//   consumer, finding the ring empty:  announce(flag), then look again;
//       a message -> withdraw(flag) and deliver it;
//       still empty -> wait for one wake-up, then withdraw(flag).
//   producer, after the ring accepted a message:
//       if (claim(flag)) send one wake-up.
//
// No wake-up is lost. Each side stores, then loads what the other stores:
// the consumer stores the flag and loads the ring's head; the producer stores
// the head (the ring's publishing store) and loads the flag. With a full
// barrier between store and load on both sides, at least one of the loads
// sees the other side's store: the consumer's second look finds the message,
// or the producer finds the announcement and sends. The claim is an exchange,
// so one producer send answers one announcement, and a consumer that
// withdraws on waking is never announced while it drains: pushes then make
// no system call.
//
// Barriers. The producer passes here once per message, the consumer once per
// sleep, which costs it a receive system call anyway. So the heavy half sits
// on the consumer: after its fence, the process-wide barrier makes every
// running thread of the process execute a full barrier (a thread not running
// passed one when it was switched out). The producer's half is then only a
// compiler barrier: if that barrier point fell before the producer's load of
// the flag, the load sees the announcement; if after, it is also after the
// head store in program order, and the store is visible once the barrier
// returns, before the consumer's second look. Without that barrier (or under
// ThreadSanitizer, which cannot see it) both halves are seq_cst fences.
#pragma once
#include <atomic>
#include <cstdint>
#include "../../platform/barrier.hpp"

namespace ferry::wake_flag {

namespace detail {

inline void full_fence() noexcept {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not model fences; seq_cst read-modify-writes of
    // one shared word order the two sides the same way.
    static std::atomic<uint32_t> word{0};
    word.fetch_add(0, std::memory_order_seq_cst);
#else
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

// The same for both sides from the first call on.
inline bool asymmetric() noexcept {
#if defined(__SANITIZE_THREAD__)
    return false;  // the race detector cannot see through the process-wide barrier
#else
    return platform::process_barrier_usable();
#endif
}

inline void heavy_barrier() noexcept {
    full_fence();
    if (asymmetric() && !platform::process_barrier())
        full_fence();  // registered, so it cannot fail; never rely on that
}

inline void light_barrier() noexcept {
    if (asymmetric())
        std::atomic_signal_fence(std::memory_order_seq_cst);
    else
        full_fence();
}

}  // namespace detail

// Consumer thread: about to wait. Look at the ring once more before waiting.
inline void announce(uint32_t &flag) noexcept {
    std::atomic_ref<uint32_t>(flag).store(1, std::memory_order_relaxed);
    detail::heavy_barrier();
}

// Consumer thread: not waiting (any more). A wake-up already claimed stays
// in flight and is read by a later wait.
inline void withdraw(uint32_t &flag) noexcept {
    std::atomic_ref<uint32_t>(flag).store(0, std::memory_order_relaxed);
}

// Producer thread, after the ring accepted a message: true for the one push
// that must send the wake-up.
inline bool claim(uint32_t &flag) noexcept {
    detail::light_barrier();
    std::atomic_ref<uint32_t> f(flag);
    return f.load(std::memory_order_relaxed) != 0 && f.exchange(0, std::memory_order_relaxed) != 0;
}

// A counter written by one thread and read by any: no read-modify-write.
inline void count(uint64_t &counter) noexcept {
    std::atomic_ref<uint64_t> c(counter);
    c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

inline uint64_t read_count(uint64_t &counter) noexcept {
    return std::atomic_ref<uint64_t>(counter).load(std::memory_order_relaxed);
}

}  // namespace ferry::wake_flag
