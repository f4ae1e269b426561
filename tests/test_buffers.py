"""CBufferView and the four exported conversion functions, driven as another
native module drives them (through the test module's probes)."""
import copy
import gc
import sys
import traceback

import pytest

from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl

CBufferView = fl.CBufferView
PREFIX = "nimbo.utils.ferrylink.ferrylink.CBufferView."
NO_PICKLE = "no default __reduce__ due to non-trivial __cinit__"
START_SENTINEL, LENGTH_SENTINEL = ft.sentinels()


def load(view, obj, entry="loader"):
    assert ft.view_load(view, entry, obj) == 0
    return ft.view_fields(view)


def load_error(view, obj, entry="loader"):
    """The exception of a failing load and the view's own traceback entries."""
    try:
        ft.view_load(view, entry, obj)
    except Exception as e:
        names = [f.name for f in traceback.extract_tb(e.__traceback__)]
        # without its traceback, the exception keeps no frame (and view) alive
        return e.with_traceback(None), [n.removeprefix(PREFIX) for n in names if n.startswith(PREFIX)]
    pytest.fail("the load succeeded")


def exported(ba):
    """Whether a bytearray is pinned by a buffer export (it refuses to resize)."""
    try:
        ba.append(0)
    except BufferError:
        return True
    ba.pop()
    return False


class WithBytes:
    def __init__(self, result):
        self.result = result

    def __bytes__(self):
        return self.result


class StrWithBytes(str):
    def __bytes__(self):
        return b"not this"


# ---- the type and its constructor ----------------------------------------------------


def test_new_view_is_empty_and_untracked():
    view = CBufferView()
    assert not gc.is_tracked(view)
    fields = ft.view_fields(view)
    assert (fields["data"], fields["size"], fields["held"], fields["exporter"], fields["export_buf"]) == (
        0, 0, None, None, 0)
    assert (fields["msg_kind"], fields["loader"]) == (4, "_load")


class HasInt:
    def __int__(self):
        return 3


@pytest.mark.parametrize("args, kwargs, kind, loader", [
    ((), {}, 4, "_load"),
    ((0,), {}, 0, "_load_bytes"),
    ((1,), {}, 1, "_load_str"),
    ((2,), {}, 2, "_load_buf"),
    ((), {"msg_kind": 3}, 3, "_load_obj"),
    ((4,), {}, 4, "_load"),
    ((7,), {}, 7, "_load"),
    ((-1,), {}, -1, "_load"),
    ((2.9,), {}, 2, "_load_buf"),
    ((HasInt(),), {}, 3, "_load_obj"),
    ((2**31 - 1,), {}, 2**31 - 1, "_load"),
    ((-2**31,), {}, -2**31, "_load"),
])
def test_constructor_chooses_loader(args, kwargs, kind, loader):
    fields = ft.view_fields(CBufferView(*args, **kwargs))
    assert (fields["msg_kind"], fields["loader"]) == (kind, loader)


@pytest.mark.parametrize("args, kwargs, error, text", [
    (("x",), {}, TypeError, "an integer is required"),
    ((None,), {}, TypeError, "an integer is required"),
    ((1, 2), {}, TypeError, "__init__() takes at most 1 positional argument (2 given)"),
    ((), {"kind": 1}, TypeError, "unexpected keyword argument 'kind'"),
    ((1,), {"msg_kind": 1}, TypeError, "multiple values"),
    ((2**31,), {}, OverflowError, ""),
    ((-2**31 - 1,), {}, OverflowError, ""),
])
def test_constructor_refuses(args, kwargs, error, text):
    with pytest.raises(error) as info:
        CBufferView(*args, **kwargs)
    assert text in str(info.value)


def test_reconstruction_changes_kind_only():
    ba = bytearray(b"pinned")
    view = CBufferView(2)
    load(view, ba)
    view.__init__(3)
    fields = ft.view_fields(view)
    assert (fields["msg_kind"], fields["loader"], fields["exporter"]) == (3, "_load_obj", ba)
    assert exported(ba)


