"""SyncDispatcher: native producer threads (no interpreter lock) to a Python
callback that runs on the dispatcher's own native thread."""
import gc
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from conftest import native_threads, open_fds, rss_bytes, settle
from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl

CONTEXT = "nimbo.utils.ferrylink.ferrylink.SyncDispatcher."
# (nonblocking, variable_size) -> (the table's push entry, the thread body)
MODES = {
    (True, False): ("push", "__try_pop"),
    (True, True): ("push_var", "__try_pop_var"),
    (False, False): ("push_blocking", "__pop"),
    (False, True): ("push_var_blocking", "__pop_var"),
}
MODE_IDS = ["try_pop", "try_pop_var", "pop", "pop_var"]
SIZES = [0, 1, 7, 8, 9, 64, 200, 1000, 2047, 2048]  # 0 bytes to the slot size; 10 divides 50,000


class Checker:
    """A callback that checks each message's number, size and bytes."""

    def __init__(self, total, sizes=SIZES):
        self.total, self.sizes, self.count, self.bad = total, sizes, 0, []
        self.done = threading.Event()

    def __call__(self, message):
        i = self.count
        if len(message) != self.sizes[i % len(self.sizes)] or not ft.check_message(message, i):
            self.bad.append(i)
        self.count += 1
        if self.count == self.total:
            self.done.set()


def make(callback, nonblocking=True, variable=False, **kw):
    return fl.SyncDispatcher(callback, variable_size=variable, nonblocking=nonblocking, **kw)


def push_numbered(d, count, size=16, first=0):
    return [ft.push(d, "push_fn", ft.make_message(first + i, size)) for i in range(count)]


def run_python(code):
    """Runs `code` in a new interpreter with this one's import path."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60, env=env)


@pytest.fixture
def unraisable(monkeypatch):
    """The (exception type, object) pairs passed to sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, u.object)))
    return seen


class TestConstruction:
    def test_arguments_defaults_and_the_push_entry_of_each_mode(self):
        with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 1 positional argument \(0 given\)$"):
            fl.SyncDispatcher()
        with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 9 positional arguments \(10 given\)$"):
            fl.SyncDispatcher(print, *range(9))
        with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
            fl.SyncDispatcher(print, capacity=-1)
        f = ft.sync_fields(fl.SyncDispatcher(print))
        assert (f["_nonblocking"], f["_detach"], f["_variable_size"], f["_push_fn"]) == (1, 1, 0, "push")
        assert (f["_q"].capacity, f["_q"].slot_size, f["_sock"], f["fd"], f["_running"]) == (16384, 2048, None, -1, 1)
        for (nonblocking, variable), (entry, _) in MODES.items():
            assert ft.sync_fields(make(print, nonblocking, variable))["_push_fn"] == entry
        # by position: callback, capacity, slot_size, zerocopy, overwrite, block_on_full, variable_size,
        # detach, nonblocking
        f = ft.sync_fields(fl.SyncDispatcher(print, 8, 64, False, False, False, True, False, False))
        assert (f["_q"].capacity, f["_q"].slot_size, f["_push_fn"], f["_detach"]) == (8, 64, "push_var_blocking", 0)
        f = ft.sync_fields(fl.SyncDispatcher.__new__(fl.SyncDispatcher))
        assert (f["_q"], f["_push_fn"], f["_nonblocking"], f["_running"]) == (None, "null", 0, 1)

    def test_python_surface(self):
        assert fl.SyncDispatcher.__doc__ == (
            "SyncDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, "
            "bool overwrite=False, bool block_on_full=False, bool variable_size=False, bool detach=True, "
            "bool nonblocking=True)")
        setup, close = fl.SyncDispatcher.setup, fl.SyncDispatcher.close
        assert setup.__defaults__ == ("127.0.0.1", 16777216)
        assert setup.__doc__ == "SyncDispatcher.setup(self, str host='127.0.0.1', int recvbuf=16777216) -> void"
        assert close.__doc__ == "SyncDispatcher.close(self) -> void"
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            pickle.dumps(fl.SyncDispatcher(print))
        d = fl.SyncDispatcher(print, nonblocking=False)
        before = ft.sync_fields(d)
        for flags in ({"variable_size": True}, {"nonblocking": True}, {"detach": False}):
            with pytest.raises(ValueError):  # the ring refuses: nothing is stored, the modes still match `_q`
                d.__init__(len, capacity=0, **flags)
            assert ft.sync_fields(d) == before


