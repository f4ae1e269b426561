// SyncDispatcher's thread between two messages: it pops, and when a try form
// finds the ring empty, sleeps until a wake-up datagram; all of it without
// the interpreter lock, which the thread takes only to deliver a message
// (sync_dispatcher.cpp: run_body).
#pragma once
#include "ring_call.hpp"
#include "wake_datagram.hpp"
#include "wake_flag.hpp"

namespace ferry::lockfree {

// Cleared by close (lock held) to stop the thread, read by the thread
// without the lock.
inline std::atomic_ref<unsigned char> running(ferry_sync_dispatcher *self) noexcept {
    return std::atomic_ref<unsigned char>(self->_running);
}

// How a thread body takes messages from the ring.
struct ConsumerForm {
    ferry_spsc_pop_fn ferry_spsc_vtable::*pop;
    bool nonblocking;  // try forms (`_nonblocking`): sleep on a datagram when the queue is empty
    bool releases;     // `pop`: release the slot after the callback returned
};

// One per thread, made with the lock held (it reads the dispatcher's socket).
class ThreadConsumer {
public:
    ThreadConsumer(ferry_sync_dispatcher *self, ferry_spsc_queue *q, const ConsumerForm &form) noexcept
        : self_(self), q_(q), form_(form), wakeups_(form.nonblocking ? self->_wakeup.fd : FERRY_NO_SOCKET) {}

    // The next message (1), or what the last pop returned once the
    // dispatcher stopped.
    int next(const char **data, size_t *size) noexcept {
        for (;;) {
            int r = running(self_).load() ? call_ring(q_, form_.pop, data, size) : FERRY_SPSC_CLOSED;
            if (r != 1 && form_.nonblocking && running(self_).load()) r = pop_or_sleep(data, size);
            if (r == 1 || !running(self_).load()) return r;
        }
    }

    // After the callback returned.
    void done_with_message() noexcept {
        if (form_.releases) call_ring(q_, &ferry_spsc_vtable::release);
    }

private:
    // A try form found the ring empty: announce the wait, look once more,
    // and only then wait for a wake-up datagram.
    int pop_or_sleep(const char **data, size_t *size) noexcept {
        auto pop = [&] { return call_ring(q_, form_.pop, data, size); };
        if (sleeper_.before_wait(*self_, pop, [&] { return receive_wakeup_now(wakeups_.get()); })) return 1;
        receive_wakeup(wakeups_.get());
        return sleeper_.after_wait(*self_, pop);
    }

    ferry_sync_dispatcher *self_;
    ferry_spsc_queue *q_;
    ConsumerForm form_;
    WaitHandle wakeups_;
    wake_flag::Sleeper<ferry_sync_dispatcher> sleeper_;
};

}  // namespace ferry::lockfree
