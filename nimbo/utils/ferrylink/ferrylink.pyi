"""Native producer threads to Python: dispatchers, pipes and byte views.

Native code in other extension modules pushes byte messages into these
objects from its own threads, without the interpreter lock, through the
tables that ``ferrylink.h`` declares (``get_include()`` finds it). Python
code creates the objects, gives them callbacks and closes them. See
docs/guide.md for which type fits which rate and for the native contract.
"""

import asyncio
import socket
from collections.abc import Awaitable, Buffer, Callable
from typing import Any, ClassVar

from typing_extensions import disjoint_base

from nimbo.tracelog import DefaultLogger

logger: DefaultLogger
"""Where the module's log lines go: the standard ``logging`` logger "nimbo"."""

__pyx_capi__: dict[str, Any]
"""The exported conversion functions, as capsules for native code (``ferry_import()``)."""

__test__: dict[str, Any]
"""Empty: the module carries no doctests."""

def setup_socket(blocking: bool, recvbuf: int) -> socket.socket:
    """A UDP socket for wake-up datagrams, not yet bound.

    ``recvbuf`` > 0 asks for that receive buffer: SO_RCVBUFFORCE on Linux
    (needs CAP_NET_ADMIN; without it a warning is logged and SO_RCVBUF is
    used), SO_RCVBUF elsewhere. The buffer granted is logged at debug level.
    """

@disjoint_base
class AsyncDispatcher:
    """Delivers native pushes to an ``async def`` callback on an event loop.

    A reader task on the loop drains the ring and awaits ``callback(message)``
    once per message, in order, one at a time; when the ring is empty it sleeps
    until a one-byte datagram arrives on the dispatcher's own socket. Native
    producers push through ``push`` (a datagram per accepted message, for low
    rates) or ``push_coalesced`` (a datagram only when the reader is about to
    sleep, for high rates); ``_push_fn`` is ``push`` (``push_var``).

    ``capacity`` slots of up to ``slot_size`` bytes (``variable_size=True``:
    one ring of ``capacity * slot_size`` bytes for messages of any length up
    to that). ``overwrite=True``: a push into a full ring drops the oldest
    unread message instead of being refused. ``zerocopy=True``: the reader
    copies each message straight out of the ring. Calling ``__init__`` again
    closes the old ring (a producer still pushing into it gets ``FERRY_CLOSED``)
    and installs a new one; a failing call leaves the object as it was.
    """

    __pyx_vtable__: ClassVar[Any]
    def __init__(
        self,
        callback: Callable[[bytes], Awaitable[object]],
        capacity: int = 16384,
        slot_size: int = 2048,
        overwrite: bool = False,
        zerocopy: bool = False,
        variable_size: bool = False,
    ) -> None: ...
    def setup(self, host: str = "127.0.0.1", recvbuf: int = 16777216) -> None:
        """Binds the wake-up socket to ``host`` and starts the reader task.

        Must be called on the thread of a running event loop; the task runs on
        that loop. Messages pushed before ``setup`` are kept and delivered. A
        second ``setup`` closes the first socket and cancels the first reader.
        A callback that raises ends the reader; the loop's exception handler
        reports it at once.
        """

    def close(self) -> None:
        """Stops delivery: closes the ring, cancels the reader task, closes the socket.

        Native producers must have stopped pushing (or must handle the
        ``FERRY_CLOSED`` result). Called again, on a dispatcher never set up, or
        after the reader's loop has closed, it does what is left and returns.
        Destruction calls it.
        """

@disjoint_base
class SyncDispatcher:
    """Delivers native pushes to a callback on a native thread of its own.

    The thread takes the interpreter lock once per message to call
    ``callback(message)``. ``nonblocking=True`` (default): producers use the
    ring's never-waiting push and send a wake-up datagram (``push``: one per
    message; ``push_coalesced``: only when the thread is about to sleep, for
    high rates); the thread sleeps in a receive on its socket
    when the ring is empty. ``nonblocking=False``:
    no socket; the thread waits inside the ring, which is much faster, and
    with ``block_on_full=True`` producers wait for space instead of being
    refused. ``detach=True`` (default): ``close`` does not wait for the
    thread; ``detach=False``: ``close`` joins it. At interpreter exit a hook
    closes every dispatcher whose thread still runs and waits at most 5 s for
    each; a forked child forgets the parent's threads. Calling ``__init__``
    again closes the old ring and installs a new one, as for AsyncDispatcher.
    """

    __pyx_vtable__: ClassVar[Any]
    def __init__(
        self,
        callback: Callable[[bytes], object],
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: bool = False,
        overwrite: bool = False,
        block_on_full: bool = False,
        variable_size: bool = False,
        detach: bool = True,
        nonblocking: bool = True,
    ) -> None: ...
    def setup(self, host: str = "127.0.0.1", recvbuf: int = 16777216) -> None:
        """Starts the dispatcher thread (with ``nonblocking=True``, after binding
        the wake-up socket to ``host``). RuntimeError while a thread still runs."""

    def close(self) -> None:
        """Stops the thread after the message in hand; closes ring and socket.

        With ``detach=False`` it waits for the thread (not when called from the
        callback itself). Messages still in the ring are not delivered.
        Destruction and interpreter exit call it.
        """

