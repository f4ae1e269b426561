// Native stress test of the ring core: one producer and one consumer thread
// push millions of self-describing messages (sequence number, length, check
// word, payload derived from the sequence number) through every mode, and
// the consumer verifies each one. A few single-threaded checks of the edge
// semantics come first.
//
// Usage: stress [scale]   (or RING_STRESS_SCALE=...): multiplies the message
// counts; the sanitizer builds run with a smaller scale.
#include "ring.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using ferry::RingOptions;
using ferry::SpscRing;
using Clock = std::chrono::steady_clock;

namespace {

int g_passed = 0, g_failed = 0;
double g_scale = 1.0;
std::atomic<int64_t> g_deadline_ms{0};  // watchdog: a hang (lost wake-up) fails the run
std::atomic<const char *> g_current{""};

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

void watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int64_t d = g_deadline_ms.load();
        if (d != 0 && now_ms() > d) {
            std::printf("FAIL %s: still running past its deadline (lost wake-up?)\n", g_current.load());
            std::printf("ring stress: %d passed, %d failed\n", g_passed, g_failed + 1);
            std::fflush(stdout);
            std::_Exit(1);
        }
    }
}

void report(const std::string &name, const std::string &error, const char *detail = "") {
    if (error.empty()) {
        ++g_passed;
        std::printf("ok   %s%s\n", name.c_str(), detail);
    } else {
        ++g_failed;
        std::printf("FAIL %s: %s\n", name.c_str(), error.c_str());
    }
    std::fflush(stdout);
}

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct MsgHeader {
    uint64_t seq;
    uint32_t len;
    uint32_t check;
};
constexpr size_t kMinMsg = sizeof(MsgHeader);

// Builds message `seq` of `len` bytes (len >= kMinMsg) into buf.
void build(char *buf, uint64_t seq, size_t len) {
    MsgHeader h{seq, uint32_t(len), uint32_t(mix(seq ^ (uint64_t(len) << 40)))};
    std::memcpy(buf, &h, sizeof h);
    size_t i = sizeof h;
    uint64_t w = mix(seq);
    for (; i + 8 <= len; i += 8, w += 0x632BE59BD9B4E019ull) std::memcpy(buf + i, &w, 8);
    if (i < len) std::memcpy(buf + i, &w, len - i);
}

// Checks a delivered message; returns its sequence number or -1 (and sets why).
int64_t verify(const char *p, size_t size, std::string &why) {
    if (size < kMinMsg) {
        why = "short message of " + std::to_string(size) + " bytes";
        return -1;
    }
    MsgHeader h;
    std::memcpy(&h, p, sizeof h);
    if (h.len != size || h.check != uint32_t(mix(h.seq ^ (uint64_t(h.len) << 40)))) {
        why = "bad header (seq " + std::to_string(h.seq) + ", len " + std::to_string(h.len) + ", got " +
              std::to_string(size) + " bytes)";
        return -1;
    }
    size_t i = sizeof h;
    uint64_t w = mix(h.seq);
    for (; i + 8 <= size; i += 8, w += 0x632BE59BD9B4E019ull)
        if (std::memcmp(p + i, &w, 8) != 0) {
            why = "torn payload in message " + std::to_string(h.seq);
            return -1;
        }
    if (i < size && std::memcmp(p + i, &w, size - i) != 0) {
        why = "torn payload tail in message " + std::to_string(h.seq);
        return -1;
    }
    return int64_t(h.seq);
}

void backoff(unsigned &fails) {
    if (++fails < 64)
        ferry::ring_detail::cpu_relax();
    else
        std::this_thread::yield();
}

void spin_for_ns(int64_t ns) {
    auto end = Clock::now() + std::chrono::nanoseconds(ns);
    while (Clock::now() < end) ferry::ring_detail::cpu_relax();
}

struct Scenario {
    const char *name;
    bool var;
    bool overwrite, zerocopy, block_on_full;
    bool blocking_push, blocking_pop;
    size_t slot_size, capacity;
    uint64_t count;       // messages the producer tries to send (before scaling)
    size_t max_len;       // largest message (var: occasionally up to the ring's maximum)
    bool close_midway;    // a third thread closes when the consumer is halfway
    int hold_every;       // consumer keeps every n-th message a while before letting go (0: never)
    int64_t hold_ns;
    int pause_every;      // consumer pauses every n-th message (fills the ring)
    int64_t pause_ns;
};