def test_view_without_constructor_loads_automatically():
    class Skipping(CBufferView):
        def __init__(self, *args):
            pass

    ba = bytearray(b"pinned")
    for make in (lambda: Skipping(1), lambda: CBufferView.__new__(CBufferView, 1)):
        view = make()
        fields = ft.view_fields(view)
        assert (fields["msg_kind"], fields["loader"]) == (4, "_load")
        assert load(view, "text")["content"] == b"text"
        assert load(view, [1, 2])["held"] == b"\x01\x02"
        load(view, ba)
        assert exported(ba)
        del view, fields
        assert not exported(ba)  # destruction releases the export, also in a subclass


@pytest.mark.parametrize("call", [  # pickle.dumps: test_module_frame.py
    copy.copy, copy.deepcopy, lambda v: v.__reduce__(), lambda v: v.__setstate__(None)])
def test_pickling_refused(call):
    with pytest.raises(TypeError, match=NO_PICKLE):
        call(CBufferView())


def test_pickling_pair_checks_arguments_first():
    view = CBufferView()
    with pytest.raises(TypeError, match="takes exactly 0 positional arguments"):
        view.__reduce__(2)
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        view.__setstate__()


# ---- loads ---------------------------------------------------------------------------


@pytest.mark.parametrize("via", ["loader", "table"])
def test_each_kind(via):
    b, s, ba, ints = b"bytes", "h\xe9llo", bytearray(b"array"), [1, 2, 3]
    cases = [(0, "_load_bytes", b, b), (1, "_load_str", s, s.encode()), (2, "_load_buf", ba, b"array"),
             (3, "_load_obj", ints, b"\x01\x02\x03")]
    for kind, entry, obj, expected in cases:
        view = CBufferView(kind)
        before = sys.getrefcount(obj)
        fields = load(view, obj, "loader" if via == "loader" else entry)
        assert (fields["content"], fields["size"]) == (expected, len(expected))
        if kind == 0:
            assert fields["data"] == ft.buffer_address(b)  # the object's own storage
        if kind == 1:
            assert fields["data"] == load(view, s)["data"]  # the cached UTF-8 form, not a copy
        if kind == 2:
            assert (fields["exporter"], fields["data"]) == (ba, ft.buffer_address(ba))
            assert exported(ba)
        else:
            assert fields["exporter"] is None
        if kind == 3:
            assert fields["data"] == ft.buffer_address(fields["held"])
        else:
            assert fields["held"] is None
        del fields
        loaded = sys.getrefcount(obj)
        del view
        after = sys.getrefcount(obj)
        assert (loaded, after) == (before + (kind == 2), before)  # only an export holds the object
    assert not exported(ba)


class BufferAndBytes:
    """A buffer exporter with __bytes__: the buffer path wins."""

    def __init__(self):
        self.storage = bytearray(b"buffer")

    def __buffer__(self, flags):
        return memoryview(self.storage)

    def __bytes__(self):
        return b"not this"


@pytest.mark.parametrize("make, content, route", [
    (lambda: b"plain", b"plain", "in place"),
    (lambda: type("B", (bytes,), {})(b"sub"), b"sub", "in place"),
    (lambda: "text\u20ac", "text\u20ac".encode(), "in place"),
    (lambda: StrWithBytes("str sub"), b"str sub", "in place"),
    (lambda: bytearray(b"array"), b"array", "export"),
    (lambda: memoryview(b"abcdef")[1:4], b"bcd", "export"),
    (BufferAndBytes, b"buffer", "export"),
    (lambda: [104, 105], b"hi", "held"),
    (lambda: WithBytes(b"made"), b"made", "held"),
])
def test_automatic_choice(make, content, route):
    obj = make()
    view = CBufferView()
    fields = load(view, obj)
    held = {"in place": (False, None), "export": (True, None), "held": (False, content)}[route]
    assert fields["content"] == content
    assert (fields["exporter"] is not None, fields["held"]) == held
    assert fields["msg_kind"] == 4


