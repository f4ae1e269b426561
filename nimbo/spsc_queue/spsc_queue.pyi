"""Lock-free single-producer/single-consumer ring queue (SPSCQueue)."""

from collections.abc import Buffer
from typing import Any, ClassVar, Final

from typing_extensions import disjoint_base

FULL: Final[int]
"""Push result: not accepted now (0)."""
EMPTY: Final[int]
"""Pop result of the native try forms: nothing queued (0)."""
TOO_LARGE: Final[int]
"""Push result: the message can never fit (-1)."""
CLOSED: Final[int]
WRONG_FAMILY: Final[int]
"""Push or pop result after ``close()`` (-2)."""

@disjoint_base
class SPSCQueue:
    """Lock-free single-producer/single-consumer ring queue of byte messages.

    One producer thread pushes, one consumer thread pops; ``close()`` may come
    from any thread. Native code uses the method table in the capsule
    ``SPSCQueue.__pyx_vtable__`` (``spsc_queue.h``, ``nimbo.spsc_queue.get_include()``);
    these Python methods are for Python producers, tests and debugging.

    ``capacity`` messages of up to ``slot_size`` bytes each. ``overwrite``: a
    push into a full queue drops the oldest unread message and is accepted.
    ``block_on_full``: ``push`` waits for space until ``close()``; a waiting
    push is woken once an eighth of the ring is free.
    ``zerocopy``: native pops point into the ring itself.
    """

    __pyx_vtable__: ClassVar[Any]
    def __init__(
        self,
        slot_size: int,
        capacity: int,
        overwrite: bool = False,
        zerocopy: bool = False,
        block_on_full: bool = False,
    ) -> None: ...
    def try_push(self, buffer: Buffer, /) -> int:
        """Copies the bytes into a slot; never waits. 1 accepted, 0 full,
        -1 longer than ``slot_size``, -2 after ``close()``."""

    def push(self, buffer: Buffer, /) -> int:
        """Like ``try_push``; with ``block_on_full`` waits for space (lock
        released) until ``close()``. One pushing thread at a time."""

    def try_pop(self) -> bytes | None:
        """The oldest message, or None when empty (or closed and drained)."""

    # A ring is used through one family of forms, fixed-slot or variable-size
    # (_var), whichever comes first; a method of the other family raises
    # RuntimeError.
    def try_push_var(self, buffer: Buffer, /) -> int:
        """``try_push`` for the variable-size form: a record in the byte ring of
        ``capacity * slot_size`` bytes."""

    def push_var(self, buffer: Buffer, /) -> int:
        """``push`` for the variable-size form."""

    def try_pop_var(self) -> bytes | None:
        """``try_pop`` for the variable-size form."""

    def close(self) -> None:
        """Refuses further pushes and wakes every waiter; queued messages can
        still be popped. Safe from any thread, more than once."""

    def __len__(self) -> int:
        """Messages waiting (a snapshot)."""

    @property
    def slot_size(self) -> int:
        """Largest message of the fixed-slot forms, in bytes."""

    @property
    def capacity(self) -> int:
        """Number of slots (the variable-size forms: ``capacity * slot_size`` bytes)."""

    @property
    def closed(self) -> bool:
        """True once ``close()`` was called."""

    @property
    def pushed(self) -> int:
        """Messages accepted."""

    @property
    def popped(self) -> int:
        """Messages handed to the consumer."""

    @property
    def dropped(self) -> int:
        """Unread messages dropped by overwrite to make room."""

    @property
    def rejected(self) -> int:
        """Pushes not accepted: full, too large or closed."""

    @property
    def overwrite(self) -> bool:
        """The overwrite flag given at construction."""

    @property
    def zerocopy(self) -> bool:
        """The zerocopy flag given at construction."""

    @property
    def block_on_full(self) -> bool:
        """The block_on_full flag given at construction."""
