"""Demo: a native producer thread pushes N messages into an AsyncDispatcher;
the asyncio callback checks order and integrity. Prints messages/s, CPU time
and what was lost."""
import argparse
import asyncio
import sys
import time

from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl


async def async_dispatcher_demo(count, size):
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    state = {"seen": 0, "bad": 0}

    async def cb(message):
        if not ft.check_message(message, state["seen"]):
            state["bad"] += 1
        state["seen"] += 1
        if state["seen"] == count:
            done.set_result(time.perf_counter())

    async def progress():
        while True:
            await asyncio.sleep(0.25)
            print(f"\r  AsyncDispatcher: {state['seen']:>12,} / {count:,} delivered", end="", file=sys.stderr,
                  flush=True)

    d = fl.AsyncDispatcher(cb)
    d.setup()
    ticker = asyncio.create_task(progress())
    cpu, start = time.process_time(), time.perf_counter()
    producer = ft.start_producer(d, "push_fn", count, [size], retry_full=True)
    end = await done
    cpu = time.process_time() - cpu
    accepted, refused = await loop.run_in_executor(None, producer.join)
    ticker.cancel()
    d.close()
    print(f"\r  AsyncDispatcher: {state['seen']:>12,} / {count:,} delivered", file=sys.stderr)
    return {"consumer": "AsyncDispatcher", "delivered": state["seen"], "corrupt": state["bad"],
            "lost": accepted - state["seen"], "refused": len(refused), "seconds": end - start, "cpu": cpu}


def report(r, count, size):
    rate = r["delivered"] / r["seconds"]
    print(f"{r['consumer']:<16} {count:,} x {size} B: {rate:,.0f} messages/s, {r['seconds']:.2f} s wall, "
          f"{r['cpu']:.2f} s CPU (both threads), lost {r['lost']}, corrupt {r['corrupt']}, "
          f"refused pushes {r['refused']}")
    return r["lost"] == 0 and r["corrupt"] == 0 and r["refused"] == 0


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("-n", "--count", type=int, default=1_000_000)
    ap.add_argument("--size", type=int, default=64)
    args = ap.parse_args()
    ok = report(asyncio.run(async_dispatcher_demo(args.count, args.size)), args.count, args.size)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
