// Native model of the coalesced wake-up: the ring, the dispatchers' own
// announcement flag (lockfree/wake_flag.hpp) and a pipe standing for the
// wake-up datagram. A producer pushes numbered messages in bursts with random pauses,
// and single probe messages timed against the consumer's way to sleep, and
// writes one byte only when it claims the consumer's announcement; the
// consumer sleeps in a blocking read whenever it finds the ring empty. A
// watchdog fails the run if the consumer sleeps with nothing in the pipe
// while a message waits and the producer is idle (nobody would ever wake it).
// Without the second look, or without the barriers, it fails within seconds.
//
// Usage: wake_model [scale]   (or WAKE_MODEL_SCALE=...): 10 million messages
// times the scale.
#include "model.hpp"
#include "ring.hpp"
#include "lockfree/wake_flag.hpp"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
namespace wake = ferry::lockfree::wake_flag;

using model::fail;

// The flag and the consumer's counters, named as in a dispatcher instance.
struct Fields {
    uint32_t _waiting = 0;
    uint64_t _announcements = 0, _sleeps = 0, _leftovers = 0, _spurious_wakeups = 0;
};

struct Model {
    ferry::SpscRing *ring = nullptr;
    int pipe_fd[2] = {-1, -1};  // [0] the consumer reads, [1] the producer writes
    Fields f;
    uint64_t wakeups = 0;
    std::atomic<uint64_t> delivered{0};
    // Odd while the consumer is in its read / the producer pauses or waits
    // for the drain; the watchdog compares them between samples.
    std::atomic<uint64_t> consumer_asleep{0}, producer_idle{0};
    std::atomic<bool> done{false};
};

size_t pipe_bytes(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? size_t(n) : 0;
}

// Lost wake-up: the consumer asleep, the pipe empty, a message waiting and the
// producer idle, all unchanged over 200 ms (the producer's pauses are far
// shorter; only its waits for the drain last that long, and only when lost).
void watchdog(Model &m) {
    uint64_t seen_c = 0, seen_p = 0;
    auto since = Clock::now();
    while (!m.done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        uint64_t c = m.consumer_asleep.load(), p = m.producer_idle.load();
        bool stuck = (c & 1) && (p & 1) && pipe_bytes(m.pipe_fd[0]) == 0 && m.ring->pending() > 0 &&
                     c == m.consumer_asleep.load() && p == m.producer_idle.load();
        if (!stuck || c != seen_c || p != seen_p) {
            seen_c = stuck ? c : 0;
            seen_p = stuck ? p : 0;
            since = Clock::now();
        } else if (Clock::now() - since > std::chrono::milliseconds(200)) {
            fail("the consumer sleeps while " + std::to_string(m.ring->pending()) +
                 " messages wait and nobody will wake it (lost wake-up)");
        }
    }
}

void produce(Model &m, uint64_t count) {
    std::mt19937_64 rng(12345);
    char buf[64];
    const char byte = 1;
    uint64_t seq = 0;
    auto push = [&] {
        size_t size = 8 + rng() % 57;
        std::memcpy(buf, &seq, 8);
        for (size_t k = 8; k < size; ++k) buf[k] = char(seq + k);
        int r;
        while ((r = m.ring->try_push(buf, size)) == ferry::kFull) std::this_thread::yield();
        if (r != ferry::kAccepted) fail("push returned " + std::to_string(r));
        ++seq;
        if (wake::claim(m.f._waiting)) {
            if (write(m.pipe_fd[1], &byte, 1) != 1) fail("pipe write failed");
            wake::count(m.wakeups);
        }
    };
    // Waits for the consumer to deliver everything: a lost wake-up hangs here.
    auto drain = [&] {
        m.producer_idle.fetch_add(1);
        while (m.delivered.load(std::memory_order_acquire) < seq) ferry::ring_detail::cpu_relax();
        m.producer_idle.fetch_add(1);
    };
    while (seq < count) {
        if (rng() % 4 != 0) {
            // A probe: one message, pushed 0-2 us after the consumer
            // delivered the last one, while it is on its way to sleep.
            drain();
            for (uint64_t spin = rng() % 64; spin > 0; --spin) ferry::ring_detail::cpu_relax();
            push();
            drain();
            continue;
        }
        // A burst of up to 2048 messages, then maybe a pause of up to 200 us.
        for (uint64_t n = 1 + rng() % 2048; n > 0 && seq < count; --n) push();
        if (rng() % 2) {
            m.producer_idle.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 201));
            m.producer_idle.fetch_add(1);
        }
    }
    // Quiescence: everything delivered, the consumer asleep and the pipe
    // empty, so every byte written has been read. Then the counters' bounds.
    while (m.delivered.load(std::memory_order_acquire) < count || !(m.consumer_asleep.load() & 1) ||
           pipe_bytes(m.pipe_fd[0]) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto read = [](uint64_t &c) { return std::atomic_ref<uint64_t>(c).load(); };
    uint64_t announced = read(m.f._announcements), sleeps = read(m.f._sleeps), leftovers = read(m.f._leftovers),
             spurious = read(m.f._spurious_wakeups), wakeups = m.wakeups;
    auto bound = [](bool holds, const char *what) {
        if (!holds) fail(std::string("counter bound broken: ") + what);
    };
    bound(wakeups <= announced, "wake-ups <= announcements");
    bound(sleeps <= announced, "sleeps <= announcements");
    bound(wakeups <= sleeps + leftovers, "wake-ups <= sleeps + leftovers");
    bound(spurious <= leftovers, "spurious wake-ups <= leftovers");
    m.ring->close();
    if (write(m.pipe_fd[1], &byte, 1) != 1) fail("pipe write failed");  // as a dispatcher's close does
}

