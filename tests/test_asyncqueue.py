"""AsyncQueue: construction, pushes of every kind, pop and the dispatcher,
the wake-up rules, shutdown, cancellation and leaks, under both loops."""
import array
import asyncio
import gc
import inspect
import sys
import warnings
import weakref

import pytest

from conftest import rss_bytes
from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink.ferrylink import AsyncQueue

fields = ft.queue_fields


async def spin(rounds=10):
    """Lets every ready task and callback run."""
    for _ in range(rounds):
        await asyncio.sleep(0)


class CountingCondition(asyncio.Condition):
    notified = notified_all = 0

    def notify(self, n=1):
        assert self.locked()
        self.notified += 1
        super().notify(n)

    def notify_all(self):
        self.notified_all += 1
        super().notify_all()


def counted(q):
    """Gives q a condition that counts its notifications; returns (lock, cond)."""
    state = list(q.__reduce__()[2])
    state[3] = CountingCondition(state[1])
    q.__setstate__(tuple(state))
    return state[1], state[3]


# ---- construction and the Python surface ----------------------------------------------


def test_constructor_checks_and_the_loop_rule():
    with pytest.raises(RuntimeError) as info:
        AsyncQueue()
    assert str(info.value) == "AsyncQueue must be created inside a running event loop."
    assert type(info.value.__context__) is RuntimeError and "no running event loop" in str(info.value.__context__)
    for args, kwargs, error, text in [
        ((None, -1), {}, OverflowError, "can't convert negative value to size_t"),
        ((), {"capacity": -5}, OverflowError, "can't convert negative value to size_t"),
        ((), {"slot_size": "64"}, TypeError, "an integer is required"),
        ((None, 1, 2, 3, 4, 5, 6), {}, TypeError, r"__init__\(\) takes at most 6 positional arguments \(7 given\)"),
        ((), {"size": 3}, TypeError, "unexpected keyword argument 'size'"),
    ]:
        with pytest.raises(error, match=text):  # before the loop rule: nothing was made
            AsyncQueue(*args, **kwargs)


def test_constructed_fields_and_a_given_loop(arun):
    async def main():
        q = AsyncQueue(None, 64.9, 8.5, block_on_full=1)  # __int__ is accepted
        f = fields(q)
        assert f["_loop"] is asyncio.get_running_loop() and type(f["_q"]).__name__ == "SPSCQueue"
        assert type(f["_lock"]) is asyncio.Lock and type(f["_notify_cond"]) is asyncio.Condition
        async with f["_lock"]:  # the condition is built over the queue's lock
            assert f["_notify_cond"].locked()
        assert (f["_callback"], f["_task"], f["_running"], f["vtab_ok"]) == (None, None, 0, True)

    arun(main())

    class FakeLoop:
        def create_task(self, coro):
            self.coro = coro
            return "the task"

    q = AsyncQueue(loop := FakeLoop())  # taken unchecked, no running loop needed
    assert q.start_dispatcher(print) is None
    assert (fields(q)["_task"], fields(q)["_callback"]) == ("the task", print)
    assert loop.coro.__qualname__ == "AsyncQueue.__dispatch"
    loop.coro.close()


def test_an_instance_made_without_init_refuses_clearly():
    q = AsyncQueue.__new__(AsyncQueue)
    assert set(fields(q).values()) == {None, 0, True}
    with pytest.raises(AttributeError):
        q.__dict__
    with pytest.raises(TypeError):
        weakref.ref(q)
    for coro in (q.push_buf(b"x"), q.push_obj(b"x"), q.push_str("x"), q.pop(), q._AsyncQueue__dispatch()):
        with pytest.raises(RuntimeError, match="AsyncQueue has no ring queue"):
            asyncio.run(coro)
    with pytest.raises(TypeError, match="'NoneType' object does not support the asynchronous context manager"):
        asyncio.run(q.shutdown())
    with pytest.raises(AttributeError, match="create_task"), pytest.warns(RuntimeWarning, match="never awaited"):
        q.start_dispatcher(print)
    assert fields(q)["_callback"] is print and fields(q)["_task"] is None