def test_successive_loads_release_and_keep():
    first, second = bytearray(b"first"), bytearray(b"second")
    made = WithBytes(bytes(range(10)))
    held = made.result
    start = sys.getrefcount(first), sys.getrefcount(second), sys.getrefcount(held)
    view = CBufferView()
    load(view, first)
    assert exported(first) and not exported(second)
    load(view, second)  # releases the first export before taking the second
    assert not exported(first) and exported(second)
    assert sys.getrefcount(first) == start[0]
    fields = load(view, made)  # an object load keeps the export
    assert fields["held"] is held and fields["exporter"] is second
    load(view, "s")  # loads in place touch neither
    fields = load(view, b"b")
    assert fields["held"] is held and fields["exporter"] is second
    del fields
    now = sys.getrefcount(second), sys.getrefcount(held)
    assert now == (start[1] + 1, start[2] + 1)
    load(view, [1])  # the next object load drops the previous bytes
    assert sys.getrefcount(held) == start[2]
    assert exported(second)
    del view
    assert not exported(second)
    assert (sys.getrefcount(first), sys.getrefcount(second), sys.getrefcount(held)) == start


@pytest.mark.parametrize("kind, obj, error, entries", [
    (2, object(), TypeError, ["_load_buf"]),
    (1, b"bytes", TypeError, ["_load_str"]),
    (3, "text", TypeError, ["_load_obj"]),
    (0, "text", TypeError, ["_load_bytes"]),
    (0, bytearray(b"x"), TypeError, ["_load_bytes"]),
    (4, memoryview(b"abcdef")[::2], BufferError, ["_load", "_load_buf"]),
    (4, "lone \ud800", UnicodeEncodeError, ["_load", "_load_str"]),
    (4, [1, 256], ValueError, ["_load", "_load_obj"]),
    (4, 5, TypeError, ["_load", "_load_obj"]),
    (4, WithBytes("not bytes"), TypeError, ["_load", "_load_obj"]),
])
def test_failed_load(kind, obj, error, entries):
    view = CBufferView(kind)
    load(view, b"earlier", "_load_bytes")
    exc, names = load_error(view, obj)
    assert type(exc) is error
    assert names == entries
    fields = ft.view_fields(view)
    assert (fields["data"], fields["size"]) == (0, 0)
    assert load(view, b"again", "_load")["content"] == b"again"  # still usable


def test_failed_loads_release_what_they_replace():
    ba = bytearray(b"x")
    made = WithBytes(b"held")
    held = made.result
    start = sys.getrefcount(ba), sys.getrefcount(held)
    view = CBufferView()
    load(view, ba)
    load(view, made)
    load_error(view, memoryview(b"abcd")[::2])
    assert not exported(ba) and sys.getrefcount(ba) == start[0]
    fields = ft.view_fields(view)
    assert (fields["exporter"], fields["export_buf"]) == (None, 0)  # a null buf says "no export"
    del fields
    load_error(view, [999])
    assert sys.getrefcount(held) == start[1]
    assert ft.view_fields(view)["held"] is None


def test_references_return_after_many_loads():
    made = WithBytes(b"wb")
    objs = [b"bytes", "s\xe9", bytearray(b"ba"), [1, 2], made]
    counted = [*objs, made.result]
    start = [sys.getrefcount(o) for o in counted]
    for failing in (False, True):
        for _ in range(100):
            view = CBufferView()
            for obj in objs:
                load(view, obj)
            if failing:
                load_error(view, 5)
            del view, obj  # the view goes holding what it loaded last, or after a failure
    assert [sys.getrefcount(o) for o in counted] == start


# ---- the exported conversion functions (their table: test_module_frame.py) --------


