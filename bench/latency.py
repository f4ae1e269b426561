"""Delay and CPU per message at fixed rates, for every path and what a user
would write instead (the references of bench/demo.py).

A producer paced at each rate (default 1 k, 10 k and 100 k msg/s) stamps each
64-byte message with the monotonic clock's nanoseconds just before pushing it;
the consumer's callback reads time.monotonic_ns() (the same clock) and notes
the difference. The producers of the dispatchers, CyPipe and the two bridges
are native threads of the test module (start_producer, start_bridge and
locked_run with a rate) that sleep between messages without the interpreter
lock and, after waking late, send the messages due meanwhile back to back.
AsyncQueue and asyncio.Queue are for coroutines on one loop, so their
producer is a coroutine on the consumer's loop, sleeping with asyncio.sleep.

Prints per path and rate: the rate delivered, the p50/p99/p99.9 delay from
push to callback (CyPipe: to its native consumer's pop), the process's CPU
time per message (time.process_time over the cell, every thread), and the
part of it the paced producer thread used where it is a thread of its own.
Each cell runs for --seconds (at least --min-messages); the first 1% of its
messages is left out as warm-up. With matplotlib, writes a chart to
bench/out/latency.png.

    .venv/bin/python bench/latency.py [--rates 1000,10000,100000] [--paths PATTERN,...]
"""
import argparse
import asyncio
import fnmatch
import os
import queue
import sys
import threading
import time
from array import array
from dataclasses import dataclass

try:
    import uvloop
except ImportError:
    uvloop = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import pyplot, save_chart  # noqa: E402

from nimbo.utils.ferrylink import _ferrytest as ft  # noqa: E402
from nimbo.utils.ferrylink import ferrylink as fl  # noqa: E402

SIZE = 64
PAD = bytes(SIZE - 8)


class Delays:
    """The consumer's side: notes each message's delay from its stamp; true
    once `count` messages have come."""

    def __init__(self, count):
        self.count = count
        self.values = array("q")
        self.note = self.values.append

    def __call__(self, message, now=time.monotonic_ns, from_bytes=int.from_bytes):
        self.note(now() - from_bytes(message[:8], "little"))
        return len(self.values) == self.count


@dataclass
class Cell:
    delays: array
    seconds: float
    cpu: float
    producer_cpu: float | None  # the paced producer thread's own CPU time, when it is a thread of its own


class Clock:
    def __init__(self):
        self.wall, self.cpu = time.perf_counter(), time.process_time()

    def cell(self, delays, producer_cpu=None):
        return Cell(delays, time.perf_counter() - self.wall, time.process_time() - self.cpu, producer_cpu)


# ---- ferrylink ----------------------------------------------------------------------------

def async_dispatcher(loop_name, entry):
    async def main(count, rate, timeout):
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        delays = Delays(count)

        async def cb(message):
            if delays(message):
                done.set_result(None)

        d = fl.AsyncDispatcher(cb)
        d.setup()
        clock = Clock()
        producer = ft.start_producer(d, entry, count, [SIZE], retry_full=True, rate=rate)
        await asyncio.wait([done], timeout=timeout)
        cell = clock.cell(delays.values)
        d.close()  # stops the producer if the cell timed out
        cell.producer_cpu = await loop.run_in_executor(None, producer.cpu_seconds)
        return cell

    def run(count, rate, timeout):
        factory = uvloop.new_event_loop if loop_name == "uvloop" else None
        return asyncio.run(main(count, rate, timeout), loop_factory=factory)

    return run


def sync_dispatcher(nonblocking, entry):
    def run(count, rate, timeout):
        delays = Delays(count)
        done = threading.Event()

        def cb(message):
            if delays(message):
                done.set()

        d = fl.SyncDispatcher(cb, nonblocking=nonblocking, detach=False)
        d.setup()
        clock = Clock()
        producer = ft.start_producer(d, entry, count, [SIZE], retry_full=True, rate=rate)
        done.wait(timeout)
        cell = clock.cell(delays.values)
        d.close()
        cell.producer_cpu = producer.cpu_seconds()
        return cell

    return run


def cypipe(count, rate, timeout):
    pipe = fl.CyPipe()
    clock = Clock()
    producer = ft.start_producer(pipe, "push_fn", count, [SIZE], retry_full=True, rate=rate)
    delays = array("Q", ft.pipe_delays(pipe, "pointers", count, timeout))
    cell = clock.cell(delays)
    ft.pipe_close_queue(pipe)
    cell.producer_cpu = producer.cpu_seconds()
    return cell