void consume(Model &m) {
    uint64_t expected = 0;
    wake::Sleeper<Fields> sleeper;
    auto check = [&](const char *p, size_t size) {
        uint64_t seq;
        std::memcpy(&seq, p, 8);
        bool ok = size >= 8 && seq == expected;
        for (size_t k = 8; k < size && ok; ++k) ok = p[k] == char(seq + k);
        if (!ok) fail("message " + std::to_string(seq) + " where " + std::to_string(expected) + " was due");
        ++expected;
        m.delivered.store(expected, std::memory_order_release);
        // A little work per message, as a real consumer does: in a long
        // burst the producer stays ahead instead of waking it every few.
        for (int i = 0; i < 4; ++i) ferry::ring_detail::cpu_relax();
    };
    for (;;) {
        const char *p;
        size_t size;
        auto pop = [&] { return m.ring->try_pop(&p, &size); };
        auto read_byte = [&] {
            char byte;
            if (read(m.pipe_fd[0], &byte, 1) != 1) fail("pipe read failed");
        };
        auto read_due = [&] {
            if (pipe_bytes(m.pipe_fd[0]) == 0) return false;
            read_byte();
            return true;
        };
        int r = pop();
        if (r == ferry::kEmpty) {
            if (sleeper.before_wait(m.f, pop, read_due)) {
                r = ferry::kAccepted;
            } else {
                m.consumer_asleep.fetch_add(1);
                read_byte();
                m.consumer_asleep.fetch_add(1);
                r = sleeper.after_wait(m.f, pop);
            }
        }
        if (r == ferry::kClosed) return;
        if (r == ferry::kAccepted) check(p, size);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const double scale = model::start("wake model", argc, argv);
    const uint64_t count = uint64_t(10'000'000 * scale);

    Model m;
    int err = 0;
    m.ring = ferry::SpscRing::create({64, 4096, false, false, false}, err);
    if (!m.ring || pipe(m.pipe_fd) != 0 || fcntl(m.pipe_fd[1], F_SETFL, O_NONBLOCK) != 0)
        fail("setup failed");

    auto t0 = Clock::now();
    std::thread dog(watchdog, std::ref(m));
    std::thread consumer(consume, std::ref(m));
    produce(m, count);
    consumer.join();
    m.done.store(true);
    dog.join();
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

    uint64_t got = m.delivered.load();
    if (got != count) fail("delivered " + std::to_string(got) + " of " + std::to_string(count));
    std::printf("ok   wake model: %" PRIu64 " messages in order, %" PRIu64 " announcements, %" PRIu64
                " sleeps, %" PRIu64 " leftovers, %" PRIu64 " spurious, %" PRIu64
                " wake-ups written (%.2f per 1000 messages), %.2f s\n",
                count, m.f._announcements, m.f._sleeps, m.f._leftovers, m.f._spurious_wakeups, m.wakeups,
                1000.0 * double(m.wakeups) / double(count), seconds);
    ferry::SpscRing::destroy(m.ring);
    return 0;
}