struct Stats {
    uint64_t dropped = 0, refused = 0;
};

std::string run_scenario(const Scenario &s, uint64_t &moved, Stats &stats) {
    RingOptions opt;
    opt.slot_size = s.slot_size;
    opt.capacity = s.capacity;
    opt.overwrite = s.overwrite;
    opt.zerocopy = s.zerocopy;
    opt.block_on_full = s.block_on_full;
    int err = 0;
    SpscRing *ring = SpscRing::create(opt, err);
    if (!ring) return "create failed: " + std::to_string(err);

    const uint64_t count = std::max<uint64_t>(1000, uint64_t(double(s.count) * g_scale));
    // A producer that is to be stopped by close keeps pushing until then: a
    // closer scheduled late (a loaded machine, Wine's coarse sleeps) must not
    // find the run already over.
    const uint64_t limit = s.close_midway ? count * 100 : count;
    const size_t big = s.var ? ring->max_var_message() : s.slot_size;
    std::atomic<uint64_t> received{0}, sent{0};
    std::string prod_err, cons_err;
    uint64_t accepted = 0, refused = 0;

    std::thread producer([&] {
        std::vector<char> buf(std::max(big, s.max_len) + 8);
        unsigned fails = 0;
        for (uint64_t seq = 0; seq < limit; ++seq) {
            uint64_t r = mix(seq * 7 + 1);
            size_t len = kMinMsg + size_t(r % (s.max_len - kMinMsg + 1));
            if (s.var && (r >> 40) % 509 == 0) len = big;  // now and then the largest that fits
            build(buf.data(), seq, len);
            for (;;) {
                int rc = s.var ? (s.blocking_push ? ring->push_var(buf.data(), len)
                                                  : ring->try_push_var(buf.data(), len))
                               : (s.blocking_push ? ring->push(buf.data(), len) : ring->try_push(buf.data(), len));
                if (rc == ferry::kAccepted) {
                    ++accepted;
                    sent.store(accepted, std::memory_order_relaxed);
                    fails = 0;
                    break;
                }
                ++refused;
                if (rc == ferry::kClosed) {
                    if (!s.close_midway) prod_err = "push refused as closed";
                    ring->close();
                    return;
                }
                if (rc != ferry::kFull) {
                    prod_err = "push returned " + std::to_string(rc) + " for " + std::to_string(len) + " bytes";
                    ring->close();
                    return;
                }
                if (s.blocking_push && s.block_on_full) {
                    prod_err = "waiting push returned full";
                    ring->close();
                    return;
                }
                backoff(fails);
            }
        }
        ring->close();
    });

    std::thread consumer([&] {
        int64_t last = -1;
        unsigned fails = 0;
        uint64_t n = 0;
        for (;;) {
            const char *p = nullptr;
            size_t size = 0;
            int rc = s.var ? (s.blocking_pop ? ring->pop_var(&p, &size) : ring->try_pop_var(&p, &size))
                           : (s.blocking_pop ? ring->pop(&p, &size) : ring->try_pop(&p, &size));
            if (rc == ferry::kClosed) break;
            if (rc == ferry::kEmpty) {
                if (s.blocking_pop) {
                    cons_err = "waiting pop returned empty";
                    break;
                }
                backoff(fails);
                continue;
            }
            if (rc != ferry::kAccepted) {
                cons_err = "pop returned " + std::to_string(rc);
                break;
            }
            fails = 0;
            int64_t seq = verify(p, size, cons_err);
            if (seq < 0) break;
            if (s.overwrite ? seq <= last : seq != last + 1) {
                cons_err = "message " + std::to_string(seq) + " after " + std::to_string(last);
                break;
            }
            last = seq;
            ++n;
            // Keep the message a while: it must stay intact however far the
            // producer runs meanwhile (zerocopy: in the ring; else: in the
            // copy buffer).
            if (s.hold_every && n % s.hold_every == 0) {
                spin_for_ns(s.hold_ns);
                if (verify(p, size, cons_err) != seq) {
                    cons_err = "held message changed: " + cons_err;
                    break;
                }
            }
            if (!s.var && s.blocking_pop) ring->release();
            received.store(n, std::memory_order_relaxed);
            if (s.pause_every && n % s.pause_every == 0) spin_for_ns(s.pause_ns);
        }
        received.store(n, std::memory_order_relaxed);
        ring->release();
    });

    std::thread closer;
    if (s.close_midway) {
        closer = std::thread([&] {
            // Halfway through the producer's run (with overwrite the consumer
            // may see far fewer).
            while (sent.load(std::memory_order_relaxed) < count / 2) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            ring->close();
            ring->close();
        });
    }
    producer.join();
    consumer.join();
    if (closer.joinable()) closer.join();

    std::string error = !prod_err.empty() ? "producer: " + prod_err : !cons_err.empty() ? "consumer: " + cons_err : "";
    uint64_t got = received.load();
    if (error.empty()) {
        if (!s.overwrite && got != accepted)
            error = "received " + std::to_string(got) + " of " + std::to_string(accepted) + " accepted";
        else if (s.overwrite && got + ring->dropped() != accepted)
            error = "received " + std::to_string(got) + " + dropped " + std::to_string(ring->dropped()) +
                    " != accepted " + std::to_string(accepted);
        else if (!s.close_midway && accepted != count)
            error = "only " + std::to_string(accepted) + " accepted";
        else if (s.close_midway && accepted >= limit)
            error = "close did not stop the producer";
        else if (ring->pushed() != accepted || ring->popped() != got || ring->rejected() != refused)
            error = "counters pushed/popped/rejected " + std::to_string(ring->pushed()) + "/" +
                    std::to_string(ring->popped()) + "/" + std::to_string(ring->rejected()) + " expected " +
                    std::to_string(accepted) + "/" + std::to_string(got) + "/" + std::to_string(refused);
        else if (ring->pending() != 0)
            error = "pending " + std::to_string(ring->pending()) + " after draining";
    }
    moved += accepted;
    stats.dropped = ring->dropped();
    stats.refused = refused;
    SpscRing::destroy(ring);
    return error;
}

