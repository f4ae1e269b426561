"""Interpreter exit and fork while module code runs on other threads: no
crash, no hang. Each case runs in fresh interpreters, RUNS times, because the
failures are races (20 runs catch a 1-in-10 failure with 88% odds)."""
import os
import subprocess
import sys
import textwrap
import time

import pytest

RUNS = 20
AT_ONCE = 4

PRELUDE = """
import asyncio, os, sys, threading, time

class LockReleasedDuringFinalization:
    def __del__(self, sleep=time.sleep):
        sleep(0.05)  # other threads reach for the interpreter lock meanwhile

keep = LockReleasedDuringFinalization()
from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl
"""

CASES = {
    "a daemon thread inside SyncDispatcher.close": """
        started = threading.Event()
        def slow(message):
            started.set()
            time.sleep(0.2)
        d = fl.SyncDispatcher(slow, detach=False)
        d.setup()
        ft.push(d, "push_fn", b"x")
        started.wait(5)
        threading.Thread(target=d.close, daemon=True).start()
        time.sleep(0.01)
    """,
    "daemon threads inside constructors": """
        def build():
            while True:
                fl.SyncDispatcher(print, capacity=1 << 12, slot_size=1 << 14)
        for _ in range(2):
            threading.Thread(target=build, daemon=True).start()
        time.sleep(0.05)
    """,
    "a daemon thread running a loop with an AsyncDispatcher": """
        async def cb(message):
            time.sleep(0.001)  # blocking, so the lock is often taken back inside the callback
        async def main():
            d = fl.AsyncDispatcher(cb)
            d.setup()
            producer = ft.start_producer(d, "push_fn", 10**9, [64], retry_full=True)
            await asyncio.sleep(1000)
        threading.Thread(target=asyncio.run, args=(main(),), daemon=True).start()
        time.sleep(0.1)
    """,
    "a forked child closes its inherited dispatcher and exits": """
        d = fl.SyncDispatcher(print)
        d.setup()
        pid = os.fork()
        if pid == 0:
            d.close()
            sys.exit(0)
        _, status = os.waitpid(pid, 0)
        sys.exit(os.waitstatus_to_exitcode(status))
    """,
}


def start(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def outcome(proc, timeout=30):
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return "hung"
    return "ok" if proc.returncode == 0 and "Fatal" not in err else f"exit {proc.returncode}: {err[-300:]}"


# GCC's AddressSanitizer runtime does not take its allocator lock around
# fork(): a child forked while a starting thread allocates may deadlock there.
UNDER_ASAN = "asan" in os.environ.get("FERRY_SANITIZERS", "")


@pytest.mark.parametrize("case", [
    pytest.param(case, marks=pytest.mark.skipif(UNDER_ASAN and "fork" in case, reason="fork under ASan's allocator"))
    for case in CASES])
def test_exit_while_module_code_runs_elsewhere(case):
    results = []
    for _ in range(RUNS // AT_ONCE):
        results += [outcome(p) for p in [start(CASES[case]) for _ in range(AT_ONCE)]]
    failed = [r for r in results if r != "ok"]
    assert not failed, f"{len(failed)} of {RUNS} runs failed, first: {failed[0]}"


def test_exit_waits_a_bounded_time_for_a_blocked_callback():
    began = time.monotonic()
    result = outcome(start("""
        started = threading.Event()
        def stuck(message):
            started.set()
            time.sleep(1000)
        d = fl.SyncDispatcher(stuck)
        d.setup()
        ft.push(d, "push_fn", b"x")
        started.wait(5)
    """))
    assert result == "ok" and time.monotonic() - began < 20
