"""AsyncQueue's reduce protocol: state, reduced forms, reconstruction,
copies and every refusal."""
import copy
import pickle

import pytest

from nimbo.utils.ferrylink import _ferrytest as ft
from nimbo.utils.ferrylink import ferrylink as fl
from nimbo.utils.ferrylink.ferrylink import AsyncQueue

unpickle = fl.__pyx_unpickle_AsyncQueue
CHECKSUM = 0xB5FB52F
NAMES = ["_callback", "_lock", "_loop", "_notify_cond", "_q", "_running", "_task"]
EMPTY = (None, None, None, None, None, False, None)
SOME = ("cb", "lock", "loop", "cond", None, True, "task")


class Sub(AsyncQueue):
    inits = 0

    def __init__(self, *args):
        Sub.inits += 1


def state_of(q):
    f = ft.queue_fields(q)
    return tuple(bool(f[n]) if n == "_running" else f[n] for n in NAMES)


def made(cls=AsyncQueue, state=SOME):
    q = cls.__new__(cls)
    q.__setstate__(state)
    return q


def test_reduced_forms():
    assert AsyncQueue.__new__(AsyncQueue).__reduce__() == (unpickle, (AsyncQueue, CHECKSUM, EMPTY))
    running = EMPTY[:5] + (True, None)  # _running alone keeps the short form
    assert made(state=running).__reduce__() == (unpickle, (AsyncQueue, CHECKSUM, running))
    assert made().__reduce__() == (unpickle, (AsyncQueue, CHECKSUM, None), SOME)
    sub = made(Sub)
    assert sub.__reduce__() == (unpickle, (Sub, CHECKSUM, None), SOME)  # an empty __dict__ stays out
    bare_sub = Sub.__new__(Sub)
    bare_sub.tag = 1  # a non-empty __dict__ alone selects the form with state
    assert bare_sub.__reduce__() == (unpickle, (Sub, CHECKSUM, None), EMPTY + ({"tag": 1},))


def test_copy_of_a_constructed_queue_shares_every_field(arun):
    async def main():
        q = AsyncQueue()
        q.start_dispatcher(print)
        c = copy.copy(q)
        assert type(c) is AsyncQueue and c is not q
        assert all(a is b for a, b in zip(state_of(c), state_of(q)))
        await q.shutdown()
        await c.push_obj(b"shared")  # the same ring and lock
        assert await q.pop() == b"shared"

    arun(main())


def test_copies_and_pickles_rebuild_the_type_without_its_constructor():
    q = made(Sub)
    q.extra = [1]
    for c in (copy.copy(q), copy.deepcopy(q), pickle.loads(pickle.dumps(q, pickle.HIGHEST_PROTOCOL))):
        assert type(c) is Sub and state_of(c) == SOME and c.extra == [1]
    assert Sub.inits == 0 and copy.deepcopy(q).extra is not q.extra
    for q in (AsyncQueue.__new__(AsyncQueue), made()):
        back = pickle.loads(pickle.dumps(q))
        assert type(back) is AsyncQueue and state_of(back) == state_of(q)


def test_reconstruction():
    for checksum in (0xB5FB52F, 0x4BD5B12, 0x5D4EBBC):
        assert state_of(unpickle(AsyncQueue, checksum, None)) == EMPTY
    q = unpickle(__pyx_type=Sub, __pyx_checksum=0x4BD5B12, __pyx_state=SOME)
    assert type(q) is Sub and state_of(q) == SOME
    assert unpickle.__doc__ == "__pyx_unpickle_AsyncQueue(__pyx_type, long __pyx_checksum, tuple __pyx_state)"
    with pytest.raises(pickle.PickleError) as info:
        unpickle(AsyncQueue, 1, None)
    assert str(info.value) == (
        "Incompatible checksums (0x1 vs (0xb5fb52f, 0x4bd5b12, 0x5d4ebbc) = "
        "(_callback, _lock, _loop, _notify_cond, _q, _running, _task))")
    with pytest.raises(TypeError, match=r"^Argument '__pyx_state' has incorrect type \(expected tuple, got list\)$"):
        unpickle(AsyncQueue, CHECKSUM, [])
    with pytest.raises(TypeError, match="an integer is required"):
        unpickle(AsyncQueue, "x", None)
    with pytest.raises(OverflowError):
        unpickle(AsyncQueue, 1 << 40, None)
    for args in ((int, CHECKSUM, None), (AsyncQueue, CHECKSUM)):  # not an AsyncQueue type; too few
        with pytest.raises(TypeError):
            unpickle(*args)


def test_setstate_errors_keep_what_was_assigned_before():
    q = AsyncQueue.__new__(AsyncQueue)
    with pytest.raises(TypeError, match=r"^cannot pass None into a C function argument that is declared 'not None'$"):
        q.__setstate__(None)
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        q.__setstate__(list(EMPTY))
    with pytest.raises(TypeError, match=r"^Expected tuple, got Tup$"):
        q.__setstate__(type("Tup", (tuple,), {})(EMPTY))
    with pytest.raises(TypeError, match=r"^Cannot convert int to nimbo\.spsc_queue\.spsc_queue\.SPSCQueue$"):
        q.__setstate__(("a", "b", "c", "d", 5, True, "t"))
    assert state_of(q) == ("a", "b", "c", "d", None, False, None)
    with pytest.raises(IndexError):
        q.__setstate__(("e", "f"))
    assert state_of(q)[:3] == ("e", "f", "c")
    with pytest.raises(AttributeError):
        q.__setstate__(EMPTY + ({"x": 1},))  # the plain type has no __dict__
    q.__setstate__(__pyx_state=EMPTY + ({},))  # an empty one is not applied
    assert state_of(q) == EMPTY
    for call in (lambda: q.__reduce__(1), lambda: q.__reduce__(protocol=2)):
        with pytest.raises(TypeError):
            call()


def test_a_restored_ring_queue_is_used(arun):
    async def main():
        q = AsyncQueue()
        await q.push_obj(b"kept")
        assert await made(state=q.__reduce__()[2]).pop() == b"kept"

    arun(main())
