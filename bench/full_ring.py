"""A producer faster than its consumer: the ring stays full and the producer
waits for space. The consumer does about 1 us of Python per message. Prints,
per path, the system calls per message of the whole process (strace -c -f,
less a run of no messages) for the native paths, and for AsyncQueue the
wake-ups of waiting pushes (returns from the space condition's wait) and the
consumer's signals of space (notify calls) per message. A producer woken, or
signalled, at every freed slot shows about 1 here; once per batch of space,
a small fraction.

    .venv/bin/python bench/full_ring.py [--count N]
"""
import argparse
import asyncio
import os
import subprocess
import sys
import tempfile
import threading

from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl

SIZE = 64


def work():
    """About 1 us of Python."""
    t = 0
    for i in range(12):
        t += i
    return t


def sync_waiting(count):
    done = threading.Event()
    seen = 0

    def cb(message):
        nonlocal seen
        work()
        seen += 1
        if seen == count:
            done.set()

    d = fl.SyncDispatcher(cb, nonblocking=False, block_on_full=True, detach=False)
    d.setup()
    producer = ft.start_producer(d, "push_fn", count, [SIZE])
    if count:
        done.wait()
    producer.join()
    d.close()


def pipe(count):
    p = fl.CyPipe(block_on_full=True)
    producer = ft.start_producer(p, "push_fn", count, [SIZE])
    for _ in range(count):
        ft.pipe_pop(p, "pointers")
        work()
    producer.join()


PATHS = {"SyncDispatcher waiting, block_on_full": sync_waiting, "CyPipe, block_on_full": pipe}


def syscalls(path, count):
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-f", "-c", "-U", "name,calls", "-o", out.name, sys.executable, __file__,
                        "--child", path, "--count", str(count)], check=True)
        return sum(int(p[1]) for p in (line.split() for line in out.read().splitlines())
                   if len(p) == 2 and p[1].isdigit())


async def async_queue(count):
    q = fl.AsyncQueue(block_on_full=True)
    wakeups = signals = 0
    wait, notify, notify_all = asyncio.Condition.wait, asyncio.Condition.notify, asyncio.Condition.notify_all
    producer = None

    async def counted_wait(cond):  # the producer's waits are its waits for space
        nonlocal wakeups
        r = await wait(cond)
        if asyncio.current_task() is producer:
            wakeups += 1
        return r

    def counted(method):  # the consumer's notifications are its signals of space
        def call(cond, *args):
            nonlocal signals
            if asyncio.current_task() is not producer:
                signals += 1
            return method(cond, *args)
        return call

    asyncio.Condition.wait = counted_wait
    asyncio.Condition.notify, asyncio.Condition.notify_all = counted(notify), counted(notify_all)
    try:
        message = b"x" * SIZE

        async def produce():
            for _ in range(count):
                await q.push_obj(message)

        async def consume():
            for _ in range(count):
                await q.pop()
                work()

        producer = asyncio.ensure_future(produce())
        await asyncio.gather(producer, consume())
    finally:
        asyncio.Condition.wait, asyncio.Condition.notify, asyncio.Condition.notify_all = wait, notify, notify_all
    await q.shutdown()
    return wakeups, signals


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--count", type=int, default=300_000)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        PATHS[args.child](args.count)
        return
    print(f"{'path':<46} {'per message':>12}  what")
    for name in PATHS:
        calls = syscalls(name, args.count) - syscalls(name, 0)
        print(f"{name:<46} {calls / args.count:>12.4f}  system calls (all threads)", flush=True)
    wakeups, signals = asyncio.run(async_queue(args.count))
    name = "AsyncQueue, push_obj / pop, block_on_full"
    print(f"{name:<46} {wakeups / args.count:>12.4f}  wake-ups of waiting pushes")
    print(f"{name:<46} {signals / args.count:>12.4f}  signals of space by the consumer (notify calls)")


if __name__ == "__main__":
    main()