class TestDelivery:
    @pytest.mark.parametrize("nonblocking, variable", list(MODES), ids=MODE_IDS)
    def test_native_thread_messages_arrive_in_order_and_intact(self, nonblocking, variable):
        total, half = 100_000, 50_000
        got = Checker(total)
        d = make(got, nonblocking, variable, capacity=1024, detach=False)
        d.setup()
        watchdog = threading.Timer(60, d.close)  # a producer stuck on a full queue then stops
        watchdog.start()
        # through the table entry, then through _push_fn: one producer at a time
        results = [ft.start_producer(d, MODES[nonblocking, variable][0], half, SIZES, retry_full=True).join(),
                   ft.start_producer(d, "push_fn", half, SIZES, retry_full=True, first_seq=half).join()]
        assert got.done.wait(60)
        watchdog.cancel()
        d.close()
        assert results == [(half, [])] * 2
        assert got.count == total and got.bad == []

    @pytest.mark.parametrize("nonblocking, variable", list(MODES), ids=MODE_IDS)
    def test_pushes_before_setup_and_bursts_arrive(self, nonblocking, variable):
        got = Checker(1003, [16])
        d = make(got, nonblocking, variable, detach=False)
        assert push_numbered(d, 3) == [1, 1, 1]  # nothing wakes anyone yet: the thread polls first
        d.setup()
        assert push_numbered(d, 1000, first=3) == [1] * 1000  # before the thread takes the lock
        assert got.done.wait(10)
        d.close()
        assert got.count == 1003 and got.bad == []

    def test_the_socket_of_each_mode(self):
        d = make(print, detach=False)
        d.setup("127.0.0.1", 0)
        f = ft.sync_fields(d)
        assert f["_sock"].getsockname() == ("127.0.0.1", f["port"]) and f["fd"] == f["_sock"].fileno()
        assert f["_sock"].getblocking()
        d.close()
        fds = open_fds()
        d = make(print, nonblocking=False, detach=False)
        d.setup(host=None)  # without a socket, host and recvbuf are not used
        f = ft.sync_fields(d)
        assert (f["_sock"], f["fd"]) == (None, -1) and open_fds() <= fds  # no socket made
        d.close()


class TestFailures:
    @pytest.mark.parametrize("detach", [True, False], ids=["detached", "joined"])
    @pytest.mark.parametrize("nonblocking, variable", list(MODES), ids=MODE_IDS)
    def test_callback_raising_on_the_third_message(self, unraisable, capfd, nonblocking, variable, detach):
        got = []

        def cb(message):
            got.append(message)
            if len(got) == 3:
                raise ValueError("third")

        d = make(cb, nonblocking, variable, detach=detach)
        d.setup()
        assert push_numbered(d, 6) == [1] * 6
        assert settle(lambda: unraisable)
        time.sleep(0.05)  # time enough for a fourth message
        assert len(got) == 3 and got[:2] == [ft.make_message(i, 16) for i in range(2)]
        assert unraisable == [(ValueError, CONTEXT + "_SyncDispatcher" + MODES[nonblocking, variable][1])]
        assert "ValueError: third" in capfd.readouterr().err
        assert ft.sync_fields(d)["_running"] == 1  # the thread ended by itself
        d.close()
        assert not ft.sync_fields(d)["joinable"] and len(got) == 3

    def test_a_callback_raising_system_exit_is_only_reported(self, unraisable):
        def cb(message):
            raise SystemExit(3)

        d = make(cb, detach=False)
        d.setup()
        push_numbered(d, 1)
        assert settle(lambda: unraisable)
        assert unraisable == [(SystemExit, CONTEXT + "_SyncDispatcher__try_pop")]
        d.close()  # the process is still here and the thread ended

    def test_a_callback_that_is_not_callable(self, unraisable):
        d = make(42, detach=False)
        d.setup()
        push_numbered(d, 1)
        assert settle(lambda: unraisable)
        assert unraisable == [(TypeError, CONTEXT + "_SyncDispatcher__try_pop")]
        d.close()

    def test_setup_errors_start_nothing(self):
        class S(str):
            pass

        threads = native_threads()
        d = fl.SyncDispatcher(print, detach=False)
        for host, name in [(b"127.0.0.1", "bytes"), (S("127.0.0.1"), "S")]:
            with pytest.raises(TypeError, match=fr"^Argument 'host' has incorrect type \(expected str, got {name}\)$"):
                d.setup(host=host)
        with pytest.raises(TypeError, match=r"^setup\(\) takes at most 2 positional arguments \(3 given\)$"):
            d.setup("127.0.0.1", 1, 2)
        with pytest.raises(OverflowError):
            d.setup(recvbuf=2**31)
        with pytest.raises(TypeError):  # from bind((None, 0))
            d.setup(host=None)
        f = ft.sync_fields(d)
        assert f["_sock"] is not None and f["fd"] == -1 and not f["joinable"] and native_threads() <= threads
        d.close()
        d = fl.SyncDispatcher.__new__(fl.SyncDispatcher)  # constructor never ran
        assert [ft.push(d, e, b"abc") for e in ("push", "push_var", "push_blocking", "push_var_blocking")] == [-2] * 4
        for body in ("__try_pop", "__try_pop_var", "__pop", "__pop_var"):
            ft.sync_run_body(d, body)  # returns at once
        with pytest.raises(RuntimeError, match="__init__ was not run"):
            d.setup()
        d.close()

    def test_a_second_setup_or_init_is_refused_while_the_thread_exists(self):
        for detach in (True, False):
            running = threading.Event()
            d = make(lambda m: running.set(), detach=detach)
            d.setup()
            push_numbered(d, 1)
            assert running.wait(5)  # past the thread's first steps
            threads, fds = native_threads(), open_fds()
            with pytest.raises(RuntimeError, match="thread is still running"):
                d.setup()
            with pytest.raises(RuntimeError, match="thread is still running"):
                d.__init__(len)  # the thread's queue must stay
            assert native_threads() <= threads and open_fds() <= fds  # nothing started
            d.close()

    def test_close_twice_then_setup_after_close(self):
        got = []
        d = make(got.append, detach=False)
        d.setup()
        sock = ft.sync_fields(d)["_sock"]
        d.close()
        f = ft.sync_fields(d)
        assert (f["_running"], f["_sock"], f["fd"], sock.fileno()) == (0, None, -1, -1)
        d.close()
        assert ft.push(d, "push", b"late") < 0  # the queue is closed; nothing is sent
        d.setup()  # a new socket, and a thread that ends at once
        assert ft.sync_fields(d)["fd"] >= 0
        d.close()
        assert got == [] and not ft.sync_fields(d)["joinable"]

    def test_a_thread_that_cannot_start_leaves_nothing_behind(self):
        r = run_python("""
            import resource
            from nimbo.utils.ferrylink import _ferrytest as ft
            from nimbo.utils.ferrylink import ferrylink as fl
            d = fl.SyncDispatcher(print, detach=False)
            with open("/proc/self/statm") as f:
                mapped = int(f.read().split()[0]) * resource.getpagesize()
            limits = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (mapped + (4 << 20), limits[1]))  # no room for a stack
            try:
                d.setup()
            except OSError as e:
                print("refused", e.errno)
            resource.setrlimit(resource.RLIMIT_AS, limits)
            print("joinable", ft.sync_fields(d)["joinable"])
            d.setup()  # nothing of the failed start is in the way
            d.close()
        """)
        assert r.returncode == 0, r.stderr
        assert r.stdout.split() == ["refused", "11", "joinable", "False"]


