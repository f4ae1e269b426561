// Probes of the coalesced wake-ups: a native callback that checks order and
// time in the queue, a producer that pushes in bursts with random pauses
// (and checks now and then that the consumer catches up), and the
// dispatchers' wait counters.
#include "ferrytest.hpp"
#include "platform/cpu.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace ft {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t now_ns() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Message: [u64 sequence number][u64 push time, ns][byte i = (seq + i) & 0xff].
constexpr size_t kStamped = 16;

void build_stamped(char *buf, uint64_t seq, size_t size) {
    uint64_t stamp = now_ns();
    std::memcpy(buf, &seq, 8);
    std::memcpy(buf + 8, &stamp, 8);
    for (size_t i = kStamped; i < size; ++i) buf[i] = (char)((seq + i) & 0xff);
}

// ---- Tally: the consumer's callback ------------------------------------------------

// Called with each message (interpreter lock held); returns itself, which an
// AsyncDispatcher awaits as an already finished awaitable.
struct Tally {
    PyObject_HEAD
    uint64_t delivered;  // read by the producer thread: accessed atomically
    uint64_t bad;
    int64_t first_bad;   // sequence number expected where the first bad message came, -1 if none
    uint64_t max_wait_ns;
};

std::atomic_ref<uint64_t> delivered(Tally *t) { return std::atomic_ref<uint64_t>(t->delivered); }

PyObject *tally_new(PyTypeObject *type, PyObject *, PyObject *) {
    auto *t = (Tally *)type->tp_alloc(type, 0);
    if (t) t->first_bad = -1;
    return (PyObject *)t;
}

PyObject *tally_call(PyObject *o, PyObject *args, PyObject *) {
    auto *t = (Tally *)o;
    PyObject *message;
    if (!PyArg_ParseTuple(args, "S", &message)) return nullptr;
    const char *p = PyBytes_AS_STRING(message);
    size_t size = (size_t)PyBytes_GET_SIZE(message);
    uint64_t expected = delivered(t).load(std::memory_order_relaxed), seq = ~expected, stamp = 0;
    bool ok = size >= kStamped;
    if (ok) {
        std::memcpy(&seq, p, 8);
        std::memcpy(&stamp, p + 8, 8);
        for (size_t i = kStamped; i < size && ok; ++i) ok = p[i] == (char)((seq + i) & 0xff);
    }
    if (!ok || seq != expected) {
        if (t->bad++ == 0) t->first_bad = (int64_t)expected;
    } else {
        uint64_t waited = now_ns() - stamp;
        if (waited > t->max_wait_ns) t->max_wait_ns = waited;
    }
    delivered(t).store(expected + 1, std::memory_order_release);
    return Py_NewRef(o);
}

PyObject *tally_await(PyObject *) {
    PyObject *empty = PyTuple_New(0);
    if (!empty) return nullptr;
    PyObject *it = PyObject_GetIter(empty);
    Py_DECREF(empty);
    return it;
}

PyObject *tally_result(PyObject *o, PyObject *) {
    auto *t = (Tally *)o;
    return Py_BuildValue("{sKsKsLsd}", "delivered", (unsigned long long)delivered(t).load(), "bad",
                         (unsigned long long)t->bad, "first_bad", (long long)t->first_bad, "max_wait_s",
                         t->max_wait_ns / 1e9);
}

