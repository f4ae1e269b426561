"""Native producer thread -> AsyncDispatcher -> `async def cb(b)`, through
`push` (a datagram per message) and `push_coalesced` (a datagram per sleep of
the reader), under asyncio's loop and uvloop, beside the bridge a user writes
without this library and the floor of awaiting the callback over prebuilt
bytes. Messages/s end to end (first push to last callback). With --syscalls,
the producer thread's system calls per message, counted by strace."""
import argparse
import asyncio
import os
import sys
import time

try:
    import uvloop
except ImportError:
    uvloop = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import header, repeat, row, syscalls_per_message  # noqa: E402

from nimbo.utils.ferrylink import _ferrytest as ft  # noqa: E402
from nimbo.utils.ferrylink import ferrylink as fl  # noqa: E402


ENTRIES = {False: {"push": "push", "coalesced": "push_coalesced"},
           True: {"push": "push_var", "coalesced": "push_var_coalesced"}}


def dispatcher_run(count, size, variable=False, path="push", loop="asyncio"):
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
        producer = ft.start_producer(d, ENTRIES[variable][path], count, [size], retry_full=True)
        await done
        producer.join()
        d.close()
        return count / (end - start)

    return asyncio.run(main(), loop_factory=uvloop.new_event_loop if loop == "uvloop" else None)


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
    ap.add_argument("--syscalls", action="store_true", help="only count the producer's system calls")
    args = ap.parse_args()
    loops = ["asyncio"] + (["uvloop"] if uvloop else [])
    if args.syscalls:
        for loop in loops:
            for path in ("push", "coalesced"):
                calls = syscalls_per_message(__file__, ["--child", loop, path], args.count)
                print(f"{loop:<8} {path:<10} producer system calls per message: "
                      + ", ".join(f"{k} {v:.4f}" for k, v in calls.items()))
        return
    for size in (64, 1024):
        header(f"AsyncDispatcher end to end, {size}-byte messages", args.runs)
        bridge = row("bridge: GIL + call_soon_threadsafe per message",
                     repeat(lambda: bridge_run(args.bridge_count, size), args.runs), "msg/s")
        floor = row("floor: await cb over prebuilt bytes", repeat(lambda: floor_run(args.count, size), args.runs),
                    "msg/s", bridge)
        for loop in loops:
            for variable, form in ((False, "fixed slots"), (True, "variable size")):
                push = row(f"{loop}: push ({form})",
                           repeat(lambda: dispatcher_run(args.count, size, variable, "push", loop), args.runs),
                           "msg/s", bridge)
                coalesced = row(f"{loop}: push_coalesced ({form})",
                                repeat(lambda: dispatcher_run(args.count, size, variable, "coalesced", loop),
                                       args.runs), "msg/s", bridge)
                print(f"  {loop}, {form}: push_coalesced {coalesced / push:.2f}x push (target >= 4x), "
                      f"{coalesced / floor:.2f}x the floor (goal 0.5x)")
    print("\nratio: against the bridge measured in the same run")


def child(loop, path, count):
    """One run for --syscalls, in a process of its own that strace follows."""
    dispatcher_run(count, 64, False, path, loop)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