@disjoint_base
class CyPipe:
    """A ring queue between a native producer thread and a native consumer thread.

    No Python methods: native code pushes with ``_push_fn`` and pops with
    ``_pop_fn`` (which waits while the pipe is empty), then calls
    ``_release_fn``. The pipe has no close; native code releases a waiting
    consumer by closing the pipe's ring ``_q``. Calling ``__init__`` again
    closes the old ring and installs a new one.
    """

    __pyx_vtable__: ClassVar[Any]
    def __init__(
        self,
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: bool = False,
        overwrite: bool = False,
        block_on_full: bool = False,
        variable_size: bool = False,
    ) -> None: ...

@disjoint_base
class CBufferView:
    """A reusable native view (pointer and length) of one Python object's bytes.

    For native consumers only; Python can construct it and nothing more.
    ``msg_kind`` fixes how objects are loaded: 0 ``bytes``, 1 ``str`` (UTF-8),
    2 any buffer, 3 ``bytes(obj)``, 4 (default) or any other value: chosen by
    the object's type at each load.
    """

    __pyx_vtable__: ClassVar[Any]
    def __init__(self, msg_kind: int = 4) -> None: ...

@disjoint_base
class AsyncQueue:
    """An awaitable queue of byte messages for coroutines on one event loop.

    Producers await ``push_buf``, ``push_obj`` or ``push_str``; consumers await
    ``pop`` or let ``start_dispatcher`` hand every message to a callback.
    Everything runs on the loop's thread: it is not for other threads. The
    push methods return the ring's result (1 accepted, 0 full, -1 too large,
    -2 closed); with ``block_on_full=True`` a push that finds the ring full
    waits until consumers have freed an eighth of the ring, or emptied it.
    A push never awaited pushes
    nothing and warns "coroutine ... was never awaited".
    ``copy.copy`` gives a second queue over the same ring; a queue made by the
    constructor cannot be pickled (its loop, lock and ring cannot).
    """

    __pyx_vtable__: ClassVar[Any]
    def __init__(
        self,
        loop: asyncio.AbstractEventLoop | None = None,
        slot_size: int = 1024,
        capacity: int = 16384,
        overwrite: bool = False,
        zerocopy: bool = False,
        block_on_full: bool = False,
    ) -> None:
        """Without ``loop``, must be called inside a running event loop."""

    async def push_buf(self, msg: Buffer) -> int:
        """Pushes the bytes of any contiguous buffer, without an extra copy.
        Returns 1 accepted, 0 full (or released by ``shutdown`` while waiting
        for space), -1 too large, -2 closed: a message not accepted is dropped."""

    async def push_obj(self, msg: object) -> int:
        """Pushes ``bytes(msg)``: bytes, a buffer, an iterable of ints 0..255,
        or an object with ``__bytes__``; TypeError for ``str`` and ints.
        Returns the ring's result, as ``push_buf``."""

    async def push_str(self, msg: str) -> int:
        """Pushes the UTF-8 encoding of ``msg``. Returns the ring's result, as
        ``push_buf``."""

    async def pop(self) -> bytes:
        """The oldest message; waits while the queue is empty."""

    def start_dispatcher(self, callback: Callable[[bytes], Awaitable[object]]) -> None:
        """Starts a task on the queue's loop that awaits ``callback(message)`` per message."""

    async def shutdown(self, *excinfo: object) -> None:
        """Wakes the waiters (a push waiting for space returns 0) and cancels the
        dispatcher task; re-raises what the callback raised. It does not close
        the queue. Takes ``__aexit__``-style arguments and ignores them."""