PyMethodDef tally_methods[] = {
    {"result", boundary<tally_result>, METH_NOARGS, "result() -> {delivered, bad, first_bad, max_wait_s}"},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods tally_async = {boundary<tally_await>, nullptr, nullptr, nullptr};
PyTypeObject TallyType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// ---- BurstProducer -----------------------------------------------------------------

struct BurstProducer {
    PyObject_HEAD
    PyObject *target, *tally;
    ProducerThread *thread;
    uint64_t accepted, other_pushes, slow_drains;
    std::vector<int> *errors;  // push results < 0
};

void bursts_dealloc(PyObject *o) {
    auto *p = (BurstProducer *)o;
    join_unlocked(p->thread);
    drop_thread(p->thread);
    delete p->errors;
    Py_XDECREF(p->target);
    Py_XDECREF(p->tally);
    PyObject_Free(o);
}

PyObject *bursts_join(PyObject *o, PyObject *) {
    auto *p = (BurstProducer *)o;
    join_unlocked(p->thread);
    PyObject *errors = int_list(*p->errors);
    if (!errors) return nullptr;
    return Py_BuildValue("{sKsKsKsN}", "accepted", (unsigned long long)p->accepted, "other_pushes",
                         (unsigned long long)p->other_pushes, "slow_drains", (unsigned long long)p->slow_drains,
                         "errors", errors);
}

PyMethodDef bursts_methods[] = {
    {"join", boundary<bursts_join>, METH_NOARGS, "join() -> {accepted, other_pushes, slow_drains, errors}"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject BurstProducerType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Waits until the consumer has delivered `pushed` messages, watching closely
// for the first 200 us; false after a second without getting there.
bool drained(Tally *tally, uint64_t pushed) {
    auto start = Clock::now();
    while (delivered(tally).load(std::memory_order_acquire) < pushed) {
        auto waited = Clock::now() - start;
        if (waited > std::chrono::seconds(1)) return false;
        if (waited > std::chrono::microseconds(200))
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        else
            ferry::platform::cpu_relax();
    }
    return true;
}

// start_bursts(target, tally, count, entry, other_entry=None, other_share=8,
//              min_size=16, max_size=64, seed=1): a native thread pushing
// `count` stamped messages through `entry` (one in `other_share` through
// `other_entry`, chosen at random). Half the time a burst of 1-512 messages,
// then a random pause of 0-200 us or (one time in four) a wait for the
// consumer to deliver everything; half the time a probe: one message pushed
// 0-1 us after the consumer delivered the last one, while it is on its way
// to sleep, then a wait for its delivery. A wait longer than a second counts
// as a slow drain: a lost wake-up. A full ring is retried.
PyObject *start_bursts(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *kw[] = {"target",   "tally",    "count", "entry", "other_entry", "other_share",
                               "min_size", "max_size", "seed",  nullptr};
    PyObject *target, *tally;
    unsigned long long count, seed = 1;
    const char *entry, *other_entry = nullptr;
    int other_share = 8;
    Py_ssize_t min_size = kStamped, max_size = 64;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!Ks|zinnK", const_cast<char **>(kw), &target, &TallyType,
                                     &tally, &count, &entry, &other_entry, &other_share, &min_size, &max_size,
                                     &seed))
        return nullptr;
    if (min_size < (Py_ssize_t)kStamped || max_size < min_size || other_share < 1)
        return PyErr_Format(PyExc_ValueError, "sizes must be %zu <= min_size <= max_size; other_share >= 1",
                            kStamped);
    PushCall main_call = resolve(target, entry);
    PushCall other_call = other_entry ? resolve(target, other_entry) : nullptr;
    if (!main_call || (other_entry && !other_call)) return nullptr;
    return new_instance<BurstProducer>(&BurstProducerType, [&](BurstProducer *p) {
        p->target = Py_NewRef(target);
        p->tally = Py_NewRef(tally);
        p->errors = new std::vector<int>();
        p->thread = new ProducerThread([=] {
            std::mt19937_64 rng(seed);
            std::vector<char> buf((size_t)max_size);
            auto *t = (Tally *)p->tally;
            uint64_t seq = 0;
            auto push = [&] {
                size_t size = (size_t)min_size + rng() % (size_t)(max_size - min_size + 1);
                bool other = other_call && rng() % (unsigned)other_share == 0;
                PushCall call = other ? other_call : main_call;
                int r;
                do {
                    build_stamped(buf.data(), seq, size);  // the time in the queue, not in retries
                    r = call(p->target, buf.data(), size);
                    if (r == 0) std::this_thread::yield();
                } while (r == 0);
                if (r < 0) {
                    p->errors->push_back(r);
                    return false;
                }
                ++seq;
                ++p->accepted;
                p->other_pushes += other;
                return true;
            };
            auto wait_drained = [&] { p->slow_drains += !drained(t, seq); };
            while (seq < count) {
                if (rng() % 2) {
                    wait_drained();
                    for (uint64_t spin = rng() % 24; spin > 0; --spin) ferry::platform::cpu_relax();
                    if (!push()) return;
                    wait_drained();
                    continue;
                }
                for (uint64_t n = 1 + rng() % 512; n > 0 && seq < count; --n)
                    if (!push()) return;
                if (rng() % 4 == 0)
                    wait_drained();
                else if (unsigned pause = rng() % 201)
                    std::this_thread::sleep_for(std::chrono::microseconds(pause));
            }
        });
        return true;
    });
}

// The flag and counters of either dispatcher as a dict.
template <class D>
PyObject *counters_of(D *d) {
    auto load = [](uint64_t &c) { return (unsigned long long)std::atomic_ref<uint64_t>(c).load(); };
    return Py_BuildValue("{sKsKsKsKsKsI}", "announcements", load(d->_announcements), "sleeps", load(d->_sleeps),
                         "wakeups_sent", load(d->_wakeups_sent), "leftovers", load(d->_leftovers),
                         "spurious_wakeups", load(d->_spurious_wakeups), "waiting",
                         (unsigned)std::atomic_ref<uint32_t>(d->_waiting).load());
}

// wake_counters(dispatcher) -> {announcements, sleeps, wakeups_sent, leftovers, spurious_wakeups, waiting}.
PyObject *wake_counters(PyObject *, PyObject *o) {
    if (PyObject_TypeCheck(o, ferry_api.AsyncDispatcher)) return counters_of((ferry_async_dispatcher *)o);
    if (PyObject_TypeCheck(o, ferry_api.SyncDispatcher)) return counters_of((ferry_sync_dispatcher *)o);
    return PyErr_Format(PyExc_TypeError, "not a dispatcher: %.200s", Py_TYPE(o)->tp_name);
}

}  // namespace

