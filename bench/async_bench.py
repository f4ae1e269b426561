"""Native producer thread -> AsyncDispatcher -> `async def cb(b)`, beside the
bridge a user writes without this library and the floor of awaiting the
callback over prebuilt bytes. Messages/s end to end (first push to last
callback)."""
import argparse
import asyncio
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import header, repeat, row  # noqa: E402

from nimbo.utils.ferrylink import _ferrytest as ft  # noqa: E402
from nimbo.utils.ferrylink import ferrylink as fl  # noqa: E402


def dispatcher_run(count, size, variable=False):
    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        seen = 0
        end = 0.0

        async def cb(b):
            nonlocal seen, end
            seen += 1
            if seen == count:
                end = time.perf_counter()
                done.set_result(None)

        d = fl.AsyncDispatcher(cb, variable_size=variable)
        d.setup()
        start = time.perf_counter()
        producer = ft.start_producer(d, "push_fn", count, [size], retry_full=True)
        await done
        producer.join()
        d.close()
        return count / (end - start)

    return asyncio.run(main())


def bridge_run(count, size):
    async def main():
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()
        seen = 0

        async def cb(b):
            nonlocal seen
            seen += 1

        start = time.perf_counter()
        producer = ft.start_bridge(loop.call_soon_threadsafe, queue.put_nowait, count, size)
        while seen < count:
            await cb(await queue.get())
        end = time.perf_counter()
        await loop.run_in_executor(None, producer.join)
        return count / (end - start)

    return asyncio.run(main())


def floor_run(count, size):
    async def main():
        messages = [ft.make_message(i, size) for i in range(count)]
        seen = 0

        async def cb(b):
            nonlocal seen
            seen += 1

        start = time.perf_counter()
        for m in messages:
            await cb(m)
        return count / (time.perf_counter() - start)

    return asyncio.run(main())


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--count", type=int, default=1_000_000)
    ap.add_argument("--bridge-count", type=int, default=100_000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    for size in (64, 1024):
        header(f"AsyncDispatcher end to end, {size}-byte messages", args.runs)
        bridge = row("bridge: GIL + call_soon_threadsafe per message",
                     repeat(lambda: bridge_run(args.bridge_count, size), args.runs), "msg/s")
        row("floor: await cb over prebuilt bytes", repeat(lambda: floor_run(args.count, size), args.runs),
            "msg/s", bridge)
        row("AsyncDispatcher (fixed slots)", repeat(lambda: dispatcher_run(args.count, size), args.runs),
            "msg/s", bridge)
        row("AsyncDispatcher (variable size)", repeat(lambda: dispatcher_run(args.count, size, True), args.runs),
            "msg/s", bridge)
    print("\nratio: against the bridge measured in the same run")


if __name__ == "__main__":
    main()
