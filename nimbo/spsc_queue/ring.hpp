// Lock-free single-producer/single-consumer ring of byte messages.
//
// Plain C++20, no Python: the extension module wraps it, and the native
// stress test and benchmark drive it directly.
//
// Threads. Exactly one producer thread calls the push forms, exactly one
// consumer thread calls the pop forms (and release). close(), pending(),
// closed() and the counters may be called from any thread at any time.
// Which thread may call what is repeated at every public member below.
//
// Layout. One anonymous mapping, reserved at creation and only touched as
// messages pass through it (so a large ring costs no resident memory up
// front), serves both forms; a ring is used in one form only.
//  - fixed slots: P = 2^k slots (P >= capacity, P >= 2 * capacity with
//    overwrite) of [u64 length][slot_size bytes, rounded up to 8].
//  - variable size: a byte ring of PB = 2^k >= 2 * L bytes, L = capacity *
//    slot_size, holding records [u64 length][payload, rounded up to 8]. A
//    record never wraps: when it does not fit before the end of the ring the
//    producer writes a pad record filling the rest. At most L bytes of
//    records (pads not counted) are queued, and any message whose record fits
//    in L bytes is accepted once enough has been read, because a pad is
//    always shorter than the record that caused it and PB >= 2 * L.
//  - without zerocopy, the consumer's copy buffer (room for the largest
//    message) follows in the same mapping: a pop copies the message there
//    and frees its ring space at once.
//
// Indices are free-running 64-bit counters (slots or bytes) masked into the
// ring. The producer owns `head_`, the consumer owns `tail_` (overwrite lets
// the producer advance it too, see below); each side caches the other's index
// and rereads it only when the cached value says full/empty.
//
// Overwrite. Producer and consumer race for the oldest message with a CAS on
// `tail_`: the consumer claims it, the producer drops it. The claimed message
// is still read in place (zerocopy) or copied after the claim, so it must not
// be overwritten: before claiming index t the consumer announces t in
// `hold_`, and the producer never writes an image of anything at or after
// min(hold, tail as it last saw it) one ring length later. The spare half of
// the ring lets the producer keep dropping and accepting while the consumer
// holds a message; only if it laps the held message a whole spare length
// later is the push refused (try forms) or made to wait (block_on_full).
//
// Waking. A side that finds nothing to do spins briefly, then registers as
// waiting, rechecks, and sleeps on an address. The other side checks the flag
// after each publish and makes the wake-up call only when it is set. Each
// side stores (its index, or its waiting flag), then loads what the other
// stores, so both need a store->load barrier between (a Dekker pair). Where
// the process-wide barrier is usable, the side that publishes pays only a
// compiler barrier while the other sleeps rarely; a side that starts to
// sleep switches the pair to fences on both sides (kFenced) with one
// process-wide barrier, which covers pushes or pops that did not see the
// switch yet, and switches back once it has gone kCalm messages without
// sleeping. The mode is a bit of the waiting flag the publishing side reads
// anyway, so a busy ring's publishing side pays what it paid before; a
// consumer that keeps up with its producer and sleeps at every message pays
// a fence per sleep, not a process-wide barrier (~10 us while the other side
// runs).
// A producer waiting for space is woken once a batch of it is free (an
// eighth of the ring), not at every slot freed.
//
// Close. close() sets `closed_`, then waits until no push is in flight before
// setting `final_`; a push that started before close() either completes (and
// its message is delivered) or returns kClosed. The consumer reports kClosed
// only once `final_` is set and everything queued was read, so no message can
// appear after the consumer was told the queue is closed. A pop waiting when
// close() comes first delivers whatever is still queued, then kClosed.
#ifndef NIMBO_SPSC_RING_HPP
#define NIMBO_SPSC_RING_HPP

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>

#include "../platform/barrier.hpp"
#include "../platform/cpu.hpp"
#include "../platform/memory.hpp"
#include "../platform/wait.hpp"

