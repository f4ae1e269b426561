"""AsyncDispatcher: native producer threads (no interpreter lock) to an
asyncio callback, woken by one datagram per accepted message."""
import asyncio
import gc
import inspect
import pickle
import socket
import sys
import threading
import traceback
import types

import pytest

from conftest import open_fds, rss_bytes
from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl

SLOT = 2048


def pending_datagrams(sock):
    """Counts (and takes) the datagrams waiting on a socket, without blocking."""
    n = 0
    try:
        while True:
            sock.recv(1, socket.MSG_DONTWAIT)
            n += 1
    except BlockingIOError:
        return n


def frames(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


class Collector:
    """An async callback that checks every message's sequence and bytes."""

    def __init__(self, total):
        self.total, self.count, self.bad = total, 0, []
        self.done = asyncio.get_running_loop().create_future()

    async def __call__(self, message):
        if not ft.check_message(message, self.count):
            self.bad.append(self.count)
        self.count += 1
        if self.count == self.total and not self.done.done():
            self.done.set_result(None)


class TestConstruction:
    def test_argument_errors(self):
        with pytest.raises(TypeError) as e:
            fl.AsyncDispatcher()
        assert str(e.value) == "__init__() takes at least 1 positional argument (0 given)"
        with pytest.raises(TypeError) as e:
            fl.AsyncDispatcher(print, 1, 2, 3, 4, 5, 6)
        assert str(e.value) == "__init__() takes at most 6 positional arguments (7 given)"
        with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
            fl.AsyncDispatcher(print, capacity=-1)
        with pytest.raises(TypeError, match="an integer is required"):
            fl.AsyncDispatcher(print, slot_size="64")
        with pytest.raises(ValueError):  # the ring refuses a zero size
            fl.AsyncDispatcher(print, capacity=0)

    def test_fields_after_construction(self):
        cb = lambda b: None  # noqa: E731
        f = ft.fields(fl.AsyncDispatcher(cb, 8, 64))
        assert f["_callback"] is cb and f["_sock"] is None and f["_task"] is None
        assert f["_running"] == 1 and f["fd"] == -1 and f["_push_fn"] == "push"
        assert f["_q"].capacity == 8 and f["_q"].slot_size == 64
        assert ft.fields(fl.AsyncDispatcher(cb, variable_size=True))["_push_fn"] == "push_var"
        fresh = fl.AsyncDispatcher.__new__(fl.AsyncDispatcher)
        assert ft.fields(fresh)["_push_fn"] == "null" and ft.fields(fresh)["_q"] is None

    def test_coroutine_methods(self):
        d = fl.AsyncDispatcher(print)
        for name, qual in [("_AsyncDispatcher__reader", "AsyncDispatcher.__reader"),
                           ("_AsyncDispatcher__reader_var", "AsyncDispatcher.__reader_var")]:
            meth = getattr(d, name)
            assert asyncio.iscoroutinefunction(meth) and inspect.iscoroutinefunction(meth)
            coro = meth(None, None)
            assert asyncio.iscoroutine(coro)
            assert coro.__name__ == qual.split(".")[1] and coro.__qualname__ == qual
            coro.close()
            with pytest.raises(TypeError) as e:
                meth(None)
            assert str(e.value) == f"{name}() takes exactly 2 positional arguments (1 given)"

    def test_not_picklable(self):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            pickle.dumps(fl.AsyncDispatcher(print))


class TestDelivery:
    @pytest.mark.parametrize("variable, entry", [(False, "push"), (False, "push_fn"), (True, "push_var"),
                                                 (True, "push_fn")])
    def test_native_thread_messages_arrive_in_order_and_intact(self, arun, variable, entry):
        total = 100_000

        async def main():
            got = Collector(total)
            d = fl.AsyncDispatcher(got, capacity=1024, variable_size=variable)
            d.setup()
            producer = ft.start_producer(d, entry, total, [0, 1, 64, SLOT, 7], retry_full=True)
            await asyncio.wait_for(got.done, 60)
            accepted, refused = producer.join()
            d.close()
            return got, accepted, refused

        got, accepted, refused = arun(main())
        assert (accepted, refused) == (total, [])
        assert got.count == total and got.bad == []

    def test_pushes_before_setup_arrive_at_the_first_iteration(self, arun):
        async def main():
            got = Collector(3)
            d = fl.AsyncDispatcher(got)
            assert [ft.push(d, "push", ft.make_message(i, 10)) for i in range(3)] == [1, 1, 1]
            d.setup()
            await asyncio.wait_for(got.done, 5)
            d.close()
            return got

        got = arun(main())
        assert got.count == 3 and got.bad == []

    def test_a_burst_yields_every_128_messages_then_reads_leftover_datagrams(self, arun, monkeypatch):
        sleeps = []
        real = asyncio

        class CountingAsyncio(types.ModuleType):
            def __getattr__(self, name):
                return getattr(real, name)

            @staticmethod
            def sleep(delay):
                sleeps.append(delay)
                return real.sleep(delay)

        monkeypatch.setattr(fl, "asyncio", CountingAsyncio("asyncio"))

        async def main():
            got = Collector(1000)
            d = fl.AsyncDispatcher(got)
            d.setup()  # the reader has not run yet
            for i in range(1000):
                assert ft.push(d, "push", ft.make_message(i, 16)) == 1
            await asyncio.wait_for(got.done, 10)
            sock = ft.fields(d)["_sock"]
            for _ in range(50):  # let the reader take the leftover datagrams
                await asyncio.sleep(0)
            left = pending_datagrams(sock)
            d.close()
            return got, left

        got, left = arun(main())
        assert got.count == 1000 and got.bad == []
        assert sleeps == [0] * 7
        assert left < 1000  # the reader took leftovers one at a time after the burst

    def test_refused_push_returns_the_ring_result_and_sends_nothing(self, arun):
        async def main():
            d = fl.AsyncDispatcher(print, capacity=2, slot_size=16)
            d.setup()
            sock = ft.fields(d)["_sock"]
            results = [ft.push(d, "push", b"x" * 8) for _ in range(3)]
            too_big = ft.push(d, "push", b"y" * 17)
            datagrams = pending_datagrams(sock)
            d.close()
            return results, too_big, datagrams

        results, too_big, datagrams = arun(main())
        assert results == [1, 1, 0]
        assert too_big < 0
        assert datagrams == 2

    def test_wakeup_target_is_the_bound_address(self, arun):
        async def main():
            d = fl.AsyncDispatcher(print)
            d.setup("127.0.0.1", 0)
            f = ft.fields(d)
            host, port = f["_sock"].getsockname()
            f["_task"].cancel()
            ft.push(d, "push", b"m")
            data = f["_sock"].recv(16)
            d.close()
            return f, host, port, data

        f, host, port, data = arun(main())
        assert (host, f["port"], f["family"]) == ("127.0.0.1", port, socket.AF_INET)
        assert data == b"\x01"


class TestFailures:
    def test_setup_host_must_be_exactly_str(self, arun):
        class S(str):
            pass

        async def main():
            d = fl.AsyncDispatcher(print)
            for host, got in [(b"127.0.0.1", "bytes"), (S("127.0.0.1"), "S")]:
                with pytest.raises(TypeError) as e:
                    d.setup(host=host)
                assert str(e.value) == f"Argument 'host' has incorrect type (expected str, got {got})"
            with pytest.raises(TypeError, match="takes at most 2 positional arguments"):
                d.setup("127.0.0.1", 1, 2)

        arun(main())

    def test_setup_without_a_running_loop_binds_but_starts_no_reader(self):
        d = fl.AsyncDispatcher(print)
        with pytest.raises(RuntimeError, match="no running event loop") as e:
            d.setup()
        assert "nimbo.utils.ferrylink.ferrylink.AsyncDispatcher.setup" in frames(e.value)
        f = ft.fields(d)
        assert f["fd"] >= 0 and f["port"] > 0 and f["_task"] is None
        d.close()
        assert ft.fields(d)["fd"] == -1

    def test_instance_without_constructor_is_refused(self, arun):
        d = fl.AsyncDispatcher.__new__(fl.AsyncDispatcher)
        assert ft.push(d, "push", b"abc") <= 0 and ft.push(d, "push_var", b"abc") <= 0

        async def main():
            with pytest.raises(RuntimeError, match="__init__ was not run"):
                d.setup()
            d.close()

        arun(main())

    @pytest.mark.parametrize("callback, error", [(lambda b: None, TypeError), ("not callable", TypeError)])
    def test_callback_that_is_not_async_ends_the_reader(self, arun, callback, error):
        async def main():
            d = fl.AsyncDispatcher(callback)
            d.setup()
            task = ft.fields(d)["_task"]
            ft.push(d, "push", b"one")
            with pytest.raises(error):
                await asyncio.wait_for(task, 5)
            d.close()

        arun(main())

    def test_callback_raising_ends_the_reader_and_later_messages_stay(self, arun):
        async def main():
            seen = []

            async def cb(b):
                seen.append(b)
                raise ValueError("boom")

            d = fl.AsyncDispatcher(cb)
            d.setup()
            task = ft.fields(d)["_task"]
            ft.push(d, "push", b"1")
            ft.push(d, "push", b"2")
            with pytest.raises(ValueError, match="boom") as e:
                await asyncio.wait_for(task, 5)
            assert "nimbo.utils.ferrylink.ferrylink.AsyncDispatcher.__reader" in frames(e.value)
            assert ft.fields(d)["_q"].try_pop() == b"2"
            d.close()
            return seen

        assert arun(main()) == [b"1"]

    def test_cancelling_the_reader_while_it_waits(self, arun):
        async def main():
            d = fl.AsyncDispatcher(print)
            d.setup()
            task = ft.fields(d)["_task"]
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            d.close()

        arun(main())


class TestClose:
    def test_close_stops_the_reader_and_twice_is_harmless(self, arun):
        async def main():
            d = fl.AsyncDispatcher(print)
            d.setup()
            task = ft.fields(d)["_task"]
            await asyncio.sleep(0)
            d.close()
            f = ft.fields(d)
            assert f["_running"] == 0 and f["_sock"] is None and f["_task"] is None and f["fd"] == -1
            assert f["_q"].closed
            await asyncio.sleep(0.01)
            assert task.done()
            d.close()
            assert ft.push(d, "push", b"late") <= 0

        arun(main())

    def test_close_from_another_thread_cancels_on_the_loop(self, arun):
        async def main():
            d = fl.AsyncDispatcher(print)
            d.setup()
            task = ft.fields(d)["_task"]
            await asyncio.sleep(0)
            t = threading.Thread(target=d.close)
            t.start()
            await asyncio.get_running_loop().run_in_executor(None, t.join)
            await asyncio.sleep(0.01)
            return task

        task = arun(main())
        assert task.done()

    def test_close_after_the_loop_is_closed(self):
        # The usual shutdown order: asyncio.run() has returned, then close().
        # Nothing is handed to the dead loop; the socket is closed all the same.
        d = fl.AsyncDispatcher(print)

        async def setup():
            d.setup()
            return ft.fields(d)["_sock"]

        sock = asyncio.run(setup())
        d.close()
        f = ft.fields(d)
        assert f["_running"] == 0 and f["_task"] is None and f["_sock"] is None and sock.fileno() == -1

    def test_destruction_reports_a_failing_close(self, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)

        class Bad(fl.AsyncDispatcher):
            def close(self):
                raise KeyError("nope")

        Bad(print)
        gc.collect()
        assert len(reports) == 1
        assert reports[0].object == "nimbo.utils.ferrylink.ferrylink.AsyncDispatcher.__dealloc__"
        assert isinstance(reports[0].exc_value, KeyError)


class TestLifecycle:
    def test_a_second_setup_retires_the_first_reader_and_socket(self, arun):
        async def main():
            got = Collector(1)
            d = fl.AsyncDispatcher(got)
            d.setup()
            first = ft.fields(d)
            await asyncio.sleep(0)
            d.setup()
            await asyncio.sleep(0.01)
            assert first["_sock"].fileno() == -1 and first["_task"].cancelled()
            assert ft.push(d, "push", ft.make_message(0, 16)) > 0
            await asyncio.wait_for(got.done, 5)
            d.close()

        arun(main())

    def test_a_reader_ended_by_an_exception_is_reported_at_once(self, arun):
        async def main():
            reported = asyncio.get_running_loop().create_future()
            asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.set_result(context))

            async def cb(b):
                raise ValueError("boom")

            d = fl.AsyncDispatcher(cb)
            d.setup()
            ft.push(d, "push", b"1")
            context = await asyncio.wait_for(reported, 5)  # the task is still referenced by the dispatcher
            d.close()
            return context

        context = arun(main())
        assert isinstance(context["exception"], ValueError)
        assert "AsyncDispatcher" in context["message"] and "ended by an exception" in context["message"]


