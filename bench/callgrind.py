"""Instructions per message, counted by callgrind: exact and repeatable on a
busy machine, unlike a clock.

    python bench/callgrind.py [--python PY ...] [--small N] [--large N] [FIGURE ...]

Each figure runs under valgrind with a small and a large message count, in a
fresh process of each interpreter given (default: this one, and so the
library installed for it): the difference of the totals over the difference
of the counts leaves out start-up and set-up. No figure runs two threads at
once, so nothing depends on how valgrind schedules them:
- "AsyncDispatcher drain ...": a native producer fills the ring (one datagram
  per message for push; none for push_coalesced, since the reader has not
  announced a wait) and is joined before the reader task first runs; the
  reader then delivers every message to `async def cb(b)`. Counted: the main
  thread (the loop's).
- "SyncDispatcher drain ...": the producer fills the ring before setup()
  (no datagrams: no socket yet), then the dispatcher's thread delivers every
  message to a Python callback while the main thread waits. Counted: every
  thread, the producer's pushes included.
- The AsyncQueue figures of asyncqueue_bench.py: push and pop on one loop.
  Counted: the main thread.
bench/compare.sh gives the clock figures of the same code with its producer
running alongside.
"""
import argparse
import asyncio
import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SIZE = 64


def drain(variable, entry, loop_name):
    def run(count):
        from nimbo.utils.ferrylink import _ferrytest as ft
        from nimbo.utils.ferrylink import ferrylink as fl

        async def main():
            done = asyncio.get_running_loop().create_future()
            seen = 0

            async def cb(b):
                nonlocal seen
                seen += 1
                if seen == count:
                    done.set_result(None)

            d = fl.AsyncDispatcher(cb, capacity=count, variable_size=variable)
            d.setup()
            ft.start_producer(d, entry, count, [SIZE]).join()
            await done
            d.close()

        if loop_name == "uvloop":
            import uvloop

            asyncio.run(main(), loop_factory=uvloop.new_event_loop)
        else:
            asyncio.run(main())

    return run


def sync_drain(nonblocking, entry):
    def run(count):
        from sync_bench import Counter

        from nimbo.utils.ferrylink import _ferrytest as ft
        from nimbo.utils.ferrylink import ferrylink as fl

        cb = Counter(count)
        d = fl.SyncDispatcher(cb, capacity=count, nonblocking=nonblocking, detach=False)
        ft.start_producer(d, entry, count, [SIZE]).join()
        d.setup()
        if not cb.done.wait(600):
            raise RuntimeError(f"only {cb.seen} of {count} messages arrived")
        d.close()

    return run


def async_queue(name):
    def run(count):
        from asyncqueue_bench import FIGURES, make_pool

        asyncio.run(dict(FIGURES)[name](make_pool(), count))

    return run


# name -> (run(count), count every thread rather than the main one only)
FIGURES = {}
for _loop in ("asyncio", "uvloop"):
    for _entry, _variable in (("push", False), ("push_coalesced", False), ("push_var", True),
                              ("push_var_coalesced", True)):
        FIGURES[f"AsyncDispatcher drain {_loop} {_entry}"] = (drain(_variable, _entry, _loop), False)
FIGURES.update({
    "SyncDispatcher drain nonblocking push": (sync_drain(True, "push"), True),
    "SyncDispatcher drain nonblocking push_coalesced": (sync_drain(True, "push_coalesced"), True),
    "SyncDispatcher drain waiting _push_fn": (sync_drain(False, "push_fn"), True),
})
for _name in ("AsyncQueue push_obj/pop", "AsyncQueue push_buf/pop", "AsyncQueue dispatcher cb(b)"):
    FIGURES[_name] = (async_queue(_name), False)


def instructions(python, name, n):
    with tempfile.TemporaryDirectory() as tmp:
        cmd = ["valgrind", "--tool=callgrind", "--separate-threads=yes", f"--callgrind-out-file={tmp}/out",
               python, os.path.abspath(__file__), "--inner", name, str(n)]
        subprocess.run(cmd, capture_output=True, text=True, check=True, cwd=HERE)
        files = glob.glob(f"{tmp}/out-*") if FIGURES[name][1] else [f"{tmp}/out-01"]
        total = 0
        for file in files:
            with open(file) as f:
                total += int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M).group(1))
        return total


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--python", action="append", help="an interpreter with the library to count (repeatable)")
    ap.add_argument("--small", type=int, default=2_000)
    ap.add_argument("--large", type=int, default=12_000)
    ap.add_argument("--inner", nargs=2, help=argparse.SUPPRESS)
    ap.add_argument("figures", nargs="*", metavar="FIGURE", help="default: all of " + ", ".join(FIGURES))
    args = ap.parse_args()
    for name in args.figures:
        if name not in FIGURES:
            ap.error(f"no figure {name!r}")
    if args.inner:
        return FIGURES[args.inner[0]][0](int(args.inner[1]))
    pythons = args.python or [sys.executable]
    print(f"instructions per message (callgrind, {args.small} and {args.large} messages), per interpreter")
    print(f"{'':50}" + "".join(f"{i:>12}" for i in range(1, len(pythons) + 1)))
    for name in args.figures or FIGURES:
        cells = []
        for python in pythons:
            small = instructions(python, name, args.small)
            large = instructions(python, name, args.large)
            cells.append((large - small) / (args.large - args.small))
        print(f"{name:50}" + "".join(f"{c:12,.0f}" for c in cells), flush=True)


if __name__ == "__main__":
    main()
