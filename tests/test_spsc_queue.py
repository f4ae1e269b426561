"""SPSCQueue through its Python API and, via ctypes, its native method table."""
import array
import copy
import ctypes
import os
import pickle
import threading
import time

import pytest

from nimbo.spsc_queue.spsc_queue import CLOSED, TOO_LARGE, SPSCQueue

PUSH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)
POP = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p),
                       ctypes.POINTER(ctypes.c_size_t))
PENDING = ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p)
VOID = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class VTable(ctypes.Structure):
    _fields_ = [("push", PUSH), ("try_push", PUSH), ("push_var", PUSH), ("try_push_var", PUSH),
                ("pending", PENDING), ("pop", POP), ("release", VOID), ("try_pop", POP),
                ("pop_var", POP), ("try_pop_var", POP), ("close", VOID)]


def vtable():
    capsule = SPSCQueue.__dict__["__pyx_vtable__"]
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return VTable.from_address(get(capsule, None))


def native_pop(fn, q):
    data, size = ctypes.c_char_p(), ctypes.c_size_t()
    rc = fn(id(q), ctypes.byref(data), ctypes.byref(size))
    return rc, (ctypes.string_at(data, size.value) if rc == 1 else None)


def drain(q):
    out = []
    while (m := q.try_pop()) is not None:
        out.append(m)
    return out


class TestConstruction:
    def test_arguments_by_position_and_keyword(self):
        q = SPSCQueue(16, 5, 1, [], "yes")
        assert (q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full) == (16, 5, True, False, True)
        q = SPSCQueue(capacity=3, slot_size=7, zerocopy=True)
        assert (q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full) == (7, 3, False, True, False)

    @pytest.mark.parametrize("args", [(-1, 4), (4, -1)])
    def test_negative_size(self, args):
        with pytest.raises(OverflowError, match="^can't convert negative value to size_t$"):
            SPSCQueue(*args)

    @pytest.mark.parametrize("bad", ["8", None, [8], b"8"])
    def test_not_an_integer(self, bad):
        with pytest.raises(TypeError, match="^an integer is required$"):
            SPSCQueue(bad, 4)

    def test_objects_with_int_or_index(self):
        class WithInt:
            def __int__(self):
                return 12

        class WithIndex:
            def __index__(self):
                return 3

        q = SPSCQueue(WithInt(), WithIndex())
        assert (q.slot_size, q.capacity) == (12, 3)

    @pytest.mark.parametrize("args", [(0, 4), (4, 0)])
    def test_zero_size(self, args):
        with pytest.raises(ValueError):
            SPSCQueue(*args)

    @pytest.mark.parametrize("args", [(2**40, 2**40), (2**62, 1), (2**31, 2**22)])
    def test_too_large_to_allocate(self, args):
        with pytest.raises(MemoryError):
            SPSCQueue(*args)

    def test_second_init_refused(self):
        q = SPSCQueue(8, 2)
        with pytest.raises(RuntimeError):
            q.__init__(8, 4)
        assert q.capacity == 2

    def test_layout_and_method_table(self):
        assert SPSCQueue.__basicsize__ == 232
        capsule = SPSCQueue.__dict__["__pyx_vtable__"]
        valid = ctypes.pythonapi.PyCapsule_IsValid
        valid.restype, valid.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_char_p]
        assert valid(capsule, None) == 1  # a capsule with a NULL name
        q = SPSCQueue(8, 2)
        vtab = ctypes.c_void_p.from_address(id(q) + object.__basicsize__).value
        assert vtab == ctypes.addressof(vtable())

    def test_not_picklable_or_copyable(self):
        q = SPSCQueue(8, 2)
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError, match="cannot pickle 'SPSCQueue' object"):
                attempt(q)

    def test_large_ring_costs_no_resident_memory(self):
        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        before = resident()
        queues = [SPSCQueue(2048, 16384), SPSCQueue(2048, 16384, overwrite=True, zerocopy=True)]
        for q in queues:
            for _ in range(10):
                q.try_push(b"x" * 2048)
            assert len(drain(q)) == 10
        assert resident() - before < 4 * 2**20  # the rings reserve ~192 MiB between them


class TestMessages:
    def test_fifo_and_buffer_kinds(self):
        q = SPSCQueue(32, 8)
        strided = memoryview(bytes(range(20)))[::2]
        sent = [b"", b"abc", bytearray(b"mutable"), memoryview(b"view"), array.array("i", [1, 2, 3]), strided]
        assert [q.try_push(m) for m in sent] == [1] * len(sent)
        assert len(q) == len(sent)
        assert drain(q) == [bytes(m) for m in sent]
        assert q.try_pop() is None and len(q) == 0
        with pytest.raises(TypeError):
            q.try_push("text")

    @pytest.mark.parametrize("zerocopy", [False, True])
    def test_full_too_large_and_counters(self, zerocopy):
        q = SPSCQueue(8, 5, zerocopy=zerocopy)
        assert q.try_push(b"123456789") == TOO_LARGE
        assert [q.try_push(bytes([i]) * 8) for i in range(6)] == [1, 1, 1, 1, 1, 0]
        assert q.try_pop() == b"\0" * 8
        assert q.try_push(b"again") == 1  # the popped slot is free again
        assert (q.pushed, q.popped, q.dropped, q.rejected, len(q)) == (6, 1, 0, 2, 5)

    def test_close_then_drain(self):
        q = SPSCQueue(8, 4)
        q.try_push(b"a")
        q.try_push(b"b")
        q.close()
        q.close()
        assert q.closed
        assert q.try_push(b"c") == CLOSED
        assert drain(q) == [b"a", b"b"]
        assert q.try_pop() is None
        assert (q.pushed, q.popped, q.rejected) == (2, 2, 1)

    @pytest.mark.parametrize("zerocopy", [False, True])
    def test_overwrite_drops_oldest(self, zerocopy):
        q = SPSCQueue(8, 3, overwrite=True, zerocopy=zerocopy)
        assert [q.try_push(b"m%d" % i) for i in range(7)] == [1] * 7
        assert (len(q), q.dropped, q.rejected) == (3, 4, 0)
        assert drain(q) == [b"m4", b"m5", b"m6"]
        assert q.try_push(b"next") == 1 and q.try_pop() == b"next"