async def paced_coroutine(push, count, rate):
    """A producer coroutine on the consumer's loop, paced like the native one.
    It sleeps only when half a millisecond or more ahead: the loop's timers
    are not finer than that, and a sleep per message would cap the rate."""
    period = 1e9 / rate
    due = time.monotonic_ns()
    now = time.monotonic_ns
    for _ in range(count):
        due += period
        if due - now() >= 500_000:
            await asyncio.sleep((due - now()) / 1e9)
        await push(now().to_bytes(8, "little") + PAD)


def coroutine_pair(make):
    async def main(count, rate, timeout):
        push, pop = make()
        delays = Delays(count)

        async def consume():
            while not delays(await pop()):
                pass

        clock = Clock()
        consumer = asyncio.ensure_future(consume())
        producer = asyncio.ensure_future(paced_coroutine(push, count, rate))
        await asyncio.wait([consumer], timeout=timeout)
        cell = clock.cell(delays.values)
        for task in (producer, consumer):
            task.cancel()
        await asyncio.gather(producer, consumer, return_exceptions=True)
        return cell

    return lambda count, rate, timeout: asyncio.run(main(count, rate, timeout))


def async_queue():
    q = fl.AsyncQueue(block_on_full=True)
    return q.push_obj, q.pop


# ---- what a user writes instead -----------------------------------------------------------

def call_soon_threadsafe_bridge(count, rate, timeout):
    async def main():
        loop = asyncio.get_running_loop()
        messages = asyncio.Queue()
        delays = Delays(count)

        async def cb(message):
            return delays(message)

        async def consume():
            while not await cb(await messages.get()):
                pass

        clock = Clock()
        producer = ft.start_bridge(loop.call_soon_threadsafe, messages.put_nowait, count, SIZE, rate)
        consumer = asyncio.ensure_future(consume())
        await asyncio.wait([consumer], timeout=timeout)
        cell = clock.cell(delays.values)
        consumer.cancel()
        await loop.run_in_executor(None, producer.join)
        return cell

    return asyncio.run(main())


def simple_queue_bridge(count, rate, timeout):
    delays = Delays(count)
    messages = queue.SimpleQueue()

    def consume():
        try:
            while not delays(messages.get(timeout=timeout)):
                pass
        except queue.Empty:
            pass

    consumer = threading.Thread(target=consume)
    clock = Clock()
    consumer.start()
    ft.locked_run(messages.put, count, SIZE, False, rate)  # returns when every message is put
    consumer.join()
    return clock.cell(delays.values)


def asyncio_queue():
    q = asyncio.Queue(maxsize=16384)  # the same room as AsyncQueue's ring
    return q.put, q.get


PATHS = {  # key -> (row name, ours, run(count, rate, timeout) -> Cell)
    "async.asyncio.push": ("AsyncDispatcher push, asyncio", True, async_dispatcher("asyncio", "push")),
    "async.asyncio.push_coalesced": ("AsyncDispatcher push_coalesced, asyncio", True,
                                     async_dispatcher("asyncio", "push_coalesced")),
    "async.uvloop.push": ("AsyncDispatcher push, uvloop", True, async_dispatcher("uvloop", "push")),
    "async.uvloop.push_coalesced": ("AsyncDispatcher push_coalesced, uvloop", True,
                                    async_dispatcher("uvloop", "push_coalesced")),
    "instead.call_soon_threadsafe": ("instead: GIL + call_soon_threadsafe", False, call_soon_threadsafe_bridge),
    "sync.waiting": ("SyncDispatcher waiting", True, sync_dispatcher(False, "push_fn")),
    "sync.datagram.push": ("SyncDispatcher datagram, push", True, sync_dispatcher(True, "push")),
    "sync.datagram.push_coalesced": ("SyncDispatcher datagram, push_coalesced", True,
                                     sync_dispatcher(True, "push_coalesced")),
    "instead.simplequeue": ("instead: GIL per message + SimpleQueue", False, simple_queue_bridge),
    "cypipe": ("CyPipe, _push_fn / _pop_fn (native consumer)", True, cypipe),
    "asyncqueue": ("AsyncQueue push_obj / pop (coroutines)", True, coroutine_pair(async_queue)),
    "instead.asyncio_queue": ("instead: asyncio.Queue put / get", False, coroutine_pair(asyncio_queue)),
}


# ---- the table and the chart --------------------------------------------------------------

def percentile(ordered, q):
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


