"""Demo: messages from a native producer thread into Python, end to end.

Each path carries N numbered messages of one size from a native thread (the
test module's producer, pushing without the interpreter lock) to a consumer
that checks every message's number and content; beside each kind of consumer,
what a user would write without this library, measured in the same run.
Prints a table (messages/s, ns per message, CPU, lost, corrupt, refused) and,
with matplotlib installed (`pip install .[demo]`), writes a bar chart of it.
Exits non-zero if any message was lost, corrupt or refused."""
import argparse
import asyncio
import os
import queue
import sys
import threading
import time
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import pyplot, save_chart  # noqa: E402

from nimbo.spsc_queue.spsc_queue import SPSCQueue  # noqa: E402
from nimbo.utils.ferrylink import _ferrytest as ft  # noqa: E402
from nimbo.utils.ferrylink import ferrylink as fl  # noqa: E402

BRIDGE_COUNT = 100_000  # the call_soon_threadsafe bridge runs at tens of thousands a second
TIMEOUT = 120.0


@dataclass
class Row:
    group: str
    path: str
    ours: bool
    count: int
    seconds: float
    cpu: float
    delivered: int
    lost: int
    corrupt: int | None  # None: the path does not look at the content
    refused: int


class Checker:
    """The consumer's side of every row: counts messages and checks each one's
    number and content (the producer writes the sequence number into it)."""

    def __init__(self, count):
        self.count, self.seen, self.bad, self.end = count, 0, 0, 0.0

    def __call__(self, message):
        if not ft.check_message(message, self.seen):
            self.bad += 1
        self.seen += 1
        if self.seen == self.count:
            self.end = time.perf_counter()
        return self.seen == self.count


class Progress:
    """A progress line on stderr, only when stderr is a terminal (in a log
    file the finished rows are the progress)."""

    def __init__(self, name, checker):
        self.name, self.checker = name, checker
        self.live = sys.stderr.isatty()

    def show(self):
        if self.live:
            print(f"\r  {self.name}: {self.checker.seen:,} / {self.checker.count:,}\033[K",
                  end="", file=sys.stderr, flush=True)

    def clear(self):
        if self.live:
            print("\r\033[K", end="", file=sys.stderr, flush=True)


class Clock:
    def __init__(self):
        self.wall, self.cpu = time.perf_counter(), time.process_time()

    def cpu_used(self):
        return time.process_time() - self.cpu


# ---- into an asyncio callback -------------------------------------------------------------

async def async_dispatcher(count, size, entry):
    loop = asyncio.get_running_loop()
    check = Checker(count)
    done = loop.create_future()
    progress = Progress(f"AsyncDispatcher, {entry}", check)

    async def cb(message):
        if check(message):
            done.set_result(None)

    d = fl.AsyncDispatcher(cb)
    d.setup()
    clock = Clock()
    producer = ft.start_producer(d, entry, count, [size], retry_full=True)
    while not done.done():
        await asyncio.wait([done], timeout=0.25)
        progress.show()
        if time.perf_counter() - clock.wall > TIMEOUT:
            break
    cpu = clock.cpu_used()
    d.close()  # the producer is done unless the run timed out; then this stops it
    accepted, refused = await loop.run_in_executor(None, producer.join)
    progress.clear()
    return Row("native thread -> async def callback", f"AsyncDispatcher, {entry}", True, count,
               (check.end or time.perf_counter()) - clock.wall, cpu, check.seen, accepted - check.seen, check.bad,
               len(refused))


async def call_soon_threadsafe_bridge(count, size):
    """The usual bridge: a native thread takes the lock and calls
    loop.call_soon_threadsafe(queue.put_nowait, message) per message."""
    loop = asyncio.get_running_loop()
    check = Checker(count)
    messages = asyncio.Queue()

    async def cb(message):
        check(message)

    clock = Clock()
    producer = ft.start_bridge(loop.call_soon_threadsafe, messages.put_nowait, count, size)
    try:
        async with asyncio.timeout(TIMEOUT):
            while check.seen < count:
                await cb(await messages.get())
    except TimeoutError:  # what never came was lost
        pass
    cpu = clock.cpu_used()
    accepted, refused = await loop.run_in_executor(None, producer.join)
    return Row("native thread -> async def callback", "instead: GIL + call_soon_threadsafe per message", False,
               count, (check.end or time.perf_counter()) - clock.wall, cpu, check.seen, accepted - check.seen,
               check.bad, len(refused))


# ---- into a Python callback on a thread of its own ------------------------------------------

