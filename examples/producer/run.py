"""Sends numbered messages from the example's native producers through every
consumer kind that takes native pushes, and checks that all arrive in order.

    python run.py [count]      (after building the example, see setup.py)
"""
import asyncio
import sys
import threading

import ferry_producer
import ferry_producer_c
from nimbo.utils.ferrylink.ferrylink import AsyncDispatcher, CyPipe, SyncDispatcher


class CProducer(threading.Thread):
    """ferry_producer_c.produce on a thread of its own, joined like Producer."""

    def __init__(self, target, count):
        super().__init__()
        self.target, self.count, self.result = target, count, None
        self.start()

    def run(self):
        self.result = ferry_producer_c.produce(self.target, self.count)

    def join(self):
        super().join()
        return self.result


def check(kind, received, count):
    assert received == [str(i).encode() for i in range(count)], f"{kind}: messages lost or out of order"
    print(f"{kind}: {count} messages in order")


# [async dispatcher]
async def through_async_dispatcher(start, count):
    received = []
    all_there = asyncio.Event()

    async def on_message(message: bytes) -> None:
        received.append(message)
        if len(received) == count:
            all_there.set()

    dispatcher = AsyncDispatcher(on_message)
    dispatcher.setup()                          # needs the running loop
    producer = start(dispatcher, count)         # keeps the dispatcher alive
    await asyncio.wait_for(all_there.wait(), 60)
    assert producer.join() == (count, 1)        # stop pushing ...
    dispatcher.close()                          # ... then close
    return received
# [end]


def coalesced_start(target, count):
    """The C++ producer on the dispatchers' push path for high rates."""
    return ferry_producer.Producer(target, count, coalesced=True)


def through_sync_dispatcher(start, count, nonblocking=False):
    received = []
    all_there = threading.Event()

    def on_message(message: bytes) -> None:     # on the dispatcher's thread
        received.append(message)
        if len(received) == count:
            all_there.set()

    dispatcher = SyncDispatcher(on_message, nonblocking=nonblocking, detach=False)
    dispatcher.setup()
    producer = start(dispatcher, count)
    assert all_there.wait(60)
    assert producer.join() == (count, 1)
    dispatcher.close()                          # joins the thread (detach=False)
    return received


# [pipe]
def through_pipe(start, count):
    pipe = CyPipe(capacity=1024)
    reader = ferry_producer.PipeReader(pipe)    # waits in _pop_fn
    assert start(pipe, count).join() == (count, 1)
    ferry_producer.close_pipe(pipe)             # releases the reader once drained
    received, last, in_order = reader.join()
    assert (received, last, in_order) == (count, -2, True)
# [end]


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    for name, start in (("C++", ferry_producer.Producer), ("C", CProducer)):
        check(f"{name} -> AsyncDispatcher", asyncio.run(through_async_dispatcher(start, count)), count)
        check(f"{name} -> SyncDispatcher", through_sync_dispatcher(start, count), count)
        through_pipe(start, count)
        print(f"{name} -> CyPipe: {count} messages in order")
    check("C++ coalesced -> AsyncDispatcher", asyncio.run(through_async_dispatcher(coalesced_start, count)), count)
    check("C++ coalesced -> SyncDispatcher datagram",
          through_sync_dispatcher(coalesced_start, count, nonblocking=True), count)


if __name__ == "__main__":
    main()
