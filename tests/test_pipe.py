"""CyPipe: a native producer thread to a native consumer thread over one ring
queue, through the method table or through the three preset pointers."""
import gc
import pickle
import time
import weakref
from array import array

import pytest

from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl

SIZES = [0, 1, 7, 8, 9, 64, 200, 1000, 2047, 2048]  # 0 bytes to the slot size


class TestConstruction:
    def test_argument_errors(self):
        with pytest.raises(TypeError) as e:
            fl.CyPipe(*range(7))
        assert str(e.value) == "__init__() takes at most 6 positional arguments (7 given)"
        with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
            fl.CyPipe(capacity=-1)
        with pytest.raises(TypeError, match="an integer is required"):
            fl.CyPipe(slot_size=1.5j)
        with pytest.raises(TypeError, match="unexpected keyword argument 'detach'"):
            fl.CyPipe(detach=True)
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            pickle.dumps(fl.CyPipe())

    def test_defaults_and_the_pointers_of_each_mode(self):
        p = fl.CyPipe()  # 16384 slots of 2048 bytes
        assert ft.push(p, "push_fn", b"x" * 2049) == -1
        assert {ft.push(p, "push_fn", b"x" * 2048) for _ in range(16384)} == {1}
        assert ft.push(p, "push_fn", b"") == 0
        assert ft.pipe_pointers(p) == ("push", "pop", "release")
        assert ft.pipe_pointers(fl.CyPipe(variable_size=True)) == ("push_var", "pop_var", "release_var")
        # positional order: capacity, slot_size, zerocopy, overwrite, block_on_full, variable_size
        assert ft.pipe_pointers(fl.CyPipe(8, 64, True, False, True, True))[0] == "push_var"
        assert ft.pipe_pointers(fl.CyPipe.__new__(fl.CyPipe)) == ("null", "null", "null")
        assert fl.CyPipe.__doc__ == (
            "CyPipe(size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, bool overwrite=False, "
            "bool block_on_full=False, bool variable_size=False)")

    def test_a_failing_queue_leaves_the_pipe_as_it_was(self):
        p = fl.CyPipe(capacity=4, slot_size=16)
        with pytest.raises(ValueError):
            p.__init__(capacity=0, variable_size=True)
        assert ft.pipe_pointers(p) == ("push", "pop", "release")
        assert ft.push(p, "push", b"kept") == 1
        assert ft.pipe_pop(p, "table") == (1, b"kept")

    def test_collected_in_a_cycle(self):
        class Sub(fl.CyPipe):
            pass

        p = Sub()
        p.me = p
        ref = weakref.ref(p)
        del p
        gc.collect()
        assert ref() is None


class TestEntries:
    def test_results_the_queue_refuses_come_back_unchanged(self):
        p = fl.CyPipe(capacity=2, slot_size=16)
        assert [ft.push(p, "push", b"x" * 16) for _ in range(3)] == [1, 1, 0]  # full: 0
        assert ft.push(p, "push", b"y" * 17) == -1  # too large
        assert ft.pipe_pop(p, "pointers") == (1, b"x" * 16)
        ft.pipe_close_queue(p)
        assert ft.push(p, "push_fn", b"z") == -2  # closed
        assert ft.pipe_pop(p, "table") == (1, b"x" * 16)  # what was queued is still there
        assert ft.pipe_pop(p, "table")[0] == -2

    def test_variable_size_release_does_nothing(self):
        p = fl.CyPipe(capacity=4, slot_size=32, variable_size=True)
        messages = [b"a", b"b" * 40, b""]  # records may exceed the slot size
        assert [ft.push(p, "push_fn", m) for m in messages] == [1, 1, 1]
        # pipe_pop calls _release_fn after each pop: nothing skipped or repeated
        assert [ft.pipe_pop(p, "pointers") for _ in messages] == [(1, m) for m in messages]

    def test_an_instance_whose_constructor_never_ran(self):
        p = fl.CyPipe.__new__(fl.CyPipe)
        assert [ft.push(p, e, b"abc") for e in ("push", "push_var")] == [-2, -2]
        assert ft.pipe_pop(p, "table") == (-2, None)  # no wait, nothing touched
        assert ft.pipe_pop(p, "table_var") == (-2, None)
        with pytest.raises(ValueError):
            ft.pipe_pop(p, "pointers")  # null pointers: the probe refuses to call them


class TestNativeToNative:
    @pytest.mark.parametrize("variable, entry, how", [
        (False, "push", "table"),
        (True, "push_var", "table_var"),
        (False, "push_fn", "pointers"),
        (True, "push_fn", "pointers"),
    ])
    @pytest.mark.parametrize("zerocopy", [False, True], ids=["copy", "zerocopy"])
    def test_messages_arrive_in_order_and_intact(self, variable, entry, how, zerocopy):
        total = 100_000
        p = fl.CyPipe(capacity=256, zerocopy=zerocopy, variable_size=variable)
        producer = ft.start_producer(p, entry, total, SIZES, retry_full=True)
        tally = ft.pipe_consume(p, how, total, SIZES, 60)
        assert producer.join() == (total, [])
        assert tally == {"received": total, "wrong_size": 0, "corrupt": 0, "out_of_order": 0, "last": 1,
                         "timed_out": False}

    def test_waiting_pushes_with_block_on_full(self):
        total = 20_000
        p = fl.CyPipe(capacity=4, slot_size=64, block_on_full=True)
        producer = ft.start_producer(p, "push_fn", total, [64])  # no retry: push waits for room
        assert ft.pipe_consume(p, "pointers", total, [64], 60)["received"] == total
        assert producer.join() == (total, [])

    def test_a_paced_producer_stamps_the_clock_python_reads(self):
        # bench/latency.py takes each delay as the consumer's monotonic clock minus this stamp
        p = fl.CyPipe()
        before = time.monotonic_ns()
        producer = ft.start_producer(p, "push_fn", 50, [64], retry_full=True, rate=20_000)
        delays = array("Q", ft.pipe_delays(p, "pointers", 50, 60))
        elapsed = time.monotonic_ns() - before
        assert producer.join() == (50, [])
        assert len(delays) == 50 and max(delays) <= elapsed

    def test_closing_the_queue_releases_a_waiting_consumer(self):
        p = fl.CyPipe()
        assert ft.start_producer(p, "push_fn", 3, [8]).join() == (3, [])
        tally = ft.pipe_consume(p, "pointers", 10, [8], 0.2)
        assert (tally["received"], tally["last"], tally["timed_out"]) == (3, -2, True)
