"""Demo: a native producer thread pushes N messages through each consumer
kind (AsyncDispatcher to an asyncio callback, SyncDispatcher in both wake-up
modes to a callback on its own thread; the dispatchers' datagram wake-ups
through `push`, one datagram per message, and through `push_coalesced`, one
per sleep of the consumer; CyPipe to a native consumer thread,
AsyncQueue between coroutines); every consumer checks order and integrity.
Prints messages/s, CPU time and what was lost."""
import argparse
import asyncio
import sys
import threading
import time

from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl


async def async_dispatcher_demo(count, size, entry):
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
            print(f"\r  {name}: {state['seen']:>12,} / {count:,} delivered", end="", file=sys.stderr, flush=True)

    name = f"AsyncDispatcher, {entry}"
    d = fl.AsyncDispatcher(cb)
    d.setup()
    ticker = asyncio.create_task(progress())
    cpu, start = time.process_time(), time.perf_counter()
    producer = ft.start_producer(d, entry, count, [size], retry_full=True)
    end = await done
    cpu = time.process_time() - cpu
    accepted, refused = await loop.run_in_executor(None, producer.join)
    ticker.cancel()
    d.close()
    print(f"\r  {name}: {state['seen']:>12,} / {count:,} delivered", file=sys.stderr)
    return {"consumer": name, "delivered": state["seen"], "corrupt": state["bad"],
            "lost": accepted - state["seen"], "refused": len(refused), "seconds": end - start, "cpu": cpu}


def sync_dispatcher_demo(count, size, nonblocking, entry="push_fn"):
    done = threading.Event()
    state = {"seen": 0, "bad": 0, "end": 0.0}
    name = f"SyncDispatcher, {entry}" if nonblocking else "SyncDispatcher, waiting"

    def cb(message):
        if not ft.check_message(message, state["seen"]):
            state["bad"] += 1
        state["seen"] += 1
        if state["seen"] == count:
            state["end"] = time.perf_counter()
            done.set()

    d = fl.SyncDispatcher(cb, nonblocking=nonblocking, detach=False)
    d.setup()
    cpu, start = time.process_time(), time.perf_counter()
    producer = ft.start_producer(d, entry, count, [size], retry_full=True)
    while not done.wait(0.25):
        print(f"\r  {name}: {state['seen']:>12,} / {count:,} delivered", end="", file=sys.stderr, flush=True)
    cpu = time.process_time() - cpu
    accepted, refused = producer.join()
    d.close()
    print(f"\r  {name}: {state['seen']:>12,} / {count:,} delivered", file=sys.stderr)
    return {"consumer": name, "delivered": state["seen"], "corrupt": state["bad"], "lost": accepted - state["seen"],
            "refused": len(refused), "seconds": state["end"] - start, "cpu": cpu}


def pipe_demo(count, size):
    pipe = fl.CyPipe()
    cpu, start = time.process_time(), time.perf_counter()
    producer = ft.start_producer(pipe, "push_fn", count, [size], retry_full=True)
    tally = ft.pipe_consume(pipe, "pointers", count, [size], 600)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    accepted, refused = producer.join()
    return {"consumer": "CyPipe (native)", "delivered": tally["received"],
            "corrupt": tally["corrupt"] + tally["wrong_size"] + tally["out_of_order"],
            "lost": accepted - tally["received"], "refused": len(refused), "seconds": seconds, "cpu": cpu}


async def async_queue_demo(count, size):
    q = fl.AsyncQueue()
    state = {"seen": 0, "bad": 0}

    async def produce():
        for i in range(count):
            await q.push_obj(ft.make_message(i, size))
            if i % 1024 == 1023:  # a full ring refuses pushes: let the consumer drain
                await asyncio.sleep(0)

    async def consume():
        try:
            while state["seen"] < count:
                if not ft.check_message(await asyncio.wait_for(q.pop(), 5), state["seen"]):
                    state["bad"] += 1
                state["seen"] += 1
        except TimeoutError:  # what never came was lost
            pass

    cpu, start = time.process_time(), time.perf_counter()
    await asyncio.gather(produce(), consume())
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    await q.shutdown()
    return {"consumer": "AsyncQueue (coroutines)", "delivered": state["seen"], "corrupt": state["bad"],
            "lost": count - state["seen"], "refused": 0, "seconds": seconds, "cpu": cpu}


def report(r, count, size):
    rate = r["delivered"] / r["seconds"]
    print(f"{r['consumer']:<32} {count:,} x {size} B: {rate:,.0f} messages/s, {r['seconds']:.2f} s wall, "
          f"{r['cpu']:.2f} s CPU (both threads), lost {r['lost']}, corrupt {r['corrupt']}, "
          f"refused pushes {r['refused']}")
    return r["lost"] == 0 and r["corrupt"] == 0 and r["refused"] == 0


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("-n", "--count", type=int, default=1_000_000)
    ap.add_argument("--size", type=int, default=64)
    args = ap.parse_args()
    runs = [
        lambda: asyncio.run(async_dispatcher_demo(args.count, args.size, "push")),
        lambda: asyncio.run(async_dispatcher_demo(args.count, args.size, "push_coalesced")),
        lambda: sync_dispatcher_demo(args.count, args.size, nonblocking=False),
        lambda: sync_dispatcher_demo(args.count, args.size, nonblocking=True, entry="push"),
        lambda: sync_dispatcher_demo(args.count, args.size, nonblocking=True, entry="push_coalesced"),
        lambda: pipe_demo(args.count, args.size),
        lambda: asyncio.run(async_queue_demo(args.count, args.size)),
    ]
    ok = [report(run(), args.count, args.size) for run in runs]
    sys.exit(0 if all(ok) else 1)


if __name__ == "__main__":
    main()
