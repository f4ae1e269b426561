"""Shared fixtures: an event-loop runner for both asyncio and uvloop, and a
check that a test leaves no file descriptors or threads behind."""
import asyncio
import gc
import os
import threading
import time

import pytest

try:
    import uvloop
except ImportError:  # uvloop is part of the test extras; run what we can without it
    uvloop = None

LOOPS = {"asyncio": asyncio.new_event_loop}
if uvloop is not None:
    LOOPS["uvloop"] = uvloop.new_event_loop


@pytest.fixture(params=sorted(LOOPS))
def arun(request):
    """arun(coro) runs a coroutine to completion on a fresh loop of each kind."""
    factory = LOOPS[request.param]

    def run(coro, timeout=60):
        return asyncio.run(asyncio.wait_for(coro, timeout), loop_factory=factory)

    return run


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def native_threads():
    return len(os.listdir("/proc/self/task"))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle(predicate, timeout=5.0):
    """Waits until predicate() is true (threads and sockets wind down)."""
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.01)
    return predicate()


@pytest.fixture
def no_leaks():
    """Fails the test if it leaves file descriptors or threads behind."""
    gc.collect()
    fds, threads, pythreads = open_fds(), native_threads(), threading.active_count()
    yield
    assert settle(lambda: open_fds() <= fds), f"file descriptors: {fds} before, {open_fds()} after"
    assert settle(lambda: native_threads() <= threads), f"threads: {threads} before, {native_threads()} after"
    assert threading.active_count() <= pythreads
