// The wake-up datagram: the target a producer sends to (the dispatcher's
// socket and its own address, `_wakeup`), the send, and the consumer's
// receive. Set-up and close write the target with the interpreter lock held
// (wakeup.cpp, dispatchers.hpp); producers read it without.
#pragma once
#include <atomic>
#include <cstring>
#include "ferrylink.h"

namespace ferry::lockfree {

inline void init_target(WakeupTarget *target) noexcept {
    target->fd = FERRY_NO_SOCKET;
    memset(&target->addr, 0, sizeof target->addr);
}

// Producers read `fd` while set-up and close write it: it is accessed
// atomically, in place (the published layout keeps a plain field). Set-up
// stores it last with release, so a producer that loads a handle with
// acquire also sees the address written before it.
static_assert(std::atomic_ref<PLATFORM_SOCKET>::required_alignment <= alignof(PLATFORM_SOCKET));
inline std::atomic_ref<PLATFORM_SOCKET> target_fd(const WakeupTarget *target) noexcept {
    return std::atomic_ref<PLATFORM_SOCKET>(const_cast<WakeupTarget *>(target)->fd);
}

// Before the socket is closed: its handle may be reused by the next socket or
// file the process opens, and nothing may be sent to that.
inline void invalidate_target(WakeupTarget *target) noexcept {
    target_fd(target).store(FERRY_NO_SOCKET, std::memory_order_release);
}

// One datagram of the byte 0x01 from the target's socket to its own address;
// nothing when there is no socket. Any thread, never fails visibly.
void send_wakeup(const WakeupTarget *target) noexcept;

// A blocking receive of one datagram into a 1-byte buffer; outcome ignored.
void receive_wakeup(PLATFORM_SOCKET fd) noexcept;

// Reads one datagram that is already there, without waiting: true if it did.
bool receive_wakeup_now(PLATFORM_SOCKET fd) noexcept;

// The handle a consumer thread receives on: its own duplicate of the
// dispatcher's. Close closes the socket while the thread may be about to
// receive, and the handle number may then be reused by the next socket or
// file the process opens; the duplicate keeps the socket, and close's
// wake-up datagram, until the thread is done with it.
class WaitHandle {
public:
    explicit WaitHandle(PLATFORM_SOCKET shared) noexcept;
    ~WaitHandle();
    WaitHandle(const WaitHandle &) = delete;
    WaitHandle &operator=(const WaitHandle &) = delete;
    // Without a duplicate (none could be made), the dispatcher's own handle.
    PLATFORM_SOCKET get() const noexcept { return own_ != FERRY_NO_SOCKET ? own_ : shared_; }

private:
    PLATFORM_SOCKET shared_;
    PLATFORM_SOCKET own_ = FERRY_NO_SOCKET;
};

}  // namespace ferry::lockfree