// ---- single-threaded edge checks ------------------------------------------

SpscRing *make(size_t slot, size_t cap, bool overwrite = false, bool zerocopy = false, bool block = false) {
    RingOptions o;
    o.slot_size = slot;
    o.capacity = cap;
    o.overwrite = overwrite;
    o.zerocopy = zerocopy;
    o.block_on_full = block;
    int err = 0;
    SpscRing *r = SpscRing::create(o, err);
    if (!r) {
        std::printf("cannot create ring %zu x %zu: %d\n", slot, cap, err);
        std::exit(1);
    }
    return r;
}

#define EXPECT(cond)                                                                  \
    do {                                                                              \
        if (!(cond)) return std::string("line ") + std::to_string(__LINE__) + ": " #cond; \
    } while (0)

std::string check_create_errors() {
    RingOptions o;
    int err = 0;
    o.slot_size = 0;
    o.capacity = 4;
    EXPECT(SpscRing::create(o, err) == nullptr && err == EINVAL);
    o.slot_size = 4;
    o.capacity = 0;
    EXPECT(SpscRing::create(o, err) == nullptr && err == EINVAL);
    o.slot_size = size_t(1) << 40;
    o.capacity = size_t(1) << 40;
    EXPECT(SpscRing::create(o, err) == nullptr && err == ENOMEM);
    o.slot_size = SIZE_MAX;
    o.capacity = 1;
    EXPECT(SpscRing::create(o, err) == nullptr && err == ENOMEM);
    o.slot_size = 1;
    o.capacity = SIZE_MAX / 2;
    EXPECT(SpscRing::create(o, err) == nullptr && err == ENOMEM);
    return "";
}

