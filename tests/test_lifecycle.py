"""Lifecycles a user runs: concurrent setup, close then reopen in one loop
tick, a failing second setup, restored and copied queues, re-initialisation
with waiters, dropped dispatchers, forked children and the messages met on
the way. Crash-prone cases run in fresh interpreters with a timeout."""
import asyncio
import copy
import gc
import os
import subprocess
import sys
import textwrap
import threading
import warnings

import pytest

from conftest import native_threads, open_fds, settle
from nimbo.spsc_queue.spsc_queue import FULL, WRONG_FAMILY, SPSCQueue
from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl
from test_asyncqueue import spin


def run_python(code, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail("hung")


@pytest.mark.parametrize("detach", [True, False])
def test_concurrent_setup_starts_exactly_one_thread(detach):
    # 400 rounds with a tiny switch interval: a 1-in-100 interleaving is
    # missed with odds below 2%.
    p = run_python(f"""
        import sys, threading
        from nimbo.utils.ferrylink import ferrylink as fl
        sys.setswitchinterval(1e-6)
        for _ in range(400):
            d = fl.SyncDispatcher(print, detach={detach})
            gate, results = threading.Barrier(2), []
            def setup():
                gate.wait()
                try:
                    d.setup()
                    results.append("ok")
                except RuntimeError as e:
                    results.append(str(e))
            threads = [threading.Thread(target=setup) for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert sorted(results, key=len)[0] == "ok" and "still running" in results[0] + results[1], results
            d.close()
        print("ok")
    """)
    assert (p.returncode, p.stdout.strip()) == (0, "ok"), p.stderr[-2000:]


class Recording(fl.AsyncDispatcher):
    def __init__(self):
        super().__init__(self.record)
        self.got = []

    async def record(self, message):
        self.got.append(message)

    async def delivered(self, count):
        """Pushes `count` messages once the reader waits; how many arrive."""
        del self.got[:]
        await asyncio.sleep(0.01)
        for i in range(count):
            assert ft.push(self, "push", b"%d" % i) > 0
        for _ in range(200):
            if len(self.got) == count:
                break
            await asyncio.sleep(0.005)
        return len(self.got)


@pytest.mark.parametrize("retire", ["close", "second setup"])
def test_a_descriptor_number_reused_in_the_same_tick_still_wakes_its_reader(arun, retire):
    async def main():
        old = Recording()
        old.setup()
        await asyncio.sleep(0.01)  # its reader waits in the loop's selector, by descriptor number
        if retire == "close":
            old.close()
        else:
            old.setup()
        new = Recording()
        new.setup()  # in the same tick: may get the retired socket's number
        assert await new.delivered(5) == 5
        if retire == "second setup":
            assert await old.delivered(5) == 5
        old.close()
        new.close()

    arun(main())


@pytest.mark.parametrize("failure", ["host that cannot bind", "no running loop"])
def test_a_failing_second_setup_leaves_the_reader_working(arun, failure):
    async def main():
        d = Recording()
        d.setup()
        fd = ft.fields(d)["fd"]
        with pytest.raises((OSError, RuntimeError)):
            if failure == "no running loop":
                await asyncio.to_thread(d.setup)
            else:
                d.setup(host="::1")  # not an IPv4 address
        assert ft.fields(d)["fd"] == fd
        assert await d.delivered(5) == 5
        d.close()

    arun(main())


def test_each_ring_refuses_the_other_family_of_forms(arun):
    d = fl.SyncDispatcher(print)  # fixed slots
    assert ft.push(d, "push_var", b"x") == WRONG_FAMILY
    ring = SPSCQueue(slot_size=16, capacity=4)
    assert ring.try_push_var(b"v" * 40) == 1

    async def main():
        q = fl.AsyncQueue()
        state = list(q.__reduce__()[2])
        state[4] = ring
        with pytest.raises(ValueError, match="variable-size"):
            fl.AsyncQueue.__new__(fl.AsyncQueue).__setstate__(tuple(state))

    arun(main())


def test_a_pop_on_a_copy_releases_a_push_waiting_on_the_original(arun):
    async def main():
        q = fl.AsyncQueue(capacity=2, block_on_full=True)
        for m in (b"a", b"b"):
            await q.push_obj(m)
        pusher = asyncio.ensure_future(q.push_obj(b"c"))
        await spin()
        c = copy.copy(q)
        assert await c.pop() == b"a"
        assert await asyncio.wait_for(pusher, 1) == 1
        assert [await q.pop(), await c.pop()] == [b"b", b"c"]

    arun(main())


def test_init_again_while_coroutines_wait(arun):
    async def main():
        q = fl.AsyncQueue(capacity=1, block_on_full=True)
        popper = asyncio.ensure_future(q.pop())
        await spin()
        q.__init__(capacity=1, block_on_full=True)
        assert await q.push_obj(b"new") == 1
        assert await asyncio.wait_for(popper, 1) == b"new"  # carried over to the new ring
        await q.push_obj(b"fill")
        pusher = asyncio.ensure_future(q.push_obj(b"late"))
        await spin()
        q.__init__()
        assert await asyncio.wait_for(pusher, 1) == FULL  # its ring was retired: released

    arun(main())


def test_dropped_set_up_dispatchers_are_closed_with_a_resource_warning():
    gc.collect()
    fds, threads = open_fds(), native_threads()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for detach in (True, False) * 5:
            fl.SyncDispatcher(print, detach=detach).setup()
        with pytest.raises(RuntimeError, match="no running event loop"):
            fl.AsyncDispatcher(print).setup()  # its socket stays bound
        assert settle(lambda: native_threads() <= threads and open_fds() <= fds)
    unclosed = [w for w in caught if issubclass(w.category, ResourceWarning) and "unclosed <" in str(w.message)]
    assert len(unclosed) == 11


def test_a_forked_child_frees_inherited_producers():
    p = run_python("""
        import os
        from nimbo.utils.ferrylink import _ferrytest as ft, ferrylink as fl
        pipes = [fl.CyPipe() for _ in range(3)]
        producers = [ft.start_producer(p, "push", 100, [8]) for p in pipes]
        pid = os.fork()
        if pid == 0:
            del producers  # their threads stayed in the parent
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        for p in producers:
            p.join()
        print(os.waitstatus_to_exitcode(status))
    """)
    assert (p.returncode, p.stdout.strip()) == (0, "0"), p.stderr[-2000:]


def test_errors_name_the_call_argument_and_size(arun):
    assert str(ft.cbuf("str_to_cbuf", b"x")["error"]) == "str_to_cbuf() argument must be str, not bytes"
    with pytest.raises(TypeError, match=r"^CBufferView._load_str\(\) argument must be str, not bytes$"):
        ft.view_load(fl.CBufferView(1), "loader", b"x")
    with pytest.raises(MemoryError, match="capacity 9223372036854775808 and slot_size 2048"):
        fl.CyPipe(capacity=2**63)
    with pytest.raises(OverflowError, match="^argument 'recvbuf': value too large to convert to int$"):
        fl.SyncDispatcher(print).setup(recvbuf=2**31)
    with pytest.raises(OverflowError, match="^argument 'capacity': can't convert negative value to size_t$"):
        fl.AsyncDispatcher(print, capacity=-1)

    async def main():
        with pytest.raises(TypeError, match=r"^AsyncQueue.push_str\(\) argument must be str, not bytes$"):
            await fl.AsyncQueue().push_str(b"x")

    arun(main())