PyMethodDef wake_methods[] = {
    {"start_bursts", (PyCFunction)(void (*)())boundary<start_bursts>, METH_VARARGS | METH_KEYWORDS,
     "start_bursts(target, tally, count, entry, other_entry=None, other_share=8, min_size=16, max_size=64, "
     "seed=1) -> BurstProducer"},
    {"wake_counters", boundary<wake_counters>, METH_O, "wake_counters(dispatcher) -> {announcements, sleeps, wakeups_sent, leftovers, spurious_wakeups, waiting}"},
    {nullptr, nullptr, 0, nullptr},
};

int add_wake_types(PyObject *m) {
    TallyType.tp_name = "nimbo.utils.ferrylink._ferrytest.Tally";
    TallyType.tp_basicsize = sizeof(Tally);
    TallyType.tp_flags = Py_TPFLAGS_DEFAULT;
    TallyType.tp_new = boundary<tally_new>;
    TallyType.tp_call = boundary<tally_call>;
    TallyType.tp_as_async = &tally_async;
    TallyType.tp_methods = tally_methods;
    BurstProducerType.tp_name = "nimbo.utils.ferrylink._ferrytest.BurstProducer";
    BurstProducerType.tp_basicsize = sizeof(BurstProducer);
    BurstProducerType.tp_flags = Py_TPFLAGS_DEFAULT;
    BurstProducerType.tp_dealloc = boundary<bursts_dealloc>;
    BurstProducerType.tp_methods = bursts_methods;
    if (PyType_Ready(&TallyType) < 0 || PyType_Ready(&BurstProducerType) < 0) return -1;
    return PyModule_AddObjectRef(m, "Tally", (PyObject *)&TallyType);
}

}  // namespace ft
