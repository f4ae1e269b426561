#include "wake_datagram.hpp"
#include <type_traits>
#include "platform/datagram.hpp"

namespace ferry::lockfree {

static_assert(std::is_same_v<PLATFORM_SOCKET, platform::socket_handle>, "the public header's socket type");

void send_wakeup(const WakeupTarget *target) noexcept {
    if (!target) return;
    PLATFORM_SOCKET fd = target_fd(target).load(std::memory_order_acquire);
    if (fd == FERRY_NO_SOCKET) return;
    platform::send_byte(fd, target->addr, 0x01);
}

void receive_wakeup(PLATFORM_SOCKET fd) noexcept { (void)platform::receive_byte(fd); }

bool receive_wakeup_now(PLATFORM_SOCKET fd) noexcept { return platform::receive_byte_now(fd); }

WaitHandle::WaitHandle(PLATFORM_SOCKET shared) noexcept : shared_(shared) {
    if (shared != FERRY_NO_SOCKET) own_ = platform::duplicate_socket(shared);
}

WaitHandle::~WaitHandle() {
    if (own_ != FERRY_NO_SOCKET) platform::close_socket(own_);
}

}  // namespace ferry::lockfree