def sync_dispatcher(count, size, nonblocking, entry):
    check = Checker(count)
    done = threading.Event()
    name = f"SyncDispatcher datagram, {entry}" if nonblocking else "SyncDispatcher waiting (nonblocking=False)"
    progress = Progress(name, check)

    def cb(message):
        if check(message):
            done.set()

    d = fl.SyncDispatcher(cb, nonblocking=nonblocking, detach=False)
    d.setup()
    clock = Clock()
    producer = ft.start_producer(d, entry, count, [size], retry_full=True)
    while not done.wait(0.25) and time.perf_counter() - clock.wall < TIMEOUT:
        progress.show()
    cpu = clock.cpu_used()
    d.close()  # the producer is done unless the run timed out; then this stops it
    accepted, refused = producer.join()
    progress.clear()
    return Row("native thread -> callback on a thread", name, True, count,
               (check.end or time.perf_counter()) - clock.wall, cpu, check.seen, accepted - check.seen, check.bad,
               len(refused))


def simple_queue_bridge(count, size):
    """The usual hand-off: a native thread takes the lock per message
    (PyGILState_Ensure) and puts the bytes into queue.SimpleQueue; a
    threading.Thread takes them out and calls the callback."""
    check = Checker(count)
    messages = queue.SimpleQueue()

    def consume():
        try:
            while check.seen < count:
                check(messages.get(timeout=TIMEOUT))
        except queue.Empty:  # what never came was lost
            pass

    consumer = threading.Thread(target=consume)
    clock = Clock()
    consumer.start()
    ft.locked_run(messages.put, count, size, False)  # returns when every message is put
    consumer.join()
    return Row("native thread -> callback on a thread", "instead: GIL per message + queue.SimpleQueue", False,
               count, (check.end or time.perf_counter()) - clock.wall, clock.cpu_used(), check.seen,
               count - check.seen, check.bad, 0)


# ---- native to native ---------------------------------------------------------------------

def pipe(count, size):
    pipe = fl.CyPipe()
    clock = Clock()
    producer = ft.start_producer(pipe, "push_fn", count, [size], retry_full=True)
    tally = ft.pipe_consume(pipe, "pointers", count, [size], TIMEOUT)
    seconds, cpu = time.perf_counter() - clock.wall, clock.cpu_used()
    accepted, refused = producer.join()
    return Row("native thread -> native thread", "CyPipe, _push_fn / _pop_fn", True, count, seconds, cpu,
               tally["received"], accepted - tally["received"],
               tally["corrupt"] + tally["wrong_size"] + tally["out_of_order"], len(refused))


def bare_ring(count, size):
    """The ring CyPipe wraps, driven through its own table: what a native
    programmer gets without the pipe. It counts whole messages but does not
    check their content."""
    clock = Clock()
    seconds = ft.pipe_transfer(SPSCQueue(slot_size=2048, capacity=16384), "ring", count, size)  # raises on loss
    return Row("native thread -> native thread", "reference: the bare SPSCQueue table", False, count, seconds,
               clock.cpu_used(), count, 0, None, 0)


# ---- coroutine to coroutine, one thread -----------------------------------------------------

async def async_queue(count, size):
    q = fl.AsyncQueue(block_on_full=True)  # a full ring makes the producer wait
    return await coroutine_pair("AsyncQueue, push_obj / pop (block_on_full)", True, count, size,
                                q.push_obj, q.pop, q.shutdown)


async def asyncio_queue(count, size):
    q = asyncio.Queue(maxsize=16384)  # the same room as AsyncQueue's ring

    async def put(message):
        await q.put(message)
        return 1

    async def nothing():
        pass

    return await coroutine_pair("instead: asyncio.Queue, put / get", False, count, size, put, q.get, nothing)


async def coroutine_pair(path, ours, count, size, push, pop, shutdown):
    """One producer coroutine awaiting push per message (the result counts:
    anything but 1 is refused), one consumer awaiting pop; both on this thread."""
    check = Checker(count)
    refused = 0

    async def produce():
        nonlocal refused
        for i in range(count):
            if await push(ft.make_message(i, size)) != 1:
                refused += 1

    async def consume():
        while check.seen < count - refused:
            check(await pop())

    clock = Clock()
    try:
        async with asyncio.timeout(TIMEOUT):
            await asyncio.gather(produce(), consume())
    except TimeoutError:  # what never came was lost
        pass
    seconds, cpu = (check.end or time.perf_counter()) - clock.wall, clock.cpu_used()
    await shutdown()
    return Row("coroutine -> coroutine, one thread", path, ours, count, seconds, cpu, check.seen,
               count - refused - check.seen, check.bad, refused)


# ---- the table and the chart ----------------------------------------------------------------

COLUMNS = f"{'path':<50} {'messages':>10} {'messages/s':>12} {'ns/message':>11} {'CPU s':>7} " \
          f"{'lost':>6} {'corrupt':>8} {'refused':>8}"


