"""push_coalesced / push_var_coalesced: a wake-up datagram only when the
consumer announced that it is about to wait for one, into both dispatchers."""
import asyncio
import threading
import time

import pytest

from conftest import LOOPS
from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl

COUNT = 1_000_000


async def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        await asyncio.sleep(0.001)


def settle_idle(d):
    """Waits until the consumer sleeps and its counters stop moving."""
    last = None
    for _ in range(500):
        now = ft.wake_counters(d)
        if now == last and now["waiting"]:
            return now
        last = now
        time.sleep(0.01)
    raise AssertionError(f"consumer never settled: {last}")


def check_run(tally, producer, counters):
    r = producer.join()
    t = tally.result()
    assert r["errors"] == [] and r["accepted"] == COUNT
    assert t["delivered"] == COUNT and t["bad"] == 0, t
    # A lost wake-up leaves the consumer asleep while a message waits, until
    # the next push: where the producer waits for the drain (after its
    # probes, timed against the consumer's way to sleep), that is never.
    assert r["slow_drains"] == 0 and t["max_wait_s"] < 1.0, (r, t)
    check_bounds(counters, coalesced_only=r["other_pushes"] == 0)
    assert counters["wakeups_sent"] > 0, counters
    return r


def check_bounds(c, coalesced_only):
    """The counters' bounds as the guide states them. A claim takes one
    announcement, which either slept or was withdrawn after its second look
    (a leftover); with only coalesced pushes a wait can find nothing only
    after a leftover's datagram."""
    assert c["wakeups_sent"] <= c["announcements"], c
    assert c["sleeps"] <= c["announcements"], c
    assert c["wakeups_sent"] <= c["sleeps"] + c["leftovers"], c
    if coalesced_only:
        assert c["spurious_wakeups"] <= c["leftovers"], c


# Each entry through each dispatcher, alone and interleaved with the plain
# entry of its form: (entry, other entry, variable_size, loop).
ASYNC_RUNS = {
    "fixed": ("push_coalesced", None, False, "asyncio"),
    "var, interleaved": ("push_var_coalesced", "push_var", True, "uvloop"),
}
SYNC_RUNS = {
    "fixed, interleaved": ("push_coalesced", "push", False),
    "var": ("push_var_coalesced", None, True),
}


def start(d, tally, entry, other, variable):
    return ft.start_bursts(d, tally, COUNT, entry, other, other_share=64, max_size=300 if variable else 64)


@pytest.mark.parametrize("run", ASYNC_RUNS)
def test_async_dispatcher_bursts_arrive_once_in_order(run):
    entry, other, variable, loop = ASYNC_RUNS[run]
    if loop not in LOOPS:
        pytest.skip(f"{loop} not installed")

    async def main():
        tally = ft.Tally()
        d = fl.AsyncDispatcher(tally, variable_size=variable)
        d.setup()
        producer = start(d, tally, entry, other, variable)
        await wait_until(lambda: tally.result()["delivered"] == COUNT, timeout=60)
        counters = await asyncio.get_running_loop().run_in_executor(None, settle_idle, d)
        d.close()
        return tally, producer, counters

    tally, producer, counters = asyncio.run(main(), loop_factory=LOOPS[loop])
    r = check_run(tally, producer, counters)
    assert (r["other_pushes"] > 0) == (other is not None)


@pytest.mark.parametrize("run", SYNC_RUNS)
def test_sync_dispatcher_bursts_arrive_once_in_order(run):
    entry, other, variable = SYNC_RUNS[run]
    tally = ft.Tally()
    d = fl.SyncDispatcher(tally, variable_size=variable, detach=False)
    d.setup()
    producer = start(d, tally, entry, other, variable)
    deadline = time.monotonic() + 60
    while tally.result()["delivered"] < COUNT and time.monotonic() < deadline:
        time.sleep(0.005)
    counters = settle_idle(d)
    d.close()
    r = check_run(tally, producer, counters)
    assert (r["other_pushes"] > 0) == (other is not None)


def test_one_datagram_answers_one_wait_and_results_pass_through():
    """While the reader waits, the first push sends the one datagram; pushes
    before the reader runs again send none. Refused pushes send nothing and
    return the ring's result."""

    async def main():
        got = []

        async def cb(b):
            got.append(b)

        d = fl.AsyncDispatcher(cb, slot_size=8)
        d.setup()
        await wait_until(lambda: ft.wake_counters(d)["waiting"] == 1)
        idle = {"announcements": 1, "sleeps": 1, "wakeups_sent": 0, "leftovers": 0, "spurious_wakeups": 0}
        assert ft.wake_counters(d) == {**idle, "waiting": 1}
        # Pushed on the loop's thread: the reader cannot run in between.
        assert [ft.push(d, "push_coalesced", bytes([i])) for i in range(3)] == [1, 1, 1]
        assert ft.push(d, "push_coalesced", b"x" * 9) == -1
        assert ft.wake_counters(d) == {**idle, "wakeups_sent": 1, "waiting": 0}
        await wait_until(lambda: len(got) == 3 and ft.wake_counters(d)["waiting"] == 1)
        assert got == [b"\x00", b"\x01", b"\x02"]
        assert ft.wake_counters(d) == {**idle, "announcements": 2, "sleeps": 2, "wakeups_sent": 1, "waiting": 1}
        d.close()
        assert ft.push(d, "push_coalesced", b"y") == -2
        assert ft.wake_counters(d)["wakeups_sent"] == 1

    asyncio.run(main())


def test_sync_dispatcher_one_datagram_answers_one_wait():
    got = []
    arrived = threading.Event()

    def cb(b):
        got.append(b)
        if len(got) == 3:
            arrived.set()

    d = fl.SyncDispatcher(cb, variable_size=True, detach=False)
    d.setup()
    settle_idle(d)
    assert ft.wake_counters(d)["sleeps"] == 1
    assert [ft.push(d, "push_var_coalesced", bytes([i]) * i) for i in range(3)] == [1, 1, 1]
    assert arrived.wait(5) and got == [b"", b"\x01", b"\x02\x02"]
    counters = settle_idle(d)
    assert 1 <= counters["wakeups_sent"] <= counters["sleeps"] - 1
    check_bounds(counters, coalesced_only=True)
    d.close()
