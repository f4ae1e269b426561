// Throughput of the ring core beside boost::lockfree::spsc_queue, one
// producer and one consumer thread. Prints a table of medians; not a test.
// Without boost's headers the boost rows and the ratios to them are left out.
//
// Usage: ring_bench [messages] [runs]   (defaults 10,000,000 and 7)
#include "ring.hpp"

#if __has_include(<boost/lockfree/spsc_queue.hpp>)
#include <boost/lockfree/spsc_queue.hpp>
#define RING_BENCH_BOOST 1
#endif

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using ferry::SpscRing;

bool g_pinned = false;

// Waiting on a full/empty queue, the same for every queue measured: spin a
// little, then give the core away (the machine may be shared).
struct Backoff {
    unsigned n = 0;
    void wait() {
        if (++n < 128) {
            ferry::ring_detail::cpu_relax();
        } else {
            n = 0;
            sched_yield();
        }
    }
};

void pin(int cpu) {
    if (!g_pinned) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// One run: starts both threads together, returns seconds until the consumer
// has taken the last message.
double timed(const std::function<void()> &produce, const std::function<void()> &consume) {
    std::atomic<int> ready{0};
    Clock::time_point start, end;
    std::thread c([&] {
        pin(1);
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        consume();
        end = Clock::now();
    });
    std::thread p([&] {
        pin(0);
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        start = Clock::now();
        produce();
    });
    p.join();
    c.join();
    return std::chrono::duration<double>(end - start).count();
}

template <size_t N>
struct Msg {
    uint64_t seq;
    char pad[N - 8];
};

volatile uint64_t g_sink;

// Every consumer reads each message whole, as a real one would (boost's pop
// has copied it out; the ring's consumer reads it where pop left it), so that
// all do the same work per message.
inline uint64_t read_message(const void *p, size_t n) {
    const char *c = static_cast<const char *>(p);
    uint64_t sum = 0, word;
    for (size_t i = 0; i + 8 <= n; i += 8) {
        std::memcpy(&word, c + i, 8);
        sum += word;
    }
    return sum;
}

#ifdef RING_BENCH_BOOST
template <size_t N>
double run_boost(uint64_t count) {
    auto *q = new boost::lockfree::spsc_queue<Msg<N>>(16384);
    double s = timed(
        [&] {
            Msg<N> m{};
            for (uint64_t i = 0; i < count; ++i) {
                m.seq = i;
                Backoff b;
                while (!q->push(m)) b.wait();
            }
        },
        [&] {
            Msg<N> m;
            uint64_t sum = 0;
            for (uint64_t i = 0; i < count; ++i) {
                Backoff b;
                while (!q->pop(m)) b.wait();
                sum += read_message(&m, sizeof m);
            }
            g_sink = sum;
        });
    delete q;
    return s;
}
#endif

enum class Form { FixedTry, FixedWait, VarTry, VarWait };

double run_ferry(Form form, size_t size, bool zerocopy, uint64_t count) {
    ferry::RingOptions o;
    o.slot_size = size;
    o.capacity = 16384;
    o.zerocopy = zerocopy;
    o.block_on_full = form == Form::FixedWait || form == Form::VarWait;
    int err = 0;
    SpscRing *r = SpscRing::create(o, err);
    if (!r) {
        std::fprintf(stderr, "ring creation failed: %d\n", err);
        std::exit(1);
    }
    double s = timed(
        [&] {
            std::vector<char> buf(size);
            for (uint64_t i = 0; i < count; ++i) {
                std::memcpy(buf.data(), &i, 8);
                Backoff b;
                switch (form) {
                case Form::FixedTry:
                    while (r->try_push(buf.data(), size) != 1) b.wait();
                    break;
                case Form::FixedWait: r->push(buf.data(), size); break;
                case Form::VarTry:
                    while (r->try_push_var(buf.data(), size) != 1) b.wait();
                    break;
                case Form::VarWait: r->push_var(buf.data(), size); break;
                }
            }
        },
        [&] {
            const char *p;
            size_t n;
            uint64_t sum = 0;
            for (uint64_t i = 0; i < count; ++i) {
                Backoff b;
                switch (form) {
                case Form::FixedTry:
                    while (r->try_pop(&p, &n) != 1) b.wait();
                    break;
                case Form::FixedWait: r->pop(&p, &n); break;
                case Form::VarTry:
                    while (r->try_pop_var(&p, &n) != 1) b.wait();
                    break;
                case Form::VarWait: r->pop_var(&p, &n); break;
                }
                sum += read_message(p, n);
                if (form == Form::FixedWait) r->release();
            }
            g_sink = sum;
        });
    if (r->popped() != count) {
        std::fprintf(stderr, "lost messages\n");
        std::exit(1);
    }
    SpscRing::destroy(r);
    return s;
}

// ns per memcpy of `size` bytes, cycling through 256 KiB so it is not all L1.
double memcpy_ns(size_t size, uint64_t count) {
    const size_t span = 256 * 1024;
    std::vector<char> src(span + size), dst(span + size);
    for (size_t i = 0; i < src.size(); ++i) src[i] = char(i);
    auto t0 = Clock::now();
    size_t off = 0;
    for (uint64_t i = 0; i < count; ++i) {
        std::memcpy(dst.data() + off, src.data() + off, size);
        off = (off + size) % span;
        asm volatile("" : : "r"(dst.data()) : "memory");
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / double(count);
}

struct Row {
    std::string name;
    std::vector<double> values;  // per run
    const char *unit;
    double median() const {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    double min() const { return *std::min_element(values.begin(), values.end()); }
    double max() const { return *std::max_element(values.begin(), values.end()); }
};

}  // namespace

int main(int argc, char **argv) {
    uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    if (runs < 1) runs = 1;
    uint64_t count_1k = std::max<uint64_t>(count / 5, 1);

    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    g_pinned = std::getenv("RING_BENCH_NO_PIN") == nullptr && sched_getaffinity(0, sizeof allowed, &allowed) == 0 &&
               CPU_ISSET(0, &allowed) && CPU_ISSET(1, &allowed);
    std::printf("ring_bench: 1 producer + 1 consumer thread, %d runs per figure (median, min-max)\n", runs);
    std::printf("threads %s\n", g_pinned ? "pinned: producer on CPU 0, consumer on CPU 1 (sched_setaffinity)"
                                         : "not pinned (RING_BENCH_NO_PIN set, or CPUs 0 and 1 not both available)");
    std::printf("waiting on full/empty: 128 pause spins, then sched_yield (all queues alike)\n");
    std::printf("every consumer reads each message whole\n");
    std::printf("64 B: %llu messages per run; 1 KiB: %llu; capacity 16384 slots everywhere\n",
                (unsigned long long)count, (unsigned long long)count_1k);
    std::printf("membarrier fast path: %s\n\n",
                ferry::platform::asymmetric_barriers() ? "yes" : "no (full fences)");
    std::fflush(stdout);

    struct Case {
        const char *name;
        std::function<double()> fn;
        uint64_t n;
    };
    std::vector<Case> cases = {
#ifdef RING_BENCH_BOOST
        {"boost spsc_queue 64 B", [&] { return run_boost<64>(count); }, count},
#endif
        {"fixed try_push/try_pop 64 B, zerocopy", [&] { return run_ferry(Form::FixedTry, 64, true, count); }, count},
        {"fixed try_push/try_pop 64 B, copy", [&] { return run_ferry(Form::FixedTry, 64, false, count); }, count},
        {"fixed push/pop+release 64 B (block_on_full)", [&] { return run_ferry(Form::FixedWait, 64, true, count); }, count},
        {"var try_push_var/try_pop_var 64 B, zerocopy", [&] { return run_ferry(Form::VarTry, 64, true, count); }, count},
        {"var try_push_var/try_pop_var 64 B, copy", [&] { return run_ferry(Form::VarTry, 64, false, count); }, count},
        {"var push_var/pop_var 64 B (block_on_full)", [&] { return run_ferry(Form::VarWait, 64, true, count); }, count},
#ifdef RING_BENCH_BOOST
        {"boost spsc_queue 1 KiB", [&] { return run_boost<1024>(count_1k); }, count_1k},
#endif
        {"fixed try_push/try_pop 1 KiB, zerocopy", [&] { return run_ferry(Form::FixedTry, 1024, true, count_1k); }, count_1k},
        {"var try_push_var/try_pop_var 1 KiB, zerocopy", [&] { return run_ferry(Form::VarTry, 1024, true, count_1k); }, count_1k},
    };
    std::vector<Row> rate(cases.size()), nsper(cases.size());
    // Interleave the cases run by run so that a noisy stretch of the shared
    // machine hits all of them alike.
    for (int run = 0; run < runs; ++run)
        for (size_t i = 0; i < cases.size(); ++i) {
            double s = cases[i].fn();
            rate[i].values.push_back(double(cases[i].n) / s / 1e6);
            nsper[i].values.push_back(s * 1e9 / double(cases[i].n));
        }
    Row mc{"memcpy 1 KiB", {}, "ns/copy"};
    for (int run = 0; run < runs; ++run) mc.values.push_back(memcpy_ns(1024, 2000000));

    std::printf("%-50s %10s %21s  %s\n", "figure", "median", "min-max", "unit");
    auto line = [](const std::string &name, double med, double lo, double hi, const char *unit) {
        char range[64];
        std::snprintf(range, sizeof range, "%.2f-%.2f", lo, hi);
        std::printf("%-50s %10.2f %21s  %s\n", name.c_str(), med, range, unit);
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        line(cases[i].name, rate[i].median(), rate[i].min(), rate[i].max(), "M msg/s");
        line(std::string(cases[i].name) + " ", nsper[i].median(), nsper[i].min(), nsper[i].max(), "ns/msg");
    }
    line(mc.name, mc.median(), mc.min(), mc.max(), mc.unit);

#ifdef RING_BENCH_BOOST
    // Ratios of the medians against boost measured in the same run.
    double boost64 = rate[0].median();
    auto ratio = [&](size_t i, double target) {
        double r = rate[i].median() / boost64;
        std::printf("%-50s %10.2f %21s  x boost (target >= %.1f: %s)\n", cases[i].name, r, "", target,
                    r >= target ? "met" : "MISSED");
    };
    std::printf("\n");
    ratio(1, 1.2);
    ratio(2, 1.2);
    ratio(3, 1.2);
    ratio(4, 2.5);
    ratio(5, 2.5);
    ratio(6, 2.5);
#endif
    return 0;
}