std::string check_fixed_limits() {
    SpscRing *r = make(32, 5);  // not a power of two: the limit is still 5
    char buf[64] = {};
    const char *p;
    size_t n;
    EXPECT(r->try_pop(&p, &n) == ferry::kEmpty);
    EXPECT(r->try_push(buf, 33) == ferry::kTooLarge);
    for (int i = 0; i < 5; ++i) {
        buf[0] = char(i);
        EXPECT(r->try_push(buf, 32 - i) == ferry::kAccepted);
    }
    EXPECT(r->try_push(buf, 1) == ferry::kFull);
    EXPECT(r->push(buf, 1) == ferry::kFull);  // no block_on_full: does not wait
    EXPECT(r->pending() == 5);
    EXPECT(r->try_pop(&p, &n) == 1 && n == 32 && p[0] == 0);
    EXPECT(r->try_push(buf, 0) == ferry::kAccepted);  // the popped slot is free again
    EXPECT(r->rejected() == 3 && r->pushed() == 6 && r->popped() == 1);
    r->close();
    EXPECT(r->try_push(buf, 1) == ferry::kClosed);
    for (int i = 1; i < 5; ++i) EXPECT(r->try_pop(&p, &n) == 1 && n == size_t(32 - i) && p[0] == i);
    EXPECT(r->pop(&p, &n) == 1 && n == 0);  // queued before the close
    EXPECT(r->try_pop(&p, &n) == ferry::kClosed);
    EXPECT(r->pop(&p, &n) == ferry::kClosed);
    r->close();
    EXPECT(r->pending() == 0 && r->rejected() == 4);
    SpscRing::destroy(r);
    return "";
}

std::string check_var_limits() {
    // 4 x 16 = 64 bytes: four 8-byte messages (16-byte records).
    SpscRing *r = make(16, 4);
    char buf[64] = {};
    const char *p;
    size_t n;
    EXPECT(r->max_var_message() == 56);
    EXPECT(r->try_push_var(buf, 57) == ferry::kTooLarge);
    for (int i = 0; i < 4; ++i) EXPECT(r->try_push_var(buf, 8) == ferry::kAccepted);
    EXPECT(r->try_push_var(buf, 1) == ferry::kFull);
    for (int i = 0; i < 4; ++i) EXPECT(r->try_pop_var(&p, &n) == 1 && n == 8);
    EXPECT(r->try_pop_var(&p, &n) == ferry::kEmpty);
    SpscRing::destroy(r);

    // The largest message fits an empty ring wherever the previous one ended.
    for (bool zc : {false, true}) {
        r = make(100, 10, false, zc);  // 1000 bytes
        std::vector<char> big(r->max_var_message());
        for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 13);
        for (size_t step = 0; step < 300; ++step) {
            EXPECT(r->try_push_var(buf, step % 41) == ferry::kAccepted);
            EXPECT(r->try_pop_var(&p, &n) == 1 && n == step % 41);
            r->release();  // zerocopy: a held message still takes its space
            EXPECT(r->try_push_var(big.data(), big.size()) == ferry::kAccepted);
            EXPECT(r->try_push_var(buf, 1) == ferry::kFull);
            EXPECT(r->try_pop_var(&p, &n) == 1 && n == big.size() && std::memcmp(p, big.data(), n) == 0);
            r->release();
        }
        SpscRing::destroy(r);
    }
    // Smaller than one header: nothing fits.
    r = make(1, 4);
    EXPECT(!r->var_usable() && r->try_push_var(buf, 0) == ferry::kTooLarge);
    SpscRing::destroy(r);
    return "";
}

std::string check_overwrite() {
    for (bool var : {false, true}) {
        SpscRing *r = make(16, 3, true, false);
        char buf[16];
        const char *p;
        size_t n;
        for (int i = 0; i < 5; ++i) {
            std::memset(buf, i, sizeof buf);
            EXPECT((var ? r->try_push_var(buf, 8) : r->try_push(buf, 8)) == ferry::kAccepted);
        }
        // var: 48 bytes hold three 16-byte records, so both drop the two oldest.
        EXPECT(r->dropped() == 2 && r->pending() == 3);
        for (int i = 2; i < 5; ++i)
            EXPECT((var ? r->try_pop_var(&p, &n) : r->try_pop(&p, &n)) == 1 && n == 8 && p[0] == i);
        EXPECT((var ? r->try_pop_var(&p, &n) : r->try_pop(&p, &n)) == ferry::kEmpty);
        SpscRing::destroy(r);
    }
    // A message the consumer holds is never overwritten: once the producer
    // would lap it the push is refused, and accepted again after release.
    for (bool var : {false, true}) {
        SpscRing *r = make(16, 4, true, true);
        char buf[16];
        const char *p;
        size_t n;
        std::memset(buf, 'A', sizeof buf);
        EXPECT((var ? r->try_push_var(buf, 16) : r->try_push(buf, 16)) == ferry::kAccepted);
        EXPECT((var ? r->try_pop_var(&p, &n) : r->try_pop(&p, &n)) == 1 && n == 16);
        int accepted = 0;
        std::memset(buf, 'B', sizeof buf);
        while ((var ? r->try_push_var(buf, 16) : r->try_push(buf, 16)) == ferry::kAccepted && accepted < 1000)
            ++accepted;
        EXPECT(accepted >= 4 && accepted < 1000);
        for (size_t i = 0; i < 16; ++i) EXPECT(p[i] == 'A');
        r->release();
        EXPECT((var ? r->try_push_var(buf, 16) : r->try_push(buf, 16)) == ferry::kAccepted);
        SpscRing::destroy(r);
    }
    return "";
}