@dataclass
class Result:
    key: str
    rate: int
    delivered: int
    got_rate: float
    p50: float  # microseconds
    p99: float
    p999: float
    cpu_us: float  # per message
    producer_us: float | None


def summarize(key, rate, cell):
    n = len(cell.delays)
    kept = sorted(cell.delays[n // 100:])
    if not kept:
        return Result(key, rate, n, 0.0, *(float("nan"),) * 3, float("nan"), None)
    return Result(key, rate, n, n / cell.seconds, percentile(kept, 0.5) / 1e3, percentile(kept, 0.99) / 1e3,
                  percentile(kept, 0.999) / 1e3, cell.cpu * 1e6 / n,
                  None if cell.producer_cpu is None else cell.producer_cpu * 1e6 / n)


HEADER = (f"{'path':<46} {'rate/s':>8} {'got/s':>9} {'p50 us':>9} {'p99 us':>9} {'p99.9 us':>9} "
          f"{'CPU us/msg':>11} {'producer':>9}")


def print_result(r):
    prod = "-" if r.producer_us is None else f"{r.producer_us:.2f}"
    print(f"{PATHS[r.key][0]:<46} {r.rate:>8,} {r.got_rate:>9,.0f} {r.p50:>9,.1f} {r.p99:>9,.1f} {r.p999:>9,.1f} "
          f"{r.cpu_us:>11.2f} {prod:>9}", flush=True)


def write_chart(results, rates, path):
    plt = pyplot()
    if plt is None:
        return
    keys = list(dict.fromkeys(r.key for r in results))
    by = {(r.key, r.rate): r for r in results}
    fig, axes = plt.subplots(1, 2, figsize=(13, 0.5 * len(keys) * len(rates) / 2 + 2), sharey=True)
    height = 0.8 / len(rates)
    for j, rate in enumerate(rates):
        ys = [i + j * height for i in range(len(keys))]
        for ax, field in zip(axes, ("p99", "cpu_us")):
            values = [getattr(by[k, rate], field) if (k, rate) in by else 0 for k in keys]
            ax.barh(ys, values, height=height, label=f"{rate:,}/s")
    axes[0].set_yticks([i + 0.4 - height / 2 for i in range(len(keys))], [PATHS[k][0] for k in keys], fontsize=8)
    axes[0].invert_yaxis()
    axes[0].set_xscale("log")
    axes[0].set_xlabel("p99 delay from push to callback, us (log scale)")
    axes[1].set_xlabel("process CPU per message, us")
    axes[0].legend(fontsize=8)
    fig.suptitle(f"{SIZE}-byte messages from a paced producer: delay and CPU at fixed rates", fontsize=10)
    fig.tight_layout()
    save_chart(plt, fig, path)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rates", default="1000,10000,100000", help="messages/s, comma-separated")
    ap.add_argument("--seconds", type=float, default=2.0, help="per cell")
    ap.add_argument("--min-messages", type=int, default=3000, help="per cell, whatever the rate")
    ap.add_argument("--paths", default="*", help="comma-separated keys or shell patterns: " + ", ".join(PATHS))
    ap.add_argument("--chart", default="bench/out/latency.png")
    ap.add_argument("--no-chart", action="store_true")
    args = ap.parse_args()
    rates = [int(r) for r in args.rates.split(",")]
    keys = [k for k in PATHS if any(fnmatch.fnmatch(k, p) for p in args.paths.split(","))]
    if uvloop is None:
        keys = [k for k in keys if ".uvloop." not in k]
    print(f"{SIZE}-byte messages, {args.seconds:g} s (at least {args.min_messages:,} messages) per cell, "
          f"{os.cpu_count()} CPUs\n\n{HEADER}")
    results = []
    for key in keys:
        for rate in rates:
            count = max(args.min_messages, int(rate * args.seconds))
            cell = PATHS[key][2](count, rate, 3 * count / rate + 10)
            results.append(summarize(key, rate, cell))
            print_result(results[-1])
            if results[-1].delivered < count:
                print(f"  only {results[-1].delivered:,} of {count:,} messages came in time")
    print("\ngot/s: messages delivered per second of the cell (below the rate: the path did not keep up).\n"
          "p50/p99/p99.9: delay from the stamp taken just before the push to the consumer's callback.\n"
          "CPU us/msg: the whole process's CPU time over the cell per message; producer: the part of it\n"
          "the paced native producer thread used (\"-\": its thread runs Python as part of the path, or the\n"
          "producer is a coroutine on the consumer's loop).")
    if not args.no_chart:
        write_chart(results, rates, args.chart)


if __name__ == "__main__":
    main()