def test_names_docstrings_coroutine_marks_and_argument_checks():
    assert AsyncQueue.__doc__ == (
        "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool overwrite=False, "
        "bool zerocopy=False, bool block_on_full=False)")
    q = AsyncQueue.__new__(AsyncQueue)
    for key, params in [("start_dispatcher", "callback"), ("push_buf", "msg"), ("push_obj", "msg"),
                        ("push_str", "msg"), ("pop", ""), ("_AsyncQueue__dispatch", ""), ("shutdown", "*excinfo")]:
        f, name = getattr(AsyncQueue, key), key.replace("_AsyncQueue", "")
        assert (f.__name__, f.__qualname__) == (name, "AsyncQueue." + name)
        assert f.__doc__ == f"AsyncQueue.{name}(self{', ' + params if params else ''})"
        is_coro = key != "start_dispatcher"
        assert asyncio.iscoroutinefunction(f) is is_coro and inspect.iscoroutinefunction(f) is is_coro
        if is_coro:  # calling only makes the coroutine: the body, which would fail here, has not run
            coro = getattr(q, key)(b"m") if params == "msg" else getattr(q, key)()
            assert (coro.__name__, coro.__qualname__, asyncio.iscoroutine(coro)) == (name, f.__qualname__, True)
            coro.close()
    with pytest.raises(TypeError, match=r"pop\(\) takes exactly 0 positional arguments \(1 given\)"):
        q.pop(1)
    with pytest.raises(TypeError, match=r"push_buf\(\) takes exactly 1 positional argument \(0 given\)"):
        q.push_buf()
    with pytest.raises(TypeError, match=r"^shutdown\(\) got an unexpected keyword argument 'x'$"):
        q.shutdown(x=1)
    for coro in (q.push_buf(msg=b"x"), q.shutdown(1, 2, 3)):
        coro.close()


# ---- pushes of every kind and pop -------------------------------------------------------


class HasBytes:
    def __bytes__(self):
        return b"from __bytes__"


@pytest.mark.parametrize("method,msg,expected", [
    ("push_buf", b"abc", b"abc"), ("push_buf", bytearray(b"abc"), b"abc"), ("push_buf", b"", b""),
    ("push_buf", memoryview(b"xabcx")[1:4], b"abc"), ("push_buf", array.array("h", [1, 2]), b"\x01\x00\x02\x00"),
    ("push_obj", b"abc", b"abc"), ("push_obj", bytearray(b"abc"), b"abc"), ("push_obj", [104, 105], b"hi"),
    ("push_obj", HasBytes(), b"from __bytes__"),
    ("push_str", "abc", b"abc"), ("push_str", "\u00e9", b"\xc3\xa9"), ("push_str", "", b""),
])
def test_push_then_pop_gives_a_new_bytes_copy(arun, method, msg, expected):
    async def main():
        q = AsyncQueue()
        assert await getattr(q, method)(msg) == 1
        got = await q.pop()
        assert type(got) is bytes and got == expected

    arun(main())


def test_a_returned_value_kept_by_the_caller_is_not_rewritten_by_the_next_return(arun):
    # Return values leave through one reused StopIteration while nothing else
    # holds it or its args; whatever a caller kept must stay as it was.
    def returned(coro):
        try:
            coro.send(None)
        except StopIteration as e:
            e.__traceback__ = None  # as untouched as the reused instance can be
            return e
        raise AssertionError("pop did not return at once")

    async def main():
        q = AsyncQueue()
        for m in (b"one", b"two", b"three"):
            assert await q.push_obj(m) == 1
        args_only = returned(q.pop()).args  # the exception dropped, its args kept
        whole = returned(q.pop())
        third = returned(q.pop())
        assert args_only == (b"one",)
        assert (whole.value, whole.args) == (b"two", (b"two",))
        assert (third.value, third.args) == (b"three", (b"three",))
        assert await q.push_obj(b"four") == 1 and await q.pop() == b"four"
        assert (whole.value, third.value) == (b"two", b"three")

    arun(main())


def test_a_push_never_awaited_warns_as_a_python_coroutine_does(monkeypatch):
    q = AsyncQueue(loop=object())
    with pytest.warns(RuntimeWarning, match=r"^coroutine 'AsyncQueue.push_obj' was never awaited$"):
        q.push_obj(b"lost")
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, str(u.exc_value))))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # as under -W error: raised, so reported as unraisable
        q.pop()
    assert seen == [(RuntimeWarning, "coroutine 'AsyncQueue.pop' was never awaited")]
    q.pop().close()  # closed, or thrown into, before its first step: nothing to warn about


