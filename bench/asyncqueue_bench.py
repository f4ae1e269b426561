"""Messages per second through AsyncQueue, beside asyncio.Queue.

One producer coroutine pushes 64-byte bytes objects and one consumer awaits
them; the producer yields to the loop after every batch (the ring holds 16384
messages, so it may not run ahead without bound). AsyncQueue runs with its
default ring (1024-byte slots) and with one sized for the messages (64-byte
slots, 16 times less memory touched per message). asyncio.Queue carries the
same bytes objects with put_nowait and `await get()` in the same rounds, so
both see the same machine noise. The dispatcher path hands every message to
`async def cb(b)`; its reference is asyncio.Queue with a consumer doing
`await cb(await q.get())`. A model of AsyncQueue's design written in Python
over the same native ring shows what the native side saves.

    PYTHONPATH=<tree> python bench/asyncqueue_bench.py [--messages N] [--runs R] [--uvloop]
"""
import argparse
import asyncio
import statistics
import time

from nimbo.spsc_queue.spsc_queue import SPSCQueue
from nimbo.utils.ferrylink.ferrylink import AsyncQueue

SIZE = 64
BATCH = 1024


def make_pool():
    return [i.to_bytes(8, "little") * (SIZE // 8) for i in range(BATCH)]


def batches(pool, n):
    """n messages from the pool, BATCH at a time."""
    for _ in range(n // BATCH):
        yield pool
    yield pool[: n % BATCH]


async def asyncio_queue(pool, n, with_callback):
    q = asyncio.Queue()
    seen = 0

    async def cb(b):
        nonlocal seen
        seen += 1

    async def consumer():
        get = q.get
        if with_callback:
            for _ in range(n):
                await cb(await get())
        else:
            for _ in range(n):
                await get()

    start = time.perf_counter()
    task = asyncio.ensure_future(consumer())
    put = q.put_nowait
    for batch in batches(pool, n):
        for m in batch:
            put(m)
        await asyncio.sleep(0)
    await task
    return n / (time.perf_counter() - start)


class PythonModel:
    """AsyncQueue's push_obj and pop written in Python over the same ring."""

    def __init__(self):
        self._q = SPSCQueue(1024, 16384, False, False, False)
        self._notify_cond = asyncio.Condition(asyncio.Lock())

    async def push_obj(self, msg):
        if self._q.try_push(msg) > 0:
            async with self._notify_cond:
                self._notify_cond.notify()

    async def pop(self):
        while (msg := self._q.try_pop()) is None:
            async with self._notify_cond:
                await self._notify_cond.wait()
        return msg


async def async_queue_pop(pool, n, kind, queue_type=AsyncQueue, **ring):
    q = queue_type(**ring)

    async def consumer():
        pop = q.pop
        for _ in range(n):
            await pop()

    start = time.perf_counter()
    task = asyncio.ensure_future(consumer())
    push = getattr(q, kind)
    for batch in batches(pool, n):
        for m in batch:
            await push(m)
        await asyncio.sleep(0)
    await task
    return n / (time.perf_counter() - start)


async def async_queue_dispatch(pool, n, **ring):
    q = AsyncQueue(**ring)
    done = asyncio.Event()
    seen = 0

    async def cb(b):
        nonlocal seen
        seen += 1
        if seen == n:
            done.set()

    start = time.perf_counter()
    q.start_dispatcher(cb)
    push = q.push_obj
    for batch in batches(pool, n):
        for m in batch:
            await push(m)
        await asyncio.sleep(0)
    await done.wait()
    rate = n / (time.perf_counter() - start)
    await q.shutdown()
    return rate


SLOT_64 = {"slot_size": 64}  # a ring sized for these messages
FIGURES = [
    ("asyncio.Queue put_nowait/get", lambda p, n: asyncio_queue(p, n, False)),
    ("AsyncQueue push_obj/pop", lambda p, n: async_queue_pop(p, n, "push_obj")),
    ("AsyncQueue push_buf/pop", lambda p, n: async_queue_pop(p, n, "push_buf")),
    ("AsyncQueue push_obj/pop, slot 64", lambda p, n: async_queue_pop(p, n, "push_obj", **SLOT_64)),
    ("Python model push_obj/pop", lambda p, n: async_queue_pop(p, n, "push_obj", PythonModel)),
    ("asyncio.Queue + await cb(b)", lambda p, n: asyncio_queue(p, n, True)),
    ("AsyncQueue dispatcher cb(b)", lambda p, n: async_queue_dispatch(p, n)),
    ("AsyncQueue dispatcher, slot 64", lambda p, n: async_queue_dispatch(p, n, **SLOT_64)),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--uvloop", action="store_true")
    args = parser.parse_args()
    n = args.messages
    factory = asyncio.new_event_loop
    if args.uvloop:
        import uvloop

        factory = uvloop.new_event_loop
    pool = make_pool()
    rates = {name: [] for name, _ in FIGURES}
    for _ in range(args.runs):  # rounds interleave the figures
        for name, run in FIGURES:
            rates[name].append(asyncio.run(run(pool, n), loop_factory=factory))

    loop_name = "uvloop" if args.uvloop else "asyncio"
    print(f"{n} messages of {SIZE} bytes, batches of {BATCH}, {args.runs} runs, {loop_name} loop")
    print(f"{'figure':34} {'median':>12} {'min-max':>25} {'unit':>6} {'ratio':>6}  reference")
    reference = FIGURES[0][0]
    for name, _ in FIGURES:
        if name.startswith("asyncio.Queue"):  # the rows below are measured against it
            reference = name
        r = rates[name]
        med = statistics.median(r)
        spread = f"{min(r):,.0f}-{max(r):,.0f}"
        ratio = med / statistics.median(rates[reference])
        print(f"{name:34} {med:12,.0f} {spread:>25} {'msg/s':>6} {ratio:6.2f}  {reference}")


if __name__ == "__main__":
    main()