class TestThreadLifetime:
    @pytest.mark.parametrize("nonblocking", [True, False])
    def test_close_waits_for_a_running_callback_unless_detached(self, nonblocking):
        for detach in (True, False):
            started, release, seen = threading.Event(), threading.Event(), []

            def cb(message):
                started.set()
                release.wait(10 if detach else 0.3)
                seen.append(message)

            d = make(cb, nonblocking, detach=detach)
            d.setup()
            push_numbered(d, 5)
            assert started.wait(5)
            d.close()
            assert len(seen) == (0 if detach else 1)  # joined: finished, and nothing more delivered
            release.set()
            assert settle(lambda: seen) and not ft.sync_fields(d)["joinable"]
            time.sleep(0.05)
            assert len(seen) == 1  # the messages still queued at close are not delivered

    @pytest.mark.parametrize("keep", [True, False], ids=["main-destroys", "thread-destroys"])
    def test_close_from_the_callback_does_not_join(self, keep):
        class Sub(fl.SyncDispatcher):  # weakly referenceable
            pass

        threads, seen, holder = native_threads(), [], []

        def cb(message):
            seen.append(message)
            ref().close()  # on the dispatcher's own thread
            holder.clear()

        d = Sub(cb, detach=False)
        ref = weakref.ref(d)
        holder.append(d)  # the callback keeps it until it has closed it
        d.setup()
        push_numbered(d, 3)
        if not keep:
            del d  # the thread's reference is the last: it destroys the dispatcher at its end
        assert settle(lambda: seen and native_threads() <= threads)
        if keep:
            assert ft.sync_fields(d)["joinable"]  # ended, not joined
            del d  # joined here
        assert settle(lambda: ref() is None) and len(seen) == 1

    def test_a_dispatcher_its_callback_refers_to_keeps_delivering_until_dropped(self):
        closed = []

        class Sub(fl.SyncDispatcher):
            def close(self):
                closed.append(True)
                super().close()

        got = Checker(2000, [16])
        d = Sub(got)
        d.setup()
        push_numbered(d, 1000)
        ref = weakref.ref(d)
        got.d = d  # the way back to it: its callback, which the thread holds, keeps it alive
        del d
        gc.collect()
        push_numbered(ref(), 1000, first=1000)
        assert got.done.wait(10) and got.bad == []
        got.d = None  # only its thread's reference is left: collected and closed, with a warning
        with pytest.warns(ResourceWarning, match="^unclosed <"):
            assert settle(lambda: ref() is None)
        assert closed == [True]

    def test_native_entries_honour_python_overrides_unless_bypassed(self):
        calls = []

        class Sub(fl.SyncDispatcher):
            def setup(self, host="127.0.0.1", recvbuf=16777216):
                calls.append(("setup", host, recvbuf))

            def close(self):
                calls.append(("close",))

        d = Sub(print, detach=False)
        ft.sync_setup(d, 0, 2, "127.0.0.1", 4096)
        ft.sync_setup(d, 0)
        ft.sync_close(d, 0)
        assert calls == [("setup", "127.0.0.1", 4096), ("setup", "127.0.0.1", 16777216), ("close",)]
        assert not ft.sync_fields(d)["joinable"]
        ft.sync_setup(d, 1, 1, "127.0.0.1")
        assert ft.sync_fields(d)["joinable"]
        ft.sync_close(d, 1)
        assert (ft.sync_fields(d)["joinable"], len(calls)) == (False, 3)

    def test_destruction_reports_a_failing_close_and_joins(self, unraisable):
        class Bad(fl.SyncDispatcher):
            def close(self):
                raise KeyError("nope")

        threads, seen = native_threads(), []

        def cb(message):
            seen.append(message)
            fl.SyncDispatcher.close(ref())  # ends the thread, which nobody joins

        d = Bad(cb, nonblocking=False, detach=False)
        ref = weakref.ref(d)
        d.setup()
        with pytest.raises(KeyError):
            ft.sync_close(d, 0)
        push_numbered(d, 1)
        assert settle(lambda: seen and native_threads() <= threads)
        assert ft.sync_fields(d)["joinable"]
        del d
        gc.collect()
        assert ref() is None
        assert unraisable == [(KeyError, CONTEXT + "__dealloc__")]

    def test_cycles_leave_no_descriptors_threads_or_memory(self, no_leaks):
        modes = list(MODES)

        def cycle(i):
            d = make(len, *modes[i % 4], capacity=64, slot_size=64, detach=i % 8 < 4)
            d.setup()
            ft.push(d, "push_fn", b"x" * 10)
            d.close()

        refs, threads = sys.getrefcount(len), native_threads()
        for i in range(50):
            cycle(i)
        settle(lambda: native_threads() <= threads)
        rss = rss_bytes()
        for i in range(500):
            cycle(i)
        assert settle(lambda: native_threads() <= threads and sys.getrefcount(len) == refs)
        assert rss_bytes() - rss < 4 * 1024 * 1024


