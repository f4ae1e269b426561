"""Type-checked with `mypy --strict` (scripts/check_types.sh), not run: every
public name of the stubs used as a user would. The `type: ignore` lines must
stay needed (strict mode reports unused ones), so the stubs cannot decay to Any."""
import asyncio
import logging
import socket

from nimbo.spsc_queue import get_include as spsc_include
from nimbo.spsc_queue.spsc_queue import CLOSED, EMPTY, FULL, TOO_LARGE, SPSCQueue
from nimbo.tracelog import DefaultLogger
from nimbo.utils.ferrylink import get_include
from nimbo.utils.ferrylink.ferrylink import (
    AsyncDispatcher,
    AsyncQueue,
    CBufferView,
    CyPipe,
    SyncDispatcher,
    logger,
    setup_socket,
)


async def on_message(message: bytes) -> None:
    logging.getLogger("nimbo").info("%d bytes", len(message))


def on_message_sync(message: bytes) -> None:
    print(message.decode())


async def dispatchers() -> None:
    a = AsyncDispatcher(on_message, capacity=1024, slot_size=256, overwrite=False, zerocopy=True,
                        variable_size=False)
    a.setup()
    a.setup("127.0.0.1", recvbuf=1 << 20)
    a.close()
    s = SyncDispatcher(on_message_sync, 1024, 256, zerocopy=False, overwrite=False, block_on_full=True,
                       variable_size=True, detach=False, nonblocking=False)
    s.setup(host="127.0.0.1")
    s.close()
    AsyncDispatcher(on_message_sync)  # type: ignore[arg-type]
    a.setup(host=None)  # type: ignore[arg-type]


async def queue() -> bytes:
    q = AsyncQueue(None, slot_size=64, capacity=128, overwrite=False, zerocopy=False, block_on_full=True)
    accepted: int = await q.push_buf(bytearray(b"abc")) + await q.push_obj([104, 105]) + await q.push_str("é")
    if accepted != 3:
        raise RuntimeError("a message was refused")
    q.start_dispatcher(on_message)
    await q.shutdown()
    await q.shutdown(None, None, None)
    AsyncQueue(asyncio.get_running_loop())
    await q.push_str(b"x")  # type: ignore[arg-type]
    return await q.pop()


def natives() -> tuple[CyPipe, CBufferView, socket.socket]:
    pipe = CyPipe(capacity=64, slot_size=128, zerocopy=True, overwrite=False, block_on_full=True, variable_size=False)
    view = CBufferView(msg_kind=2)
    return pipe, view, setup_socket(False, 0)


def ring() -> list[int | bool | bytes | None | str]:
    r = SPSCQueue(64, 16, overwrite=True, zerocopy=False, block_on_full=False)
    pushed: int = r.try_push(b"x") + r.push(memoryview(b"y"))
    out: list[int | bool | bytes | None | str] = [pushed, r.try_pop(), len(r), r.slot_size, r.capacity, r.closed]
    out += [r.pushed, r.popped, r.dropped, r.rejected, r.overwrite, r.zerocopy, r.block_on_full]
    out += [FULL, EMPTY, TOO_LARGE, CLOSED, get_include(), spsc_include()]
    v = SPSCQueue(64, 16)
    out += [v.try_push_var(b"x") + v.push_var(bytearray(b"y")), v.try_pop_var()]
    r.close()
    r.try_push("text")  # type: ignore[arg-type]
    return out


def logging_front() -> None:
    for log in (logger, DefaultLogger()):
        log.debug("d")
        log.info("i")
        log.warn("w")
        log.error("e")