class TestWaitingPush:
    def test_push_without_block_on_full_returns_full(self):
        q = SPSCQueue(8, 1)
        assert q.push(b"a") == 1
        assert q.push(b"b") == 0

    def test_waits_for_space_then_for_close(self):
        q = SPSCQueue(8, 1, block_on_full=True)
        assert q.push(b"first") == 1
        results = []
        t = threading.Thread(target=lambda: results.append(q.push(b"second")))
        t.start()
        time.sleep(0.1)
        assert t.is_alive() and results == []
        with pytest.raises(RuntimeError):
            q.try_push(b"x")  # one producer at a time
        assert q.try_pop() == b"first"
        t.join(5)
        assert results == [1] and q.try_pop() == b"second"

        assert q.push(b"third") == 1
        t = threading.Thread(target=lambda: results.append(q.push(b"fourth")))
        t.start()
        time.sleep(0.1)
        assert t.is_alive()
        q.close()
        t.join(5)
        assert results == [1, CLOSED]
        assert drain(q) == [b"third"]

    def test_python_producer_thread(self):
        q = SPSCQueue(16, 8, block_on_full=True)
        count = 3000

        def produce():
            for i in range(count):
                assert q.push(b"%d" % i) == 1
            q.close()

        t = threading.Thread(target=produce)
        t.start()
        got = []
        while not (q.closed and len(q) == 0):
            m = q.try_pop()
            if m is None:
                time.sleep(0)
            else:
                got.append(m)
        got += drain(q)
        t.join(5)
        assert got == [b"%d" % i for i in range(count)]


class TestNativeTable:
    def test_variable_size_forms(self):
        vt = vtable()
        q = SPSCQueue(16, 8)  # a 128-byte byte ring: messages up to 120 bytes
        big = bytes(range(120))
        assert vt.try_push_var(id(q), big, len(big)) == 1
        assert vt.try_push_var(id(q), b"x", 1) == 0
        assert vt.pending(id(q)) == 1
        assert native_pop(vt.try_pop_var, q) == (1, big)
        assert vt.try_push_var(id(q), big + b"!", 121) == TOO_LARGE
        assert native_pop(vt.try_pop_var, q) == (0, None)
        for i in range(50):  # wraps the ring many times
            msg = bytes([i]) * (i % 37)
            assert vt.push_var(id(q), msg, len(msg)) == 1
            assert native_pop(vt.pop_var, q) == (1, msg)
        vt.close(id(q))
        assert vt.push_var(id(q), b"x", 1) == CLOSED
        assert native_pop(vt.try_pop_var, q) == (CLOSED, None)

    def test_the_python_methods_refuse_to_mix_the_two_families(self):
        vt = vtable()
        q = SPSCQueue(16, 8)
        assert vt.try_push_var(id(q), b"abc", 3) == 1  # the first use decides
        for call in (q.try_pop, lambda: q.try_push(b"x"), lambda: q.push(b"x")):
            with pytest.raises(RuntimeError, match="used through its variable-size"):
                call()
        assert q.push_var(b"de") == 1 and q.try_push_var(b"f" * 121) == TOO_LARGE
        assert [q.try_pop_var(), q.try_pop_var(), q.try_pop_var()] == [b"abc", b"de", None]
        fixed = SPSCQueue(16, 8)
        assert fixed.try_push(b"x") == 1
        with pytest.raises(RuntimeError, match="used through its fixed-slot"):
            fixed.try_pop_var()

    def test_fixed_forms_share_the_python_view(self):
        vt = vtable()
        q = SPSCQueue(8, 2, zerocopy=True)
        assert vt.push(id(q), b"one", 3) == 1
        assert q.try_push(b"two") == 1
        assert native_pop(vt.pop, q) == (1, b"one")
        vt.release(id(q))
        assert vt.try_push(id(q), b"three", 5) == 1
        assert drain(q) == [b"two", b"three"]
        assert (q.pushed, q.popped) == (3, 3)

    def test_subclass_that_skips_init(self):
        class Lazy(SPSCQueue):
            def __init__(self):
                pass

        q = Lazy()
        for call in (q.try_pop, q.close, lambda: q.try_push(b"x"), lambda: len(q), lambda: q.pushed):
            with pytest.raises(RuntimeError, match="__init__"):
                call()
        vt = vtable()
        assert ctypes.c_void_p.from_address(id(q) + object.__basicsize__).value == ctypes.addressof(vt)
        assert vt.try_push(id(q), b"x", 1) == CLOSED
        assert vt.push_var(id(q), b"x", 1) == CLOSED
        assert native_pop(vt.pop, q) == (CLOSED, None)
        assert vt.pending(id(q)) == 0
        vt.release(id(q))
        vt.close(id(q))
