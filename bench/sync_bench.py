"""SyncDispatcher end to end (native producer thread -> dispatcher thread ->
Python callback counting messages), in both wake-up modes (the datagram mode
through `push` and through `push_coalesced`), beside the floor
(a native thread that per message takes the interpreter lock, makes the bytes
and calls the callback, no queue) and what a user writes without this library
(a native producer putting bytes into queue.SimpleQueue, a threading.Thread
calling the callback), the producer taking the lock either the usual way
(PyGILState_Ensure per message) or on a kept thread state. Then CyPipe native
to native beside the bare ring queue driven through its own method table.
Messages/s; the ratio is against the first figure of its section, measured in
the same run. With --syscalls, the producer thread's system calls per message
in the datagram mode, counted by strace."""
import argparse
import os
import queue
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import header, row, syscalls_per_message  # noqa: E402

from nimbo.spsc_queue.spsc_queue import SPSCQueue  # noqa: E402
from nimbo.utils.ferrylink import _ferrytest as ft  # noqa: E402
from nimbo.utils.ferrylink import ferrylink as fl  # noqa: E402


def interleaved(fns, runs):
    """Runs each of fns once per round, `runs` rounds, so that a noisy moment
    of the machine hits every figure alike. One list of figures per fn."""
    rounds = [[fn() for fn in fns] for _ in range(runs)]
    return [list(figures) for figures in zip(*rounds)]


class Counter:
    """The callback: counts, and notes the time of the last message."""

    def __init__(self, count):
        self.count, self.seen, self.end = count, 0, 0.0
        self.done = threading.Event()

    def __call__(self, message):
        self.seen += 1
        if self.seen == self.count:
            self.end = time.perf_counter()
            self.done.set()


def floor_run(count, size):
    cb = Counter(count)
    return count / ft.locked_run(cb, count, size)


def simplequeue_run(count, size, keep_state):
    cb = Counter(count)
    q = queue.SimpleQueue()

    def consume():
        get = q.get
        while cb.seen < count:
            cb(get())

    consumer = threading.Thread(target=consume)
    consumer.start()
    start = time.perf_counter()
    ft.locked_run(q.put, count, size, keep_state)
    consumer.join()
    return count / (cb.end - start)


def dispatcher_run(count, size, nonblocking, entry="push_fn"):
    cb = Counter(count)
    d = fl.SyncDispatcher(cb, nonblocking=nonblocking, detach=False)
    d.setup()
    start = time.perf_counter()
    producer = ft.start_producer(d, entry, count, [size], retry_full=True)
    if not cb.done.wait(120):
        raise RuntimeError(f"only {cb.seen} of {count} messages arrived")
    producer.join()
    d.close()
    return count / (cb.end - start)


def pipe_run(count, size, how, variable):
    kw = dict(capacity=16384, slot_size=size, block_on_full=True)
    target = SPSCQueue(**kw) if how.startswith("ring") else fl.CyPipe(variable_size=variable, **kw)
    return count / ft.pipe_transfer(target, how, count, size)


PIPE_FORMS = [
    ("fixed slots", False, "ring", "SPSCQueue table: push / pop + release",
     [("table", "CyPipe table: push / pop + release"), ("pointers", "CyPipe _push_fn / _pop_fn + _release_fn")]),
    ("variable size", True, "ring_var", "SPSCQueue table: push_var / pop_var",
     [("table_var", "CyPipe table: push_var / pop_var"), ("pointers", "CyPipe _push_fn / _pop_fn + _release_fn")]),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--count", type=int, default=1_000_000, help="messages per SyncDispatcher run")
    ap.add_argument("--user-count", type=int, default=100_000, help="messages per PyGILState_Ensure run")
    ap.add_argument("--pipe-count", type=int, default=5_000_000, help="messages per CyPipe run")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--syscalls", action="store_true", help="only count the producer's system calls")
    args = ap.parse_args()
    n, runs = args.count, args.runs
    if args.syscalls:
        for entry in ("push", "push_coalesced"):
            calls = syscalls_per_message(__file__, ["--child", entry], n)
            print(f"datagram mode, {entry:<15} producer system calls per message: "
                  + ", ".join(f"{k} {v:.4f}" for k, v in calls.items()))
        return

    header("SyncDispatcher, 64-byte messages, against the floor", runs)
    floor_runs, waiting_runs, datagram_runs, coalesced_runs = interleaved(
        [lambda: floor_run(n, 64), lambda: dispatcher_run(n, 64, False), lambda: dispatcher_run(n, 64, True),
         lambda: dispatcher_run(n, 64, True, "push_coalesced")], runs)
    floor = row("floor: lock + bytes + call, no queue", floor_runs, "msg/s")
    waiting = row("SyncDispatcher waiting (nonblocking=False)", waiting_runs, "msg/s", floor)
    datagram = row("SyncDispatcher datagram (nonblocking=True), push", datagram_runs, "msg/s", floor)
    coalesced = row("SyncDispatcher datagram, push_coalesced", coalesced_runs, "msg/s", floor)
    print(f"target: datagram through push_coalesced >= 0.80x waiting: {coalesced / waiting:.2f}x "
          f"({coalesced / datagram:.2f}x through push)")

    header("The same, against queue.SimpleQueue + threading.Thread fed by a native thread", runs)
    user_runs, kept_runs = interleaved(
        [lambda: simplequeue_run(args.user_count, 64, False), lambda: simplequeue_run(n, 64, True)], runs)
    user = row("SimpleQueue, PyGILState_Ensure per message", user_runs, "msg/s")
    kept = row("SimpleQueue, one kept thread state", kept_runs, "msg/s", user)
    row("SyncDispatcher waiting, runs above", waiting_runs, "msg/s", user)
    row("SyncDispatcher datagram, runs above", datagram_runs, "msg/s", user)
    row("SyncDispatcher datagram push_coalesced, runs above", coalesced_runs, "msg/s", user)
    print(f"targets: waiting >= 0.70x floor: {waiting / floor:.2f}x; datagram >= 1.20x SimpleQueue: "
          f"{datagram / user:.2f}x (user's way), {datagram / kept:.2f}x (kept thread state)")

    for size in (64, 1024):
        for form, variable, ring_how, ring_name, pipes in PIPE_FORMS:
            header(f"CyPipe native to native, {size}-byte messages, {form}, against the bare ring", runs)
            ways = [(ring_how, ring_name)] + pipes
            results = interleaved([lambda how=how: pipe_run(args.pipe_count, size, how, variable)
                                   for how, _ in ways], runs)
            ring = row(ring_name, results[0], "msg/s")
            for (_, name), values in zip(pipes, results[1:]):
                row(name, values, "msg/s", ring)
    print("\ntarget: CyPipe >= 0.90x the bare ring in the same form")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:  # one run for --syscalls, in a process strace follows
        dispatcher_run(int(sys.argv[3]), 64, True, sys.argv[2])
    else:
        main()