def print_row(r):
    rate = r.delivered / r.seconds if r.seconds > 0 else 0.0
    ns = r.seconds * 1e9 / r.delivered if r.delivered else float("inf")
    corrupt = "-" if r.corrupt is None else f"{r.corrupt:,}"
    print(f"  {r.path:<48} {r.count:>10,} {rate:>12,.0f} {ns:>11,.0f} {r.cpu:>7.2f} "
          f"{r.lost:>6,} {corrupt:>8} {r.refused:>8,}", flush=True)


NOTES = """
messages/s and ns/message: wall time from the first push to the last message checked by the consumer.
CPU s: CPU time of the whole process meanwhile, every thread together, so it can exceed the wall time.
lost: accepted by the path but never delivered. corrupt: wrong number or content ("-": not checked).
refused: pushes the path did not accept (a full ring is retried or waited for; too large or closed count).
The call_soon_threadsafe reference runs {bridge:,} messages: at its rate more would only lengthen the demo.
The bare ring's consumer counts messages without checking them, so part of its lead over CyPipe is the check.
The coroutine rows run producer and consumer on one thread and make and check every message in Python, so
they are lower than bench/asyncqueue_bench.py's figures, which push prebuilt messages and check nothing;
compare AsyncQueue with asyncio.Queue on the line below it, not with the native producer rows."""


def write_chart(rows, path, count, size):
    plt = pyplot()
    if plt is None:
        return
    rows = list(reversed(rows))  # the first row at the top
    rates = [r.delivered / r.seconds for r in rows]
    fig, ax = plt.subplots(figsize=(10, 0.42 * len(rows) + 1.6))
    bars = ax.barh([r.path for r in rows], rates, color=["#1f77b4" if r.ours else "#b0b0b0" for r in rows])
    ax.set_xscale("log")
    ax.set_xlim(min(rates) / 2, max(rates) * 6)
    for i in range(1, len(rows)):  # a line between the kinds of consumer
        if rows[i].group != rows[i - 1].group:
            ax.axhline(i - 0.5, color="#666666", linewidth=0.6, linestyle="--")
    for bar, rate in zip(bars, rates):
        ax.text(rate * 1.08, bar.get_y() + bar.get_height() / 2, f"{rate:,.0f}/s", va="center", fontsize=8)
    ax.set_xlabel("messages per second, end to end (log scale)")
    ax.set_title(f"Messages/s end to end, {count:,} x {size}-byte messages, every message checked\n"
                 "blue: ferrylink; grey: what a user would write instead (or the bare ring), same run", fontsize=10)
    ax.tick_params(axis="y", labelsize=8)
    fig.tight_layout()
    save_chart(plt, fig, path)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("-n", "--count", type=int, default=1_000_000, help="messages per row")
    ap.add_argument("--size", type=int, default=64, help="bytes per message (at least 16)")
    ap.add_argument("--chart", default="bench/out/demo.png", help="where the bar chart goes")
    ap.add_argument("--no-chart", action="store_true")
    args = ap.parse_args()
    n, size, bridge = args.count, args.size, min(args.count, BRIDGE_COUNT)
    runs = [
        lambda: asyncio.run(async_dispatcher(n, size, "push")),
        lambda: asyncio.run(async_dispatcher(n, size, "push_coalesced")),
        lambda: asyncio.run(call_soon_threadsafe_bridge(bridge, size)),
        lambda: sync_dispatcher(n, size, False, "push_fn"),
        lambda: sync_dispatcher(n, size, True, "push"),
        lambda: sync_dispatcher(n, size, True, "push_coalesced"),
        lambda: simple_queue_bridge(n, size),
        lambda: pipe(n, size),
        lambda: bare_ring(n, size),
        lambda: asyncio.run(async_queue(n, size)),
        lambda: asyncio.run(asyncio_queue(n, size)),
    ]
    print(f"ferrylink demo: messages per second from a producer to a consumer that checks every message, "
          f"end to end;\n{n:,} messages of {size} bytes per path, each kind of consumer beside what a user "
          f"would write instead, measured in the same run ({os.cpu_count()} CPUs)\n")
    print(COLUMNS)
    rows, group = [], None
    for run in runs:
        r = run()
        if r.group != group:
            group = r.group
            print(group)
        print_row(r)
        rows.append(r)
    print(NOTES.format(bridge=bridge))
    if not args.no_chart:
        write_chart(rows, args.chart, n, size)
    sys.exit(0 if all(r.lost == 0 and not r.corrupt and r.refused == 0 for r in rows) else 1)


if __name__ == "__main__":
    main()