@pytest.mark.parametrize("method,msg,error", [
    ("push_obj", 3, TypeError), ("push_obj", "x", TypeError), ("push_buf", "x", TypeError),
    ("push_buf", memoryview(b"abcd")[::2], BufferError), ("push_str", b"x", TypeError),
    ("push_str", "\ud800", UnicodeEncodeError),
])
def test_push_of_a_wrong_kind_raises_and_stores_nothing(arun, method, msg, error):
    async def main():
        q = AsyncQueue()
        with pytest.raises(error):
            await getattr(q, method)(msg)
        await q.push_obj(b"next")
        assert await q.pop() == b"next"

    arun(main())


def test_push_buf_holds_the_export_only_while_it_runs(arun):
    async def main():
        q = AsyncQueue()
        lock, _ = counted(q)
        data = bytearray(b"abc")
        await q.push_buf(data)
        data += b"d"  # released after a normal end
        with pytest.raises(RuntimeError):
            await AsyncQueue.__new__(AsyncQueue).push_buf(data)
        data += b"e"  # released after a failure
        await lock.acquire()
        pusher = asyncio.ensure_future(q.push_buf(data))
        await spin()
        with pytest.raises(BufferError):
            data += b"f"  # still exported while waiting for the lock
        pusher.cancel()
        with pytest.raises(asyncio.CancelledError):
            await pusher
        data += b"f"  # released after a cancellation
        lock.release()
        assert [await q.pop(), await q.pop()] == [b"abc", b"abcde"]

    arun(main())


@pytest.mark.parametrize("consumer", ["pop", "dispatcher"])
def test_100000_messages_keep_their_order(arun, consumer):
    count = 100_000

    async def main():
        q, got = AsyncQueue(), []

        async def collect(b):
            got.append(b)

        async def pop_all():
            for _ in range(count):
                got.append(await q.pop())

        task = asyncio.ensure_future(pop_all()) if consumer == "pop" else None
        if consumer == "dispatcher":
            q.start_dispatcher(collect)
        for seq in range(count):
            await q.push_obj(ft.make_message(seq, 16 + seq % 48))
            if seq % 1000 == 999:
                await asyncio.sleep(0)  # the ring holds 16384 messages
        while len(got) < count:
            await asyncio.sleep(0.001)
        assert all(len(m) == 16 + seq % 48 and ft.check_message(m, seq) for seq, m in enumerate(got))
        assert await q.shutdown() is None and (task is None or task.done())

    arun(main())


# ---- wake-ups -------------------------------------------------------------------------


def test_a_refused_push_takes_no_lock_and_wakes_nobody(arun):
    async def main():
        q = AsyncQueue(slot_size=8)
        lock, cond = counted(q)
        waiter = asyncio.ensure_future(q.pop())
        await spin()
        async with lock:  # a push that took the lock would wait here forever
            assert await q.push_buf(b"x" * 100) == -1
        await spin()
        assert not waiter.done() and cond.notified == 0
        waiter.cancel()

        full = AsyncQueue(capacity=4)
        _, cond = counted(full)
        results = [await full.push_obj(ft.make_message(seq, 16)) for seq in range(64)]
        assert set(results) == {0, 1} and cond.notified == results.count(1) >= 4  # one notify per accepted message
        kept = [await full.pop() for _ in range(cond.notified)]
        assert all(ft.check_message(m, seq) for seq, m in enumerate(kept))
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(full.pop(), 0.01)

    arun(main())


def test_each_message_wakes_one_waiter_and_a_new_pop_is_served_first(arun):
    async def main():
        q = AsyncQueue()
        _, cond = counted(q)
        waiters = [asyncio.ensure_future(q.pop()) for _ in range(2)]
        await spin()
        await q.push_obj(b"one")
        await spin()
        done = [w for w in waiters if w.done()]
        assert len(done) == 1 and done[0].result() == b"one"
        late = next(w for w in waiters if not w.done())
        await q.push_obj(b"two")  # wakes the late waiter, which has not run yet
        assert await q.pop() == b"two"
        await spin()
        assert not late.done()  # woken for nothing: it waits again
        await q.push_obj(b"three")
        assert await late == b"three"
        assert (cond.notified, cond.notified_all) == (3, 0)

    arun(main())