EXIT_PRELUDE = """
import atexit, sys, threading, time
from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl

def cb(message):
    if sys.is_finalizing():
        print("LATE", flush=True)

def start(callback=cb, nonblocking=True, variable=False, detach=True, count=10):
    d = fl.SyncDispatcher(callback, variable_size=variable, nonblocking=nonblocking, detach=detach)
    d.setup()
    for i in range(count):
        ft.push(d, "push_fn", ft.make_message(i, 16))
    return d
"""

EXIT_SCENARIOS = {
    "idle in every mode": """
        keep = [start(nonblocking=nb, variable=v, detach=dt)
                for nb in (True, False) for v in (True, False) for dt in (True, False)]
        time.sleep(0.2)
    """,
    "busy in a callback": """
        started = threading.Event()
        def slow(message):
            started.set()
            time.sleep(0.3)
            cb(message)
            print("callback finished", flush=True)
        keep = [start(slow, nonblocking=nb, detach=dt, count=5) for nb in (True, False) for dt in (True, False)]
        started.wait(5)
    """,
    "dropped without close, producer still pushing": """
        start(count=0)
        producer = ft.start_producer(start(nonblocking=False, count=0), "push_fn", 10_000_000, [64], retry_full=True)
        time.sleep(0.1)
    """,
    "setup from a later exit hook": """
        def late():
            try:
                start()
            except RuntimeError as e:
                print("refused:", e, flush=True)
        atexit.register(late)  # runs after the dispatchers' own hook
        keep = start()
    """,
}


@pytest.mark.parametrize("scenario", list(EXIT_SCENARIOS))
def test_interpreter_exit_with_dispatcher_threads_running(scenario):
    r = run_python(EXIT_PRELUDE + textwrap.dedent(EXIT_SCENARIOS[scenario]) + "print('exiting', flush=True)\n")
    assert r.returncode == 0, r.stderr
    assert "Fatal" not in r.stderr and "Traceback" not in r.stderr, r.stderr
    assert "exiting" in r.stdout and "LATE" not in r.stdout
    if scenario == "busy in a callback":
        assert "callback finished" in r.stdout
    if scenario == "setup from a later exit hook":
        assert "refused: SyncDispatcher.setup: the interpreter is exiting" in r.stdout