namespace ferry {

// Results (the same values as the public C header's).
enum : int {
    kAccepted = 1,
    kFull = 0,
    kEmpty = 0,
    kTooLarge = -1,
    kClosed = -2,
};

struct RingOptions {
    size_t slot_size = 0;
    size_t capacity = 0;
    bool overwrite = false;
    bool zerocopy = false;
    bool block_on_full = false;
};

namespace ring_detail {

using platform::cpu_relax;
using platform::prefetch;

constexpr uint64_t kPadBit = uint64_t(1) << 63;
constexpr uint64_t kNoHold = ~uint64_t(0);
// Polls before sleeping: ~6-10 us with a 25-40 ns PAUSE. Longer spins did not
// avoid sleeps in measurements (those came from the other side being
// descheduled for whole time slices) and cost a shared core dearly.
constexpr int kSpins = 256;
// Messages without a sleep after which a waiting pair goes back to the
// compiler barrier on its publishing side: one process-wide barrier at the
// next sleep, spread over that many messages.
constexpr uint64_t kCalm = 4096;
// A waiting pair's word: the side waits; the pair is on fences.
constexpr uint32_t kWaits = 1, kFenced = 2;

inline size_t round8(size_t n) noexcept { return (n + 7) & ~size_t(7); }

// memcpy for messages: up to 64 bytes inline with overlapping fixed-size
// moves (no call, no size dispatch), longer ones through the library.
inline void copy_bytes(char *dst, const char *src, size_t n) noexcept {
    if (n > 64) {
        std::memcpy(dst, src, n);
    } else if (n >= 16) {
        if (n > 32) {
            std::memcpy(dst, src, 16);
            std::memcpy(dst + 16, src + 16, 16);
            std::memcpy(dst + n - 32, src + n - 32, 16);
        }
        std::memcpy(dst + n - 16, src + n - 16, 16);
        if (n <= 32) std::memcpy(dst, src, 16);
    } else if (n >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// Smallest power of two >= n, or 0 if it does not fit in 64 bits.
inline uint64_t pow2_at_least(uint64_t n) noexcept {
    if (n <= 1) return 1;
    if (n > (uint64_t(1) << 62)) return 0;
    return std::bit_ceil(n);
}

// a + b and a * b into `out`; false when the result does not fit.
inline bool add_fits(size_t a, size_t b, size_t &out) noexcept {
    out = a + b;
    return out >= a;
}
inline bool mul_fits(size_t a, size_t b, size_t &out) noexcept {
    if (a != 0 && b > SIZE_MAX / a) return false;
    out = a * b;
    return true;
}

inline size_t round_page(size_t n) noexcept {
    const size_t page = 4096;
    return (n + page - 1) & ~(page - 1);
}

// The sizes of one ring's mapping, worked out from its options.
struct Layout {
    size_t stride = 0;      // a fixed slot: header and payload rounded up to 8
    uint64_t slots = 0;     // fixed slots, a power of two
    size_t var_limit = 0;   // variable size: record bytes that may be queued
    uint64_t var_bytes = 0; // variable size: the byte ring, a power of two
    size_t ring_bytes = 0;  // room for the larger form, whole pages
    size_t copy_room = 0;   // the consumer's copy buffer, 0 with zerocopy
    size_t total = 0;       // ring_bytes + copy_room
};

// 0, or EINVAL (a zero size) or ENOMEM (the sizes overflow).
inline int plan_layout(const RingOptions &opt, Layout &out) noexcept {
    if (opt.slot_size == 0 || opt.capacity == 0) return EINVAL;
    size_t fixed_bytes;
    out.slots = pow2_at_least(opt.overwrite ? uint64_t(opt.capacity) * 2 : opt.capacity);
    if (opt.capacity > (size_t(1) << 61) || opt.slot_size > (size_t(1) << 61) || out.slots == 0 ||
        !add_fits(round8(opt.slot_size), 8, out.stride) || !mul_fits(size_t(out.slots), out.stride, fixed_bytes) ||
        !mul_fits(opt.capacity, opt.slot_size, out.var_limit) || out.var_limit > (size_t(1) << 61))
        return ENOMEM;
    out.var_bytes = pow2_at_least(out.var_limit < 8 ? 16 : uint64_t(out.var_limit) * 2);
    if (out.var_bytes == 0) return ENOMEM;
    out.ring_bytes = round_page(fixed_bytes > out.var_bytes ? fixed_bytes : out.var_bytes);
    // Without zerocopy a popped message is copied out: room for the largest.
    out.copy_room = opt.zerocopy ? 0 : round_page(out.var_limit > opt.slot_size ? out.var_limit : opt.slot_size);
    if (!add_fits(out.ring_bytes, out.copy_room, out.total) || out.ring_bytes == 0) return ENOMEM;
    return 0;
}

}  // namespace ring_detail

class SpscRing {
public:
    // Any thread. Returns nullptr and sets `error` to EINVAL (a zero size) or
    // ENOMEM (the sizes overflow or the mapping fails).
    static SpscRing *create(const RingOptions &opt, int &error) noexcept {
        ring_detail::Layout layout;
        error = ring_detail::plan_layout(opt, layout);
        if (error != 0) return nullptr;
        void *mem = platform::reserve_memory(layout.total);
        if (mem == nullptr) {
            error = ENOMEM;
            return nullptr;
        }
        void *self = ::operator new(sizeof(SpscRing), std::align_val_t(alignof(SpscRing)), std::nothrow);
        if (self == nullptr) {
            platform::release_memory(mem, layout.total);
            error = ENOMEM;
            return nullptr;
        }
        return new (self) SpscRing(opt, layout, static_cast<char *>(mem));
    }

    // Any thread, once no other thread uses the ring any more.
    static void destroy(SpscRing *r) noexcept {
        if (r == nullptr) return;
        platform::release_memory(r->base_, r->map_bytes_);
        r->~SpscRing();
        ::operator delete(r, std::align_val_t(alignof(SpscRing)));
    }

    // ---- producer thread only ------------------------------------------------

    // Fixed slot. Waits for space with block_on_full (until close), else the
    // same as try_push.
    int push(const void *data, size_t size) noexcept { return produce(data, size, false, block_); }
    // Fixed slot; never waits.
    int try_push(const void *data, size_t size) noexcept { return produce(data, size, false, false); }
    // Variable size. Waits for space with block_on_full (until close).
    int push_var(const void *data, size_t size) noexcept { return produce(data, size, true, block_); }
    // Variable size; never waits.
    int try_push_var(const void *data, size_t size) noexcept { return produce(data, size, true, false); }

    // ---- consumer thread only ------------------------------------------------

    // Fixed slot; waits for a message. The pointer stays valid until release()
    // (or the consumer's next call). kClosed once closed and drained.
    int pop(const char **data, size_t *size) noexcept { return consume(data, size, false, true); }
    // Ends the message that pop (or a zerocopy try form) handed out, freeing
    // its space for the producer. Harmless when nothing is held.
    void release() noexcept { release_held(); }
    // Fixed slot; never waits. kEmpty when empty, kClosed once closed and
    // drained; the pointer stays valid until the consumer's next call.
    int try_pop(const char **data, size_t *size) noexcept { return consume(data, size, false, false); }
    // Variable size; waits. Valid until the consumer's next call.
    int pop_var(const char **data, size_t *size) noexcept { return consume(data, size, true, true); }
    // Variable size; never waits.
    int try_pop_var(const char **data, size_t *size) noexcept { return consume(data, size, true, false); }

    // ---- any thread ----------------------------------------------------------

    // Refuses further pushes and wakes every waiter. Messages already queued
    // can still be popped. Idempotent; safe concurrently with both sides.
    void close() noexcept {
        using namespace ring_detail;
        closed_.store(1, std::memory_order_seq_cst);
        heavy_barrier();
        // A push that saw the ring open may still be writing: let it finish
        // (or notice the close while waiting for space) before declaring the
        // contents final.
        while (in_push_.load(std::memory_order_acquire) != 0) {
            prod_event_.fetch_add(1, std::memory_order_seq_cst);
            platform::wake_all(prod_event_);
            std::this_thread::yield();
        }
        final_.store(1, std::memory_order_seq_cst);
        prod_event_.fetch_add(1, std::memory_order_seq_cst);
        platform::wake_all(prod_event_);
        cons_event_.fetch_add(1, std::memory_order_seq_cst);
        platform::wake_all(cons_event_);
    }

    bool closed() const noexcept { return closed_.load(std::memory_order_acquire) != 0; }

    // Messages waiting: a snapshot, never negative.
    size_t pending() const noexcept {
        uint64_t out = popped_.load(std::memory_order_acquire) + dropped_.load(std::memory_order_acquire);
        uint64_t in = pushed_.load(std::memory_order_acquire);
        return in > out ? size_t(in - out) : 0;
    }

    uint64_t pushed() const noexcept { return pushed_.load(std::memory_order_relaxed); }
    uint64_t popped() const noexcept { return popped_.load(std::memory_order_relaxed); }
    uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    uint64_t rejected() const noexcept { return rejected_.load(std::memory_order_relaxed); }

    size_t slot_size() const noexcept { return slot_size_; }
    size_t capacity() const noexcept { return capacity_; }
    // Largest message the variable-size forms accept (0 with `var_usable()`
    // false means none does: the byte ring is shorter than one header).
    size_t max_var_message() const noexcept { return var_max_payload_; }
    bool var_usable() const noexcept { return var_usable_; }

private:
    SpscRing(const RingOptions &opt, const ring_detail::Layout &layout, char *mem) noexcept
        : base_(mem),
          copy_buf_(opt.zerocopy ? nullptr : mem + layout.ring_bytes),
          map_bytes_(layout.total),
          slot_size_(opt.slot_size),
          capacity_(opt.capacity),
          stride_(layout.stride),
          slots_(layout.slots),
          slot_mask_(layout.slots - 1),
          var_limit_(layout.var_limit),
          var_bytes_(layout.var_bytes),
          byte_mask_(layout.var_bytes - 1),
          var_max_payload_(layout.var_limit >= 8 ? (layout.var_limit - 8) & ~size_t(7) : 0),
          var_usable_(layout.var_limit >= 8),
          overwrite_(opt.overwrite),
          zerocopy_(opt.zerocopy),
          block_(opt.block_on_full),
          asym_(platform::asymmetric_barriers()) {}

    // ---- barriers ------------------------------------------------------------

    void light_barrier() const noexcept { platform::light_barrier(asym_); }
    void heavy_barrier() const noexcept { platform::heavy_barrier(asym_); }

    // A waiting pair (see Waking at the top). Its word: kWaits while that
    // side waits, kFenced while the pair is on fences, which only the side
    // that waits writes (it keeps its own copy in `fenced`).
    //
    // The publishing side, after its store: the word is read after that
    // store, so a push or pop that reads it before a switch to fences was
    // already visible when the switch's process-wide barrier returned; one
    // that reads kFenced fences and reads again. Then true if the other side
    // waits.
    bool other_waits(const std::atomic<uint32_t> &word) const noexcept {
        light_barrier();
        uint32_t w = word.load(std::memory_order_relaxed);
        if (w == 0) return false;  // a busy pair costs one test
        if (w & ring_detail::kFenced) {
            platform::full_fence();
            w = word.load(std::memory_order_relaxed);
        }
        return (w & ring_detail::kWaits) != 0;
    }
    // Takes the other side's kWaits: true for the one caller that must wake it.
    static bool claim_waiter(std::atomic<uint32_t> &word) noexcept {
        return (word.fetch_and(~ring_detail::kWaits, std::memory_order_seq_cst) & ring_detail::kWaits) != 0;
    }
    // The side about to sleep: announces it, then the barrier. The first
    // sleep after a calm spell switches the pair to fences with one
    // process-wide barrier; later ones pay a fence.
    void announce_wait(std::atomic<uint32_t> &word, bool &fenced) noexcept {
        if (!asym_) {
            word.store(ring_detail::kWaits, std::memory_order_seq_cst);
            platform::full_fence();
        } else if (fenced) {
            word.store(ring_detail::kFenced | ring_detail::kWaits, std::memory_order_release);
            platform::full_fence();
        } else {
            fenced = true;
            word.store(ring_detail::kFenced | ring_detail::kWaits, std::memory_order_release);
            heavy_barrier();
        }
    }
    // Not waiting (any more); the mode stays.
    static void end_wait(std::atomic<uint32_t> &word, bool fenced) noexcept {
        word.store(fenced ? ring_detail::kFenced : 0, std::memory_order_relaxed);
    }
    // The same side, having found work without sleeping: after kCalm messages
    // since its last sleep, the publishing side goes back to a compiler barrier.
    static void calm_down(std::atomic<uint32_t> &word, bool &fenced, uint64_t done, uint64_t slept_at) noexcept {
        if (fenced && done - slept_at > ring_detail::kCalm) {
            fenced = false;
            word.store(0, std::memory_order_relaxed);
        }
    }

    // ---- memory --------------------------------------------------------------

    // Headers are accessed atomically: with overwrite the consumer reads one
    // before its claim, concurrently with the producer's drop reading it.
    static uint64_t load_header(const char *p) noexcept {
        return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t *>(const_cast<char *>(p)))
            .load(std::memory_order_relaxed);
    }
    static void store_header(char *p, uint64_t v) noexcept {
        std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t *>(p)).store(v, std::memory_order_relaxed);
    }
    char *slot_at(uint64_t index) const noexcept { return base_ + size_t(index & slot_mask_) * stride_; }
    // Slots far apart each start on cold lines, one miss (or two) per message
    // when messages come slower than the hardware prefetcher follows: ask for
    // the next slot's first two lines ahead of time.
    bool far_slots() const noexcept { return stride_ >= 256; }  // neighbours share no line
    void prefetch_slot(uint64_t index) const noexcept {
        const char *p = slot_at(index);
        ring_detail::prefetch(p);
        ring_detail::prefetch(p + 64);
    }
    char *byte_at(uint64_t pos) const noexcept { return base_ + size_t(pos & byte_mask_); }
    static size_t record_size(uint64_t header) noexcept {
        return (header & ring_detail::kPadBit) ? size_t(header & ~ring_detail::kPadBit)
                                               : 8 + ring_detail::round8(size_t(header));
    }