def test_a_plain_condition_still_wakes_exactly_one_waiter_per_message(arun):
    async def main():  # the queue's own condition: most pushes leave the notify block out
        q = AsyncQueue()
        waiters = [asyncio.ensure_future(q.pop()) for _ in range(2)]
        await spin()
        assert await q.push_obj(b"one") == 1
        await spin()
        assert sorted(w.done() for w in waiters) == [False, True]
        late = next(w for w in waiters if not w.done())
        await q.push_obj(b"two")
        await spin()
        assert await late == b"two"

    arun(main())


def test_a_push_storm_reaches_two_pops_and_a_dispatcher_once_each(arun):
    count = 10_000

    async def main():  # consumers are often woken but not yet run when the next push comes
        q, got = AsyncQueue(), []

        async def collect(b):
            got.append(b)
            if len(got) % 3 == 0:
                await asyncio.sleep(0)

        async def popper():
            while True:
                got.append(await q.pop())

        poppers = [asyncio.ensure_future(popper()) for _ in range(2)]
        q.start_dispatcher(collect)
        for seq in range(count):
            await q.push_obj(seq.to_bytes(4, "little"))
            if seq % 97 == 0:
                await asyncio.sleep(0)
        for _ in range(1000):
            if len(got) >= count:
                break
            await asyncio.sleep(0)
        assert sorted(int.from_bytes(b, "little") for b in got) == list(range(count))
        for p in poppers:
            p.cancel()
        await q.shutdown()

    arun(main())


def test_the_conditions_methods_are_looked_up_afresh_when_changed(arun, monkeypatch):
    async def main():
        q = AsyncQueue()
        cond, calls = fields(q)["_notify_cond"], []
        await q.push_obj(b"1")  # the condition's calls are known now
        original = asyncio.Condition.notify
        monkeypatch.setattr(asyncio.Condition, "notify", lambda self, n=1: (calls.append("class"), original(self, n)))
        await q.push_obj(b"2")
        cond.notify = lambda: calls.append("instance")
        await q.push_obj(b"3")
        del cond.notify
        cond.release = lambda: (calls.append("release"), fields(q)["_lock"].release())
        await q.push_obj(b"4")
        assert calls == ["class", "instance", "class", "release"]
        assert [await q.pop() for _ in range(4)] == [b"1", b"2", b"3", b"4"]

    arun(main())


# ---- the dispatcher and shutdown --------------------------------------------------------


def test_dispatcher_takes_earlier_messages_in_order_one_at_a_time(arun):
    async def main():
        q, calls, gate = AsyncQueue(), [], asyncio.Event()
        for i in range(5):
            await q.push_obj(bytes([i]))

        async def cb(*args):
            calls.append(args)
            if len(calls) == 1:
                await gate.wait()

        q.start_dispatcher(cb)
        await spin()
        assert calls == [(b"\x00",)]  # the next is not taken while the first runs
        assert await q.pop() == b"\x01"
        gate.set()
        await spin()
        assert calls == [(bytes([i]),) for i in (0, 2, 3, 4)]

        assert await q.shutdown() is None
        calls_before = calls[:]
        q.start_dispatcher(calls.append)  # returns None: not awaitable
        await q.push_obj(b"a")
        await q.push_obj(b"b")
        await spin()
        assert calls == calls_before + [b"a"] and isinstance(fields(q)["_task"].exception(), TypeError)
        assert await q.pop() == b"b"  # later messages stay in the ring
        for _ in range(2):
            with pytest.raises(TypeError):
                await q.shutdown()

    arun(main())


def test_shutdown_in_each_state(arun):
    async def main():
        q = AsyncQueue()
        _, cond = counted(q)
        waiter = asyncio.ensure_future(q.pop())
        await spin()
        assert await q.shutdown("exc", "info", "tb") is None  # no dispatcher: it only wakes
        await spin()
        assert not waiter.done() and cond.notified_all == 1
        waiter.cancel()

        async def cb(b):
            pass

        q.start_dispatcher(cb)
        await spin()  # the dispatcher now waits for messages
        assert await q.shutdown() is None and fields(q)["_task"].cancelled()
        assert await q.shutdown() is None and fields(q)["_callback"] is cb  # task and callback stay

        async def bad(b):
            raise ValueError("bad message")

        q.start_dispatcher(bad)
        await q.push_obj(b"x")
        await spin()
        for _ in range(3):
            with pytest.raises(ValueError, match="bad message"):
                await q.shutdown()

    arun(main())


