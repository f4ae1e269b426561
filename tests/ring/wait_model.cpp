// Native model of the ring's own waits, timed to meet the other side on its
// way to sleep:
//  - data: a consumer in the waiting pop; the producer pushes single probe
//    messages, timed to meet the consumer's announcement, and bursts.
//  - space: a producer in the waiting push (block_on_full) on a small ring;
//    the consumer frees a batch timed to meet the producer's announcement.
// A watchdog fails the run when nothing moves for 5 s while the side that
// waits has work (a lost wake-up: nobody would ever wake it). Builds whose
// waiting pair lacks a barrier on either side fail within seconds.
//
// Usage: wait_model [scale]   (or WAKE_MODEL_SCALE=...): a million probes
// per model times the scale.
#include "model.hpp"
#include "ring.hpp"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

using model::fail;

void relax(uint64_t n) {
    for (; n > 0; --n) ferry::ring_detail::cpu_relax();
}

struct Run {
    ferry::SpscRing *ring = nullptr;
    std::atomic<pid_t> producer_tid{0}, consumer_tid{0};
    std::atomic<uint64_t> pushed{0}, popped{0};
    std::atomic<bool> producer_done{false}, done{false};
};

// A thread's scheduler state ("S" asleep, "R" runnable), to tell a lost
// wake-up from a thread the machine did not run.
std::string thread_state(pid_t tid) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat", line;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char buf[512] = {};
        line = std::fgets(buf, sizeof buf, f) ? buf : "";
        std::fclose(f);
    }
    size_t at = line.rfind(')');
    return at != std::string::npos && at + 2 < line.size() ? line.substr(at + 2, 1) : "?";
}

// Fails when the waiting side has work (`stuck` says so) and neither count
// moves for five seconds (a lost wake-up never ends; a starved thread does).
void watchdog(Run &r, const char *what, bool (*stuck)(Run &)) {
    uint64_t last = ~uint64_t(0);
    auto since = Clock::now();
    while (!r.done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        uint64_t now = r.pushed.load() * 3 + r.popped.load();
        if (now != last || !stuck(r)) {
            last = now;
            since = Clock::now();
        } else if (Clock::now() - since > std::chrono::seconds(5)) {
            fail(std::string(what) + ": stuck with " + std::to_string(r.ring->pending()) +
                 " messages queued (lost wake-up); producer " + thread_state(r.producer_tid) + ", consumer " +
                 thread_state(r.consumer_tid));
        }
    }
}

void run_model(const char *what, const ferry::RingOptions &opt, void (*producer)(Run &, uint64_t),
               void (*consumer)(Run &, uint64_t), bool (*stuck)(Run &), uint64_t probes) {
    Run r;
    int err = 0;
    r.ring = ferry::SpscRing::create(opt, err);
    if (!r.ring) fail("create failed");
    auto t0 = Clock::now();
    std::thread dog(watchdog, std::ref(r), what, stuck);
    std::thread c([&] {
        r.consumer_tid.store(pid_t(syscall(SYS_gettid)));
        consumer(r, probes);
    });
    r.producer_tid.store(pid_t(syscall(SYS_gettid)));
    producer(r, probes);
    c.join();
    r.done.store(true);
    dog.join();
    std::printf("ok   wait model, %s: %" PRIu64 " messages, %.2f s\n", what, r.popped.load(),
                std::chrono::duration<double>(Clock::now() - t0).count());
    ferry::SpscRing::destroy(r.ring);
}

// The other side spins kSpins times before it announces its sleep: a delay
// drawn up to a little past that meets the announcement as often as not.
constexpr uint64_t kMeet = 3 * ferry::ring_detail::kSpins / 2;

void push_one(Run &r, uint64_t seq, bool waiting) {
    int rc = waiting ? r.ring->push(&seq, 8) : r.ring->try_push(&seq, 8);
    while (rc == ferry::kFull) {
        std::this_thread::yield();
        rc = r.ring->try_push(&seq, 8);
    }
    if (rc != ferry::kAccepted) fail("push returned " + std::to_string(rc));
    r.pushed.store(seq + 1, std::memory_order_release);
}

