"""Instructions per message of the figures of asyncqueue_bench.py, counted by
callgrind (exact and repeatable on a busy machine, unlike a clock).

Each figure runs twice under valgrind, with a small and a large message
count, in a fresh interpreter; the difference of the two totals divided by
the difference of the counts leaves out start-up and set-up.

    PYTHONPATH=<tree> python bench/asyncqueue_callgrind.py [--small N] [--large N] [figure ...]
"""
import argparse
import asyncio
import os
import re
import subprocess
import sys
import tempfile

from asyncqueue_bench import FIGURES, make_pool

DEFAULT = ["asyncio.Queue put_nowait/get", "AsyncQueue push_obj/pop", "AsyncQueue push_buf/pop",
           "asyncio.Queue + await cb(b)", "AsyncQueue dispatcher cb(b)"]


def run_one(name, n):
    """The figure's work alone (called inside valgrind)."""
    run = dict(FIGURES)[name]
    asyncio.run(run(make_pool(), n))


def instructions(name, n):
    with tempfile.TemporaryDirectory() as tmp:
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/out", sys.executable, __file__,
               "--inner", name, str(n)]
        done = subprocess.run(cmd, capture_output=True, text=True, env=os.environ, check=True)
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", type=int, default=20_000)
    parser.add_argument("--large", type=int, default=120_000)
    parser.add_argument("--inner", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("figures", nargs="*", default=DEFAULT)
    args = parser.parse_args()
    if args.inner:
        return run_one(args.inner[0], int(args.inner[1]))
    print(f"instructions per message (callgrind, {args.small} and {args.large} messages)")
    for name in args.figures:
        per = (instructions(name, args.large) - instructions(name, args.small)) / (args.large - args.small)
        print(f"{name:34} {per:10,.0f}", flush=True)


if __name__ == "__main__":
    main()