def assert_failed(r, error, start=START_SENTINEL):
    assert (r["rc"], type(r["error"]), r["start"], r["length"]) == (-1, error, start, LENGTH_SENTINEL)


def test_obj_to_cbuf():
    b = b"own"
    before = sys.getrefcount(b)
    r = ft.cbuf("obj_to_cbuf", b)
    holding = sys.getrefcount(b)
    assert r["owner"] is b and holding == before + 1  # exactly one new reference
    assert (r["rc"], r["start"], r["length"]) == (0, ft.buffer_address(b), 3)
    del r
    assert sys.getrefcount(b) == before
    ba = bytearray(b"copy")
    r = ft.cbuf("obj_to_cbuf", ba)
    assert type(r["owner"]) is bytes and r["owner"] == r["data"] == b"copy"
    assert r["start"] == ft.buffer_address(r["owner"]) and not exported(ba)
    assert ft.cbuf("obj_to_cbuf", [1, 2, 3])["owner"] == b"\x01\x02\x03"
    assert ft.cbuf("obj_to_cbuf", WithBytes(b"dunder"))["owner"] == b"dunder"
    for bad, error in [("str", TypeError), (7, TypeError), ([300], ValueError)]:
        r = ft.cbuf("obj_to_cbuf", bad)
        assert_failed(r, error)
        assert r["owner"] is None


def test_buf_to_cbuf():
    b = b"read only"
    r = ft.cbuf("buf_to_cbuf", b)
    assert (r["rc"], r["start"], r["data"]) == (0, ft.buffer_address(b), b)
    ba = bytearray(b"writable")
    before = sys.getrefcount(ba)
    r = ft.cbuf("buf_to_cbuf", ba)
    holding = sys.getrefcount(ba)
    assert (r["rc"], r["start"], r["length"]) == (0, ft.buffer_address(ba), 8)
    assert exported(ba) and holding == before + 1  # until the record is released
    del r
    assert not exported(ba) and sys.getrefcount(ba) == before
    for bad, error in [(memoryview(b"abcdef")[::2], BufferError), (object(), TypeError), ("str", TypeError)]:
        r = ft.cbuf("buf_to_cbuf", bad)
        assert_failed(r, error)
        assert r["record"] is None


def test_bytes_to_cbuf():
    empty = b""
    r = ft.cbuf("bytes_to_cbuf", empty)
    assert (r["rc"], r["length"], r["data"]) == (0, 0, b"") and r["start"] not in (0, START_SENTINEL)
    sub = type("B", (bytes,), {})(b"sub")
    before = sys.getrefcount(sub)
    r = ft.cbuf("bytes_to_cbuf", sub)
    assert (r["rc"], r["start"], r["data"]) == (0, ft.buffer_address(sub), b"sub")
    assert sys.getrefcount(sub) == before  # takes no reference
    for bad in (bytearray(b"x"), "x", memoryview(b"x")):
        assert_failed(ft.cbuf("bytes_to_cbuf", bad), TypeError)


def test_str_to_cbuf():
    r = ft.cbuf("str_to_cbuf", "")
    assert (r["rc"], r["length"], r["data"]) == (0, 0, b"") and r["start"] not in (0, START_SENTINEL)
    r = ft.cbuf("str_to_cbuf", "\xe9")
    assert (r["rc"], r["length"], r["data"]) == (0, 2, b"\xc3\xa9")
    s = "d\xe9j\xe0 vu"  # not a shared single-character str: its count is real
    before = sys.getrefcount(s)
    r = ft.cbuf("str_to_cbuf", s)
    assert ft.cbuf("str_to_cbuf", s)["start"] == r["start"]  # cached inside the str
    assert sys.getrefcount(s) == before  # takes no reference
    assert_failed(ft.cbuf("str_to_cbuf", "a\ud800"), UnicodeEncodeError, start=0)
    assert_failed(ft.cbuf("str_to_cbuf", b"bytes"), TypeError, start=0)