// False once the ring is closed and drained.
bool pop_one(Run &r, bool waiting) {
    const char *p;
    size_t size;
    int rc = waiting ? r.ring->pop(&p, &size) : r.ring->try_pop(&p, &size);
    while (rc == ferry::kEmpty && !waiting) {  // counted by pending() a moment before it is published
        relax(1);
        rc = r.ring->try_pop(&p, &size);
    }
    if (rc == ferry::kClosed) return false;
    if (rc != ferry::kAccepted) fail("pop returned " + std::to_string(rc));
    uint64_t seq, expected = r.popped.load(std::memory_order_relaxed);
    std::memcpy(&seq, p, 8);
    if (size != 8 || seq != expected) fail("message " + std::to_string(seq) + " where " + std::to_string(expected));
    r.ring->release();
    r.popped.store(expected + 1, std::memory_order_release);
    return true;
}

// Data: probes into a consumer waiting in pop, and bursts of up to 64.
void data_producer(Run &r, uint64_t probes) {
    std::mt19937_64 rng(7);
    uint64_t seq = 0;
    for (uint64_t i = 0; i < probes; ++i) {
        while (r.popped.load(std::memory_order_acquire) < seq) relax(1);
        relax(rng() % kMeet);
        for (uint64_t n = rng() % 8 == 0 ? 1 + rng() % 64 : 1; n > 0; --n) push_one(r, seq++, false);
    }
    while (r.popped.load(std::memory_order_acquire) < seq) relax(1);
    r.ring->close();
}
void data_consumer(Run &r, uint64_t) {
    while (pop_one(r, true)) {
    }
}
bool data_stuck(Run &r) { return r.ring->pending() > 0; }

// Space: a producer waiting in push on a full ring; once it is full but for
// less than the batch the producer waits for (an eighth of the ring, at
// least one), the consumer frees about that batch (now and then the whole
// ring). Only a pop that frees the batch wakes the producer, so the pop met
// on the producer's way to sleep matters only with a batch of one: the
// model runs a ring of 4 (a batch of 1) and one of 64 (a batch of 8).
size_t g_capacity = 64;
size_t batch() { return g_capacity / 8 ? g_capacity / 8 : 1; }
void space_producer(Run &r, uint64_t probes) {
    for (uint64_t seq = 0; seq < probes * 4; ++seq) push_one(r, seq, true);
    r.producer_done.store(true);
}
void space_consumer(Run &r, uint64_t probes) {
    std::mt19937_64 rng(11);
    const uint64_t total = probes * 4;
    while (r.popped.load() < total) {
        uint64_t left = total - r.popped.load();
        // Wait until full (or the producer is done), then meet its sleep.
        while (r.ring->pending() <= g_capacity - batch() && r.pushed.load(std::memory_order_acquire) < total)
            relax(1);
        relax(rng() % kMeet);
        uint64_t n = rng() % 8 == 0 ? g_capacity : batch() + rng() % 2;
        for (n = n < left ? n : left; n > 0; --n) {
            while (r.ring->pending() == 0) relax(1);
            pop_one(r, false);
        }
    }
}
bool space_stuck(Run &r) { return !r.producer_done.load() && r.ring->pending() <= g_capacity - batch(); }

}  // namespace

int main(int argc, char **argv) {
    const double scale = model::start("wait model", argc, argv);
    const uint64_t probes = uint64_t(1'000'000 * scale);
    run_model("data", {8, 4096, false, true, false}, data_producer, data_consumer, data_stuck, probes);
    for (size_t capacity : {4, 64}) {
        g_capacity = capacity;
        std::string what = "space, ring of " + std::to_string(capacity);
        run_model(what.c_str(), {8, capacity, false, true, true}, space_producer, space_consumer, space_stuck,
                  probes / 4 + 1);
    }
    return 0;
}