class TestOverrides:
    def test_native_setup_honours_a_python_override_unless_bypassed(self, arun):
        calls = []

        class Sub(fl.AsyncDispatcher):
            def setup(self, host="127.0.0.1", recvbuf=16777216):
                calls.append((host, recvbuf))

        async def main():
            d = Sub(print)
            ft.native_setup(d, 0, 2, "127.0.0.1", 4096)
            assert calls == [("127.0.0.1", 4096)] and ft.fields(d)["_task"] is None
            ft.native_setup(d, 0, -1)
            assert calls[-1] == ("127.0.0.1", 16777216)
            ft.native_setup(d, 1, 1, "127.0.0.1")
            assert ft.fields(d)["_task"] is not None
            d.close()

        arun(main())


class TestResources:
    def test_cycles_leave_no_descriptors_tasks_or_memory(self, arun, no_leaks):
        async def main():
            async def cb(b):
                pass

            refs = sys.getrefcount(cb)
            fds = open_fds()
            for i in range(500):
                d = fl.AsyncDispatcher(cb, capacity=64, slot_size=64)
                d.setup()
                ft.push(d, "push", b"x")
                await asyncio.sleep(0)
                d.close()
                if i == 100:
                    gc.collect()
                    rss = rss_bytes()
            del d
            await asyncio.sleep(0.05)
            gc.collect()
            return refs, sys.getrefcount(cb), fds, open_fds(), len(asyncio.all_tasks()), rss, rss_bytes()

        refs_before, refs_after, fds_before, fds_after, tasks, rss_before, rss_after = arun(main())
        assert refs_after == refs_before
        assert fds_after == fds_before
        assert tasks == 1  # only main()
        assert rss_after - rss_before < 8 * 1024 * 1024

    def test_delivered_messages_are_released(self, arun):
        total = 20_000  # 20 MiB of 1 KiB messages if they were kept

        async def main():
            got = Collector(total)
            d = fl.AsyncDispatcher(got, capacity=256)  # a small ring: its own pages stay few
            d.setup()
            gc.collect()
            before = rss_bytes()
            producer = ft.start_producer(d, "push", total, [1024], retry_full=True)
            await asyncio.wait_for(got.done, 30)
            producer.join()
            d.close()
            gc.collect()
            return got, rss_bytes() - before

        got, growth = arun(main())
        assert got.count == total and got.bad == []
        assert growth < 8 * 1024 * 1024
