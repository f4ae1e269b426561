// The native push, pop and release entries of the dispatchers and CyPipe:
// the functions their tables (async_dispatcher.cpp, sync_dispatcher.cpp,
// pipe.cpp) and `_push_fn`, `_pop_fn`, `_release_fn` point to. `Owner` is
// the instance layout of include/ferrylink.h; `Form` names the member of the
// ring's table that the entry calls.
#pragma once
#include "ring_call.hpp"
#include "wake_datagram.hpp"
#include "wake_flag.hpp"

namespace ferry::lockfree {

using PushForm = ferry_spsc_push_fn ferry_spsc_vtable::*;
using PopForm = ferry_spsc_pop_fn ferry_spsc_vtable::*;

// The ring's own push or pop, nothing else (SyncDispatcher's blocking
// pushes, CyPipe).
template <class Owner, PushForm Form>
int push_only(Owner *self, const char *data, size_t size) noexcept {
    return call_ring(self->_q, Form, data, size);
}
template <class Owner, PopForm Form>
int pop_only(Owner *self, const char **data, size_t *size) noexcept {
    return call_ring(self->_q, Form, data, size);
}

// CyPipe's release: ends the message `pop` gave.
template <class Owner>
void release(Owner *self) noexcept {
    if (ferry_spsc_queue *q = current_ring(self->_q)) call_ring(q, &ferry_spsc_vtable::release);
}
// pop_var already took the message out: nothing to end.
template <class Owner>
void release_nothing(Owner *) noexcept {}

// `push` and `push_var` of both dispatchers: a try form, then one wake-up
// datagram for an accepted message.
template <class Dispatcher, PushForm Form>
int push_and_wake(Dispatcher *self, const char *data, size_t size) noexcept {
    int r = call_ring(self->_q, Form, data, size);
    if (r > 0) send_wakeup(&self->_wakeup);
    return r;
}

// `push_coalesced` and `push_var_coalesced` of both dispatchers: a try form,
// then a wake-up datagram only for the push that claims the consumer's
// announcement (see wake_flag.hpp for why none is lost).
template <class Dispatcher, PushForm Form>
int push_and_wake_if_waiting(Dispatcher *self, const char *data, size_t size) noexcept {
    int r = call_ring(self->_q, Form, data, size);
    if (r > 0 && wake_flag::claim(self->_waiting)) {
        send_wakeup(&self->_wakeup);
        wake_flag::count(self->_wakeups_sent);
    }
    return r;
}

}  // namespace ferry::lockfree