std::string check_close_wakes() {
    // A consumer waiting in pop, and a producer waiting for space, both
    // return kClosed promptly when a third thread closes.
    for (bool var : {false, true}) {
        SpscRing *r = make(16, 2, false, false, true);  // var: 32 bytes, two 16-byte records
        char buf[16] = {};
        EXPECT((var ? r->push_var(buf, 8) : r->push(buf, 8)) == 1);
        EXPECT((var ? r->push_var(buf, 8) : r->push(buf, 8)) == 1);
        std::atomic<int> prod_rc{99};
        std::thread prod([&] { prod_rc = var ? r->push_var(buf, 8) : r->push(buf, 8); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bool was_waiting = prod_rc == 99;
        r->close();
        prod.join();
        SpscRing::destroy(r);
        EXPECT(was_waiting);
        EXPECT(prod_rc == ferry::kClosed);

        r = make(16, 2, false, true, false);
        std::atomic<int> cons_rc{99};
        std::thread cons([&] {
            const char *p;
            size_t n;
            cons_rc = var ? r->pop_var(&p, &n) : r->pop(&p, &n);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        was_waiting = cons_rc == 99;
        r->close();
        cons.join();
        SpscRing::destroy(r);
        EXPECT(was_waiting);
        EXPECT(cons_rc == ferry::kClosed);
    }
    return "";
}

// Two rings, two threads bouncing a counter: every hop goes through a
// sleeping consumer, so a lost wake-up hangs it (the watchdog fails it).
std::string check_ping_pong(uint64_t rounds) {
    SpscRing *a = make(8, 4, false, true, true), *b = make(8, 4, false, false, true);
    std::string err;
    std::thread other([&] {
        const char *p;
        size_t n;
        while (b->pop(&p, &n) == 1) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            ++v;
            if (a->push(&v, 8) != 1) break;
        }
        a->close();
    });
    uint64_t v = 0;
    for (uint64_t i = 0; i < rounds; ++i) {
        if (b->push(&v, 8) != 1) {
            err = "push refused";
            break;
        }
        const char *p;
        size_t n;
        if (a->pop(&p, &n) != 1) {
            err = "pop failed";
            break;
        }
        uint64_t w;
        std::memcpy(&w, p, 8);
        a->release();
        if (w != v + 1) {
            err = "wrong value";
            break;
        }
        v = w;
    }
    b->close();
    other.join();
    SpscRing::destroy(a);
    SpscRing::destroy(b);
    return err;
}

}  // namespace

int main(int argc, char **argv) {
    if (const char *e = std::getenv("RING_STRESS_SCALE")) g_scale = std::atof(e);
    if (argc > 1) g_scale = std::atof(argv[1]);
    if (!(g_scale > 0)) g_scale = 1.0;
    std::thread(watchdog).detach();
    auto deadline = [](const char *name, int64_t seconds) {
        g_current.store(name);
        g_deadline_ms.store(now_ms() + seconds * 1000);
    };

    struct Unit {
        const char *name;
        std::string (*fn)();
    } units[] = {
        {"create: zero and oversized sizes", check_create_errors},
        {"fixed: too large, full at capacity, close and drain", check_fixed_limits},
        {"var: byte limit, largest message at every offset", check_var_limits},
        {"overwrite: drops oldest, held message survives a lapping producer", check_overwrite},
        {"close wakes a waiting producer and a waiting consumer", check_close_wakes},
    };
    for (auto &u : units) {
        deadline(u.name, 60);
        report(u.name, u.fn());
    }
    {
        uint64_t rounds = std::max<uint64_t>(2000, uint64_t(20000 * g_scale));
        deadline("ping-pong", 120);
        auto t0 = Clock::now();
        std::string e = check_ping_pong(rounds);
        char detail[96];
        std::snprintf(detail, sizeof detail, " (%" PRIu64 " round trips, %.2f s)", rounds,
                      std::chrono::duration<double>(Clock::now() - t0).count());
        report("ping-pong through sleeping consumers", e, detail);
    }

    // name, var, overwrite, zerocopy, block_on_full, blocking push, blocking pop,
    // slot_size, capacity, count, max_len, close_midway, hold_every, hold_ns, pause_every, pause_ns
    const Scenario scenarios[] = {
        {"fixed try/try copy", false, false, false, false, false, false, 128, 256, 1000000, 128, false, 0, 0, 4096, 20000},
        {"fixed try/try zerocopy", false, false, true, false, false, false, 128, 256, 1000000, 128, false, 0, 0, 4096, 20000},
        {"fixed push(block_on_full)/pop+release zerocopy", false, false, true, true, true, true, 128, 64, 800000, 128, false, 0, 0, 1024, 30000},
        {"fixed push(block_on_full)/pop copy", false, false, false, true, true, true, 64, 7, 800000, 64, false, 0, 0, 1024, 30000},
        {"fixed push without block_on_full returns full", false, false, false, false, true, false, 64, 16, 500000, 64, false, 0, 0, 512, 20000},
        {"fixed overwrite try/try zerocopy with holds", false, true, true, false, false, false, 96, 32, 1000000, 96, false, 64, 3000, 1024, 20000},
        {"fixed overwrite try/pop+release copy", false, true, false, false, false, true, 96, 16, 800000, 96, false, 128, 2000, 512, 20000},
        {"fixed overwrite+block_on_full push/pop+release zerocopy, long holds", false, true, true, true, true, true, 64, 8, 400000, 64, false, 32, 20000, 0, 0},
        {"fixed close midway, push(block_on_full)/pop", false, false, true, true, true, true, 64, 32, 600000, 64, true, 0, 0, 256, 20000},
        {"fixed close midway, overwrite try/try", false, true, false, false, false, false, 64, 32, 600000, 64, true, 64, 2000, 256, 20000},
        {"var try/try copy", true, false, false, false, false, false, 64, 256, 1000000, 600, false, 0, 0, 4096, 20000},
        {"var try/try zerocopy", true, false, true, false, false, false, 64, 256, 1000000, 600, false, 0, 0, 4096, 20000},
        {"var push_var(block_on_full)/pop_var zerocopy", true, false, true, true, true, true, 32, 64, 800000, 300, false, 0, 0, 1024, 30000},
        {"var push_var(block_on_full)/pop_var copy, small ring", true, false, false, true, true, true, 16, 24, 800000, 120, false, 0, 0, 1024, 30000},
        {"var overwrite try/try zerocopy with holds", true, true, true, false, false, false, 32, 32, 1000000, 200, false, 32, 10000, 1024, 20000},
        {"var overwrite+block_on_full push_var/pop_var zerocopy, long holds", true, true, true, true, true, true, 32, 32, 600000, 250, false, 32, 20000, 512, 20000},
        {"var overwrite try/pop_var copy", true, true, false, false, false, true, 32, 32, 600000, 250, false, 128, 5000, 512, 20000},
        {"var close midway, push_var(block_on_full)/pop_var", true, false, false, true, true, true, 64, 32, 600000, 400, true, 0, 0, 256, 20000},
        {"var close midway, overwrite try/try zerocopy", true, true, true, false, false, false, 64, 32, 600000, 400, true, 64, 2000, 256, 20000},
    };
    uint64_t total = 0;
    for (const Scenario &s : scenarios) {
        deadline(s.name, 120);
        uint64_t moved = 0;
        auto t0 = Clock::now();
        Stats stats;
        std::string e = run_scenario(s, moved, stats);
        total += moved;
        char detail[160];
        std::snprintf(detail, sizeof detail, " (%" PRIu64 " messages, %" PRIu64 " dropped, %" PRIu64
                      " pushes refused, %.2f s)", moved, stats.dropped, stats.refused,
                      std::chrono::duration<double>(Clock::now() - t0).count());
        report(s.name, e, detail);
    }
    g_deadline_ms.store(0);
    std::printf("%" PRIu64 " messages accepted in total (scale %g)\n", total, g_scale);
    std::printf("ring stress: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