    static void bump(std::atomic<uint64_t> &counter) noexcept {
        counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    // ---- producer side -------------------------------------------------------

    int produce(const void *data, size_t size, bool var, bool wait) noexcept {
        in_push_.store(1, std::memory_order_relaxed);
        light_barrier();
        int r;
        if (closed_.load(std::memory_order_relaxed) != 0) {
            r = kClosed;
        } else {
            r = var ? push_var_once(data, size) : push_fixed_once(data, size);
            if (r == kFull && wait) r = wait_for_space(data, size, var);
        }
        in_push_.store(0, std::memory_order_release);
        if (r == kAccepted) {
            if (other_waits(cons_waiting_)) wake_consumer();
        } else {
            bump(rejected_);
        }
        return r;
    }

    // Overwrite: lowest index (slot or byte) the consumer may be reading or
    // about to read. Must be read tail first, then hold (see the header).
    void refresh_bound() noexcept {
        uint64_t t = tail_.load(std::memory_order_seq_cst);
        uint64_t h = hold_.load(std::memory_order_seq_cst);
        p_tail_cache_ = t;
        p_bound_ = (h == ring_detail::kNoHold || h > t) ? t : h;
    }

    int push_fixed_once(const void *data, size_t size) noexcept {
        if (size > slot_size_) return kTooLarge;
        uint64_t h = p_head_;
        if (!overwrite_) {
            if (h - p_tail_cache_ >= capacity_) {
                p_tail_cache_ = tail_.load(std::memory_order_acquire);
                if (h - p_tail_cache_ >= capacity_) return kFull;
            }
        } else {
            if (h - p_bound_ >= slots_) {
                refresh_bound();
                if (h - p_bound_ >= slots_) return kFull;  // laps the held message
            }
            while (h - p_tail_cache_ >= capacity_) {
                uint64_t t = tail_.load(std::memory_order_acquire);
                if (h - t >= capacity_ &&
                    tail_.compare_exchange_strong(t, t + 1, std::memory_order_acq_rel,
                                                  std::memory_order_acquire)) {
                    bump(dropped_);
                    t += 1;
                }
                p_tail_cache_ = t;
            }
        }
        char *slot = slot_at(h);
        store_header(slot, size);
        ring_detail::copy_bytes(slot + 8, static_cast<const char *>(data), size);
        bump(pushed_);  // before the message is visible: pending() never goes negative
        head_.store(h + 1, std::memory_order_release);
        p_head_ = h + 1;
        if (far_slots()) prefetch_slot(h + 1);
        return kAccepted;
    }

    // Record bytes queued between t and h, not counting the pad (at most one
    // can lie in that window).
    uint64_t used_bytes(uint64_t h, uint64_t t) const noexcept {
        return h - t - ((p_pad_len_ != 0 && t <= p_pad_pos_) ? p_pad_len_ : 0);
    }

    int push_var_once(const void *data, size_t size) noexcept {
        if (!var_usable_ || size > var_max_payload_) return kTooLarge;
        const uint64_t rec = 8 + ring_detail::round8(size);
        const uint64_t h = p_head_;
        const uint64_t room = var_bytes_ - (h & byte_mask_);
        const uint64_t pad = room < rec ? room : 0;
        if (!overwrite_) {
            if (used_bytes(h, p_tail_cache_) + rec > var_limit_) {
                p_tail_cache_ = tail_.load(std::memory_order_acquire);
                if (used_bytes(h, p_tail_cache_) + rec > var_limit_) return kFull;
            }
        } else {
            if (h + pad + rec - p_bound_ > var_bytes_) {
                refresh_bound();
                if (h + pad + rec - p_bound_ > var_bytes_) return kFull;  // laps the held record
            }
            while (used_bytes(h, p_tail_cache_) + rec > var_limit_) {
                uint64_t t = tail_.load(std::memory_order_acquire);
                if (used_bytes(h, t) + rec > var_limit_) {
                    uint64_t hdr = load_header(byte_at(t));
                    if (tail_.compare_exchange_strong(t, t + record_size(hdr), std::memory_order_seq_cst,
                                                      std::memory_order_acquire)) {
                        if (!(hdr & ring_detail::kPadBit)) bump(dropped_);
                        t += record_size(hdr);
                    }
                }
                p_tail_cache_ = t;
            }
        }
        uint64_t pos = h;
        if (pad) {
            store_header(byte_at(pos), ring_detail::kPadBit | pad);
            p_pad_pos_ = pos;
            p_pad_len_ = pad;
            pos += pad;
        }
        char *p = byte_at(pos);
        store_header(p, size);
        ring_detail::copy_bytes(p + 8, static_cast<const char *>(data), size);
        bump(pushed_);
        head_.store(pos + rec, std::memory_order_release);
        p_head_ = pos + rec;
        return kAccepted;
    }

    int wait_for_space(const void *data, size_t size, bool var) noexcept {
        using namespace ring_detail;
        for (;;) {
            for (int i = 0; i < kSpins; ++i) {
                cpu_relax();
                if (closed_.load(std::memory_order_relaxed) != 0) return kClosed;
                int r = var ? push_var_once(data, size) : push_fixed_once(data, size);
                if (r != kFull) {
                    calm_down(prod_waiting_, p_fenced_, pushed_.load(std::memory_order_relaxed), p_slept_at_);
                    return r;
                }
            }
            uint32_t seen = prod_event_.load(std::memory_order_seq_cst);
            space_wanted_.store(space_target(size, var), std::memory_order_relaxed);
            announce_wait(prod_waiting_, p_fenced_);
            p_slept_at_ = pushed_.load(std::memory_order_relaxed);
            if (closed_.load(std::memory_order_seq_cst) != 0) {
                end_wait(prod_waiting_, p_fenced_);
                return kClosed;
            }
            int r = var ? push_var_once(data, size) : push_fixed_once(data, size);
            if (r != kFull) {
                end_wait(prod_waiting_, p_fenced_);
                return r;
            }
            platform::wait_while_equal(prod_event_, seen);
            end_wait(prod_waiting_, p_fenced_);
        }
    }

    // The consumer's tail at which a batch of space is free for the waiting
    // producer (no more than what is queued, so the consumer gets there by
    // draining). With overwrite, any progress: there the push waits only for
    // the held message.
    uint64_t space_target(size_t size, bool var) const noexcept {
        if (overwrite_) return 0;
        uint64_t t = p_tail_cache_, queued = p_head_ - t;
        uint64_t want = var ? uint64_t(var_limit_ / 8) : uint64_t(capacity_ / 8);
        if (var) {
            uint64_t need = used_bytes(p_head_, t) + 8 + ring_detail::round8(size);
            need = need > var_limit_ ? need - var_limit_ : 1;
            if (want < need) want = need;
        }
        if (want < 1) want = 1;
        return t + (want < queued ? want : queued);
    }

    // The tail the waiting producer asked for, stored before its word
    // (release): read after an acquire load of that word.
    uint64_t wanted_tail() const noexcept {
        (void)prod_waiting_.load(std::memory_order_acquire);
        return space_wanted_.load(std::memory_order_relaxed);
    }

    void wake_consumer() noexcept {
        if (claim_waiter(cons_waiting_)) {
            cons_event_.fetch_add(1, std::memory_order_seq_cst);
            platform::wake_one(cons_event_);
        }
    }

    // ---- consumer side -------------------------------------------------------

    // After the consumer frees space: wake a producer waiting for it.
    void consumer_progress() noexcept {
        if (!block_) return;  // only push/push_var with block_on_full wait
        if (other_waits(prod_waiting_) &&
            (overwrite_ || c_tail_ >= wanted_tail()) &&
            claim_waiter(prod_waiting_)) {
            prod_event_.fetch_add(1, std::memory_order_seq_cst);
            platform::wake_one(prod_event_);
        }
    }

    void release_held() noexcept {
        if (!c_holding_) return;
        c_holding_ = false;
        if (overwrite_)
            hold_.store(ring_detail::kNoHold, std::memory_order_release);
        else
            tail_.store(c_tail_, std::memory_order_release);
        consumer_progress();
    }

    // Nothing to read at `t`: kClosed once close() finished and nothing
    // arrived meanwhile, else kEmpty. Refreshes the cached head.
    int nothing_at(uint64_t t) noexcept {
        if (final_.load(std::memory_order_acquire) != 0) {
            c_head_cache_ = head_.load(std::memory_order_acquire);
            if (t >= c_head_cache_) return kClosed;
            return 1;  // a message arrived before the close: read it
        }
        return kEmpty;
    }

    int consume(const char **data, size_t *size, bool var, bool wait) noexcept {
        int r = pop_once(data, size, var);
        if (r == kEmpty && wait) r = wait_for_data(data, size, var);
        if (r == kAccepted) bump(popped_);
        return r;
    }

    int pop_once(const char **data, size_t *size, bool var) noexcept {
        return overwrite_ ? (var ? pop_overwrite<true>(data, size) : pop_overwrite<false>(data, size))
                          : (var ? pop_var_plain(data, size) : pop_fixed_plain(data, size));
    }

    int wait_for_data(const char **data, size_t *size, bool var) noexcept {
        using namespace ring_detail;
        for (;;) {
            for (int i = 0; i < kSpins; ++i) {
                cpu_relax();
                int r = pop_once(data, size, var);
                if (r != kEmpty) {
                    calm_down(cons_waiting_, c_fenced_, popped_.load(std::memory_order_relaxed), c_slept_at_);
                    return r;
                }
            }
            uint32_t seen = cons_event_.load(std::memory_order_seq_cst);
            announce_wait(cons_waiting_, c_fenced_);
            c_slept_at_ = popped_.load(std::memory_order_relaxed);
            int r = pop_once(data, size, var);
            if (r != kEmpty) {
                end_wait(cons_waiting_, c_fenced_);
                return r;
            }
            platform::wait_while_equal(cons_event_, seen);
            end_wait(cons_waiting_, c_fenced_);
        }
    }

    // Hands out the message at `src`: in place (held until the next call) or
    // copied out, freeing its space at once.
    void deliver(const char *src, size_t len, uint64_t next, const char **data, size_t *size) noexcept {
        *size = len;
        if (zerocopy_) {
            *data = src;
            c_holding_ = true;
            if (!overwrite_) c_tail_ = next;
            return;
        }
        ring_detail::copy_bytes(copy_buf_, src, len);
        *data = copy_buf_;
        if (overwrite_) {
            hold_.store(ring_detail::kNoHold, std::memory_order_release);
        } else {
            c_tail_ = next;
            tail_.store(next, std::memory_order_release);
        }
        consumer_progress();
    }

    // Without overwrite: kAccepted when a message is published at `t` (the
    // consumer's own tail), else what nothing_at() says.
    int published_at(uint64_t t) noexcept {
        if (t != c_head_cache_) return kAccepted;
        c_head_cache_ = head_.load(std::memory_order_acquire);
        if (t != c_head_cache_) return kAccepted;
        return nothing_at(t);
    }

    int pop_fixed_plain(const char **data, size_t *size) noexcept {
        release_held();
        const uint64_t t = c_tail_;
        if (int r = published_at(t); r != kAccepted) return r;
        const char *slot = slot_at(t);
        deliver(slot + 8, size_t(load_header(slot)), t + 1, data, size);
        // Only a published slot: reading one still being written would pull
        // its lines away from the producer.
        if (far_slots() && t + 1 != c_head_cache_) prefetch_slot(t + 1);
        return kAccepted;
    }

    int pop_var_plain(const char **data, size_t *size) noexcept {
        release_held();
        uint64_t t = c_tail_;
        if (int r = published_at(t); r != kAccepted) return r;
        uint64_t hdr = load_header(byte_at(t));
        if (hdr & ring_detail::kPadBit) {
            // A pad is published together with the record after it.
            t += hdr & ~ring_detail::kPadBit;
            hdr = load_header(byte_at(t));
        }
        deliver(byte_at(t) + 8, size_t(hdr), t + record_size(hdr), data, size);
        return kAccepted;
    }

    // Overwrite: a claim that lost to the producer leaves its announcement in
    // hold_; withdraw it when giving up, or it would fence the producer off.
    void unannounce(bool announced) noexcept {
        if (!announced) return;
        hold_.store(ring_detail::kNoHold, std::memory_order_release);
        consumer_progress();
    }

    // Overwrite: announce, then claim the oldest message (fixed slot or
    // variable-size record) with a CAS on tail_.
    template <bool Var>
    int pop_overwrite(const char **data, size_t *size) noexcept {
        release_held();
        bool announced = false;
        uint64_t t = tail_.load(std::memory_order_acquire);
        for (;;) {  // a failed claim leaves the current tail in t
            if (t >= c_head_cache_) {
                c_head_cache_ = head_.load(std::memory_order_acquire);
                if (t >= c_head_cache_) {
                    int r = nothing_at(t);
                    if (r != 1) {
                        unannounce(announced);
                        return r;
                    }
                    continue;
                }
            }
            // Announce, then make sure t is still unclaimed before touching
            // the ring: a producer that dropped t may already be writing
            // over it, and records of different laps do not line up. Both
            // seq_cst, against refresh_bound()'s seq_cst reads of tail_ then
            // hold_: either the producer sees the hold, or this load sees
            // its drop. Fixed slots line up across laps and would not need
            // the second look; both forms take it so that one ordering
            // argument covers both, for one more load of tail_ by the
            // consumer (the producer's path is unchanged).
            announced = true;
            hold_.store(t, std::memory_order_seq_cst);
            uint64_t now = tail_.load(std::memory_order_seq_cst);
            if (now != t) {
                t = now;
                continue;
            }
            const char *at = Var ? byte_at(t) : slot_at(t);
            uint64_t hdr = load_header(at);
            uint64_t next = Var ? t + record_size(hdr) : t + 1;
            if (tail_.compare_exchange_strong(t, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
                if (Var && (hdr & ring_detail::kPadBit)) {  // claimed a pad: the record follows
                    t = next;
                    continue;
                }
                deliver(at + 8, size_t(hdr), next, data, size);
                return kAccepted;
            }
        }
    }

    // ---- state ---------------------------------------------------------------

    // Read-only after create().
    alignas(128) char *base_ = nullptr;
    char *copy_buf_ = nullptr;
    size_t map_bytes_ = 0;
    size_t slot_size_ = 0, capacity_ = 0, stride_ = 0;
    uint64_t slots_ = 0, slot_mask_ = 0;
    size_t var_limit_ = 0;
    uint64_t var_bytes_ = 0, byte_mask_ = 0;
    size_t var_max_payload_ = 0;
    bool var_usable_ = false;
    bool overwrite_ = false, zerocopy_ = false, block_ = false, asym_ = false;

    // Producer's own line.
    alignas(128) uint64_t p_head_ = 0;
    uint64_t p_tail_cache_ = 0;
    uint64_t p_bound_ = 0;
    uint64_t p_pad_pos_ = 0, p_pad_len_ = 0;
    uint64_t p_slept_at_ = 0;  // pushed_ at the producer's last sleep
    bool p_fenced_ = false;    // prod_waiting_'s kFenced
    std::atomic<uint64_t> pushed_{0}, rejected_{0}, dropped_{0};
    std::atomic<uint32_t> in_push_{0};

    // Consumer's own line.
    alignas(128) uint64_t c_tail_ = 0;
    uint64_t c_head_cache_ = 0;
    bool c_holding_ = false;
    uint64_t c_slept_at_ = 0;  // popped_ at the consumer's last sleep
    bool c_fenced_ = false;    // cons_waiting_'s kFenced
    std::atomic<uint64_t> popped_{0};

    alignas(128) std::atomic<uint64_t> head_{0};
    alignas(128) std::atomic<uint64_t> tail_{0};
    alignas(128) std::atomic<uint64_t> hold_{ring_detail::kNoHold};

    // Read on every operation, written rarely.
    alignas(128) std::atomic<uint32_t> closed_{0};
    std::atomic<uint32_t> final_{0};
    // The waiting pairs' words (kWaits, kFenced), each written by the side
    // that waits; the other side only takes kWaits.
    std::atomic<uint32_t> cons_waiting_{0};
    std::atomic<uint32_t> prod_waiting_{0};
    std::atomic<uint64_t> space_wanted_{0};  // consumer tail that frees a batch for the waiting producer

    // Words the sides sleep on, written on wake-ups only.
    alignas(128) std::atomic<uint32_t> cons_event_{0};
    std::atomic<uint32_t> prod_event_{0};
};

}  // namespace ferry

#endif