def test_starting_twice_leaves_two_tasks_feeding_the_second_callback(arun):
    async def main():
        q, first_got, second_got = AsyncQueue(), [], []

        async def first(b):
            first_got.append(b)

        async def second(b):
            second_got.append(b)

        q.start_dispatcher(first)
        first_task = fields(q)["_task"]
        q.start_dispatcher(second)
        await spin()
        for i in range(4):
            await q.push_obj(bytes([i]))
        await spin()
        assert first_got == [] and sorted(second_got) == [bytes([i]) for i in range(4)]
        await q.shutdown()
        assert fields(q)["_task"].cancelled() and not first_task.done()
        first_task.cancel()

    arun(main())


def test_the_native_entry_honours_a_python_override_unless_told_to_skip_it(arun):
    class Overriding(AsyncQueue):
        def start_dispatcher(self, callback):
            self.seen = callback
            return "overridden"

    class OwnDispatch(AsyncQueue):
        async def _AsyncQueue__dispatch(self):
            self.dispatched = True

    async def main():
        q = Overriding()
        assert ft.queue_start_dispatcher(q, print, 0) == "overridden" and q.seen is print
        assert fields(q)["_task"] is None
        assert ft.queue_start_dispatcher(q, print, 1) is None and fields(q)["_callback"] is print
        await q.shutdown()
        plain = AsyncQueue()
        assert ft.queue_start_dispatcher(plain, print, 0) is None and fields(plain)["_task"] is not None
        await plain.shutdown()
        own = OwnDispatch()
        own.start_dispatcher(print)  # the dispatcher is looked up on the instance
        await fields(own)["_task"]
        assert own.dispatched

    arun(main())


# ---- cancellation ---------------------------------------------------------------------


def test_cancellation_at_every_suspension_point(arun):
    async def main():
        q = AsyncQueue()
        lock = fields(q)["_lock"]
        waiter = asyncio.ensure_future(q.pop())
        await spin()
        waiter.cancel()
        with pytest.raises(asyncio.CancelledError):  # pop waiting on the condition
            await waiter
        assert not lock.locked()
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(q.pop(), 0.01)
        assert not lock.locked()
        await lock.acquire()
        data = bytearray(b"held")
        for coro in (q.pop(), q.push_buf(data), q.shutdown()):  # each waiting for the lock
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(coro, 0.01)
        data += b"!"  # export released
        lock.release()
        assert await q.pop() == b"held"  # it was pushed before the lock was asked for
        assert not lock.locked()

        delivered = asyncio.Event()

        async def slow(b):  # the dispatcher is cancelled inside its callback
            delivered.set()
            await asyncio.sleep(3600)

        q.start_dispatcher(slow)
        await q.push_obj(b"m")
        await delivered.wait()
        assert await asyncio.wait_for(q.shutdown(), 5) is None
        assert fields(q)["_task"].cancelled() and not lock.locked()

    arun(main())


# ---- leaks --------------------------------------------------------------------------


def test_round_trips_and_queue_cycles_leave_no_references_and_no_memory(arun):
    async def main():
        q = AsyncQueue(slot_size=64, capacity=256)  # the warm-up touches the whole ring
        kinds = [(q.push_obj, b"o" * 64), (q.push_buf, bytearray(64)), (q.push_str, "s" * 64)]

        async def cb(b):
            pass

        async def rounds(n):
            for push, msg in kinds:
                for _ in range(n):
                    await push(msg)
                    await q.pop()

        async def cycles(n):
            for _ in range(n):
                other = AsyncQueue()
                other.start_dispatcher(cb)
                await other.push_obj(kinds[0][1])
                await spin(2)
                await other.shutdown()

        for work, n in ((rounds, 10_000), (cycles, 1000)):
            await work(n // 10)
            gc.collect()
            refs, rss = [sys.getrefcount(m) for _, m in kinds] + [sys.getrefcount(cb)], rss_bytes()
            await work(n)
            gc.collect()
            assert [sys.getrefcount(m) for _, m in kinds] + [sys.getrefcount(cb)] == refs
            assert rss_bytes() - rss < 8 << 20
        assert [o for o in gc.get_objects() if type(o) is AsyncQueue] == [q]

    arun(main())
