"""One run of one path, for bench/compare.sh: runs the named path once with
this interpreter (and so the library installed for it) and prints its rate in
messages/s, or "n/a: why" when that build lacks what the path needs (an entry
of the test module's producer, uvloop). 64-byte messages throughout.

    python bench/paths.py --list
    python bench/paths.py NAME [--scale X]

The runs reuse the runners of async_bench.py, sync_bench.py and
asyncqueue_bench.py; only the message counts are this file's, chosen so that
a run takes well under two seconds on a quiet machine (--scale multiplies
them). The test module's start_producer, locked_run and pipe_transfer have
the same signatures back to a043917, so one harness serves old and new builds.
"""
import argparse
import asyncio
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

SIZE = 64


class Missing(Exception):
    """The build under test lacks something this path needs."""


def async_dispatcher(variable, path, loop):
    def run(count):
        import async_bench

        if loop == "uvloop" and async_bench.uvloop is None:
            raise Missing("uvloop is not installed")
        return async_bench.dispatcher_run(count, SIZE, variable, path, loop)

    return run


def sync_dispatcher(nonblocking, entry):
    def run(count):
        import sync_bench

        return sync_bench.dispatcher_run(count, SIZE, nonblocking, entry)

    return run


def cypipe(count):
    import sync_bench

    return sync_bench.pipe_run(count, SIZE, "pointers", False)


def async_queue(kind, **ring):
    def run(count):
        import asyncqueue_bench as aq

        return asyncio.run(aq.async_queue_pop(aq.make_pool(), count, kind, **ring))

    return run


def async_queue_dispatcher(count):
    import asyncqueue_bench as aq

    return asyncio.run(aq.async_queue_dispatch(aq.make_pool(), count))


def async_queue_block_on_full(count):
    """The producer awaits push_obj per message and never yields otherwise:
    it runs the ring full and waits for room, the consumer awaits pop."""
    import asyncqueue_bench as aq
    from nimbo.utils.ferrylink import _ferrytest as ft
    from nimbo.utils.ferrylink.ferrylink import AsyncQueue

    async def main():
        q = AsyncQueue(block_on_full=True)
        if "_space_cond" not in ft.queue_fields(q):  # a043917: a full ring blocked the loop's own thread
            raise Missing("this AsyncQueue waits for room inside the ring, on the loop's thread")
        pool = aq.make_pool()

        async def consume():
            pop = q.pop
            for _ in range(count):
                await pop()

        loop = asyncio.get_running_loop()
        start = loop.time()
        consumer = asyncio.ensure_future(consume())
        push = q.push_obj
        for batch in aq.batches(pool, count):
            for m in batch:
                await push(m)
        await consumer
        return count / (loop.time() - start)

    return asyncio.run(main())


# name -> (run(count) -> msg/s, messages per run)
PATHS = {}
for _loop in ("asyncio", "uvloop"):
    for _name, _variable, _path, _count in (("push", False, "push", 150_000),
                                            ("push_var", True, "push", 150_000),
                                            ("push_coalesced", False, "coalesced", 500_000),
                                            ("push_var_coalesced", True, "coalesced", 500_000)):
        PATHS[f"async.{_loop}.{_name}"] = (async_dispatcher(_variable, _path, _loop), _count)
PATHS.update({
    "sync.datagram.push": (sync_dispatcher(True, "push"), 150_000),
    "sync.datagram.push_coalesced": (sync_dispatcher(True, "push_coalesced"), 500_000),
    "sync.waiting": (sync_dispatcher(False, "push_fn"), 500_000),
    "cypipe": (cypipe, 3_000_000),
    "asyncqueue.push_obj": (async_queue("push_obj"), 500_000),
    "asyncqueue.push_buf": (async_queue("push_buf"), 500_000),
    "asyncqueue.block_on_full": (async_queue_block_on_full, 500_000),
    "asyncqueue.dispatcher": (async_queue_dispatcher, 500_000),
})


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("name", nargs="?", choices=list(PATHS), metavar="NAME")
    ap.add_argument("--list", action="store_true", help="print the names, one a line")
    ap.add_argument("--scale", type=float, default=1.0, help="multiplies every path's message count")
    args = ap.parse_args()
    if args.list or not args.name:
        print("\n".join(PATHS))
        return
    run, count = PATHS[args.name]
    try:
        rate = run(max(1, int(count * args.scale)))
    except Missing as e:
        print(f"n/a: {e}")
        return
    except ValueError as e:
        if not str(e).startswith("no entry"):  # the test module names an entry this build lacks
            raise
        print(f"n/a: {e}")
        return
    print(f"{rate:.1f}")


if __name__ == "__main__":
    main()
