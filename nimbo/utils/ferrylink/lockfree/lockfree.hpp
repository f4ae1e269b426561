// The lock-free side of the module: everything a native producer, or a
// consumer between two messages, runs without the interpreter lock. Rules in
// this folder: no Python calls and no reference counts (a PyObject* is only
// compared or cast), every function noexcept, every shared field accessed
// atomically with its memory order and the reason beside it. The files with
// Python in them call in here; nothing here calls out to them.
//
//   ring_call.hpp        the ring in a `_q` field; calls into the ring's table
//   entries.hpp          the native push, pop and release entries
//   wake_flag.hpp        the consumer's announcement that it is about to wait
//   wake_datagram.hpp    the wake-up datagram: target, send, receive
//   consumer.hpp         SyncDispatcher's thread between two messages
//
// One message's way, pushed by `push_coalesced` into an AsyncDispatcher.
// Producer thread, no lock:
//   include/ferrylink.h        ferry_async_dispatcher_vtable::push_coalesced
//   async_dispatcher.cpp       async_dispatcher_vtable: .push_coalesced
//   lockfree/entries.hpp       push_and_wake_if_waiting
//   lockfree/ring_call.hpp     call_ring (&ferry_spsc_vtable::try_push)
//   spsc_queue/spsc_queue.cpp  kVtable: .try_push, entry<&SpscRing::try_push>
//   spsc_queue/ring.hpp        SpscRing::try_push, SpscRing::produce
//   lockfree/wake_flag.hpp     claim (a reader announced: send)
//   lockfree/wake_datagram.cpp send_wakeup
//   platform/datagram.hpp      send_byte
// Event loop thread, lock held:
//   async_dispatcher.cpp       ReaderFrame::wait_or_deliver: awaits loop.sock_recv
//   coro.cpp                   coro_send_impl, run_frame: the datagram came
//   async_dispatcher.cpp       ReaderFrame::resume, ReaderFrame::after_wait
//   lockfree/wake_flag.hpp     Sleeper::after_wait
//   async_dispatcher.cpp       ReaderFrame::try_pop (spsc_queue.cpp kVtable: .try_pop)
//   async_dispatcher.cpp       ReaderFrame::deliver: calls the callback
//   coro.cpp                   run_until_suspended: awaits what it returned
// A SyncDispatcher's thread waits in lockfree/consumer.hpp's
// ThreadConsumer::next instead, and delivers in sync_dispatcher.cpp:run_body.
#pragma once
#include "consumer.hpp"
#include "entries.hpp"
#include "ring_call.hpp"
#include "wake_datagram.hpp"
#include "wake_flag.hpp"
