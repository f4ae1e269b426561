// The flag through which a consumer asks for a wake-up: it announces that it
// is about to wait, and the next producer that finds the announcement clears
// it and sends the one wake-up. Plain C++, no Python: the dispatchers and the
// native protocol model (tests/ring/wake_model.cpp) share it.
//
//   consumer, finding the ring empty:  announce, then look again;
//       a message -> withdraw and deliver it;
//       still empty -> wait for one wake-up, then withdraw.
//   producer, after the ring accepted a message:
//       if (claim(flag)) send one wake-up.
//
// No wake-up is lost. Each side stores, then loads what the other stores
// (the consumer the flag then the ring's head, the producer the head then
// the flag), with a seq_cst fence between on both sides; the fences are
// totally ordered, so whichever comes second sees the other side's store:
// the consumer's second look finds the message, or the producer finds the
// announcement and sends. Claim and withdraw are exchanges, so exactly one
// of them takes an announcement: one datagram at most per announcement.
//
// Cost. One fence per coalesced push and one per announcement; nothing on
// the datagram-per-message push, whose consumer may announce at every
// message. A process-wide barrier on the announcing side would spare the
// producer its fence, but it costs ~10 us whenever the producer runs on
// another CPU, and a consumer that keeps up announces once per message.
//
// Leftovers. A consumer whose second look finds a message withdraws; if a
// producer claimed the announcement first, its datagram is due anyway. The
// consumer reads it without waiting before it announces again (or, not yet
// arrived, waits for it instead of announcing), so a leftover never costs a
// wait that finds nothing.
#pragma once
#include <atomic>
#include <cstdint>
#include "../../../platform/barrier.hpp"

namespace ferry::lockfree::wake_flag {

// A counter written by one thread and read by any: no read-modify-write.
inline void count(uint64_t &counter) noexcept {
    std::atomic_ref<uint64_t> c(counter);
    c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Consumer thread: about to wait. Look at the ring once more before waiting.
inline void announce(uint32_t &flag) noexcept {
    std::atomic_ref<uint32_t>(flag).store(1, std::memory_order_relaxed);
    platform::full_fence();
}

// Consumer thread: not waiting (any more). False when a producer claimed the
// announcement first: its wake-up is on its way.
inline bool withdraw(uint32_t &flag) noexcept {
    std::atomic_ref<uint32_t> f(flag);
    return f.load(std::memory_order_relaxed) != 0 && f.exchange(0, std::memory_order_relaxed) != 0;
}

// Producer thread, after the ring accepted a message: true for the one push
// that must send the wake-up.
inline bool claim(uint32_t &flag) noexcept {
    platform::full_fence();
    std::atomic_ref<uint32_t> f(flag);
    return f.load(std::memory_order_relaxed) != 0 && f.exchange(0, std::memory_order_relaxed) != 0;
}

// The consumer's side of the protocol, one per consumer. `Fields` holds the
// flag and the counters, named as in the dispatcher instances:
//   _waiting           the flag;
//   _announcements     times the consumer found the ring empty and announced;
//   _sleeps            waits for a wake-up (at most one per announcement);
//   _leftovers         announcements claimed by a producer after the second
//                      look found a message (a datagram not waited for);
//   _spurious_wakeups  waits after which the ring was still empty.
template <class Fields>
class Sleeper {
public:
    // The ring was found empty. `pop()` looks again (1: a message, which the
    // caller delivers); `read_due()` reads one wake-up without waiting (true
    // if one was there). True: a message; false: wait for one wake-up, then
    // call after_wait().
    template <class Pop, class ReadDue>
    bool before_wait(Fields &f, Pop &&pop, ReadDue &&read_due) noexcept {
        if (due_) {
            if (!read_due()) {
                // Still on its way: it will end this wait, announced or not.
                announced_ = false;
                count(f._sleeps);
                return false;
            }
            due_ = false;
        }
        announce(f._waiting);
        count(f._announcements);
        if (pop() == 1) {
            if (!withdraw(f._waiting)) {
                due_ = true;
                count(f._leftovers);
            }
            return true;
        }
        announced_ = true;
        count(f._sleeps);
        return false;
    }

    // The wait ended: withdraws, then looks again, counting a wait that
    // finds nothing. Returns the pop's result. The wake-up read was the due
    // one, or the one claiming this announcement (or the datagram of a
    // per-message push or of close).
    template <class Pop>
    int after_wait(Fields &f, Pop &&pop) noexcept {
        if (announced_) (void)withdraw(f._waiting);
        announced_ = false;
        due_ = false;
        int r = pop();
        if (r != 1) count(f._spurious_wakeups);
        return r;
    }

private:
    bool announced_ = false;
    bool due_ = false;
};

}  // namespace ferry::lockfree::wake_flag
