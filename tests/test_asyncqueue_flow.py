"""AsyncQueue: what a push returns, and block_on_full as backpressure (a push
waits for space, shutdown releases it, cancelling it loses nothing)."""
import asyncio

import pytest

from nimbo.spsc_queue.spsc_queue import CLOSED, FULL, TOO_LARGE
from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink.ferrylink import AsyncQueue
from test_asyncqueue import spin

fields = ft.queue_fields
SMALL = {"push_buf": bytearray(b"m"), "push_obj": b"m", "push_str": "m"}
LARGE = {"push_buf": bytearray(9), "push_obj": b"x" * 9, "push_str": "x" * 9}


async def full_queue():
    """A block_on_full queue of capacity 2 holding b"a" and b"b"."""
    q = AsyncQueue(capacity=2, block_on_full=True)
    for m in (b"a", b"b"):
        await q.push_obj(m)
    return q


@pytest.mark.parametrize("method", sorted(SMALL))
def test_each_push_returns_the_rings_result(arun, method):
    async def main():
        q = AsyncQueue(slot_size=8, capacity=2)
        push = getattr(q, method)
        assert [await push(SMALL[method]) for _ in range(3)] == [1, 1, FULL]
        assert await push(LARGE[method]) == TOO_LARGE
        fields(q)["_q"].close()
        assert await push(SMALL[method]) == CLOSED

    arun(main())


def test_backpressure_loses_nothing_and_keeps_order(arun):
    count = 100_000

    async def main():
        q, got = AsyncQueue(slot_size=8, capacity=16, block_on_full=True), []

        async def slow(b):
            got.append(b)
            if len(got) % 5 == 0:
                await asyncio.sleep(0)

        q.start_dispatcher(slow)
        results = [await q.push_obj(seq.to_bytes(4, "little")) for seq in range(count)]
        while len(got) < count:
            await asyncio.sleep(0)
        assert set(results) == {1} and [int.from_bytes(b, "little") for b in got] == list(range(count))
        assert fields(q)["_space_waiters"] == 0 and type(fields(q)["_space_cond"]) is asyncio.Condition
        assert len(q.__reduce__()[2]) == 7  # the condition is not part of the pickled state
        await q.shutdown()

    arun(main())


def test_a_pop_never_waits_for_the_lock_to_signal_space(arun):
    async def main():
        q = await full_queue()
        pusher = asyncio.ensure_future(q.push_obj(b"c"))
        await spin()
        lock = fields(q)["_lock"]
        await lock.acquire()  # someone else holds the lock: the pop hands the signal to a task
        assert await asyncio.wait_for(q.pop(), 1) == b"a"
        lock.release()
        assert await asyncio.wait_for(pusher, 1) == 1
        assert [await q.pop(), await q.pop()] == [b"b", b"c"]

    arun(main())


def test_shutdown_releases_waiting_pushes_with_full(arun):
    async def main():
        q = await full_queue()
        pushers = [asyncio.ensure_future(q.push_obj(m)) for m in (b"c", b"d")]
        await spin()
        assert not any(p.done() for p in pushers) and fields(q)["_space_waiters"] == 2
        assert await q.shutdown() is None
        assert [await p for p in pushers] == [FULL, FULL]
        assert fields(q)["_space_waiters"] == 0 and fields(q)["_space_cond"] is None
        assert [await q.pop(), await q.pop()] == [b"a", b"b"]
        assert await q.push_obj(b"e") == 1  # the queue goes on working

    arun(main())


def test_cancelling_a_waiting_push_holds_nothing_and_loses_no_wake_up(arun):
    async def main():
        q = await full_queue()
        data = bytearray(b"c")
        first = asyncio.ensure_future(q.push_buf(data))
        second = asyncio.ensure_future(q.push_obj(b"d"))
        await spin()
        assert await q.pop() == b"a"  # signals the first waiter ...
        first.cancel()  # ... which is cancelled before it runs: the wake-up passes on
        with pytest.raises(asyncio.CancelledError):
            await first
        data += b"!"  # its export is released
        assert await asyncio.wait_for(second, 1) == 1
        assert not fields(q)["_lock"].locked() and fields(q)["_space_waiters"] == 0
        assert [await q.pop(), await q.pop()] == [b"b", b"d"]

    arun(main())
