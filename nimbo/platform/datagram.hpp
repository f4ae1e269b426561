// The wake-up datagram: sending one byte to a socket's own address and the
// blocking one-byte receive. BSD sockets on Linux, Winsock on Windows (link
// `ws2_32`; the process must have started Winsock, as Python's socket module
// does).
#ifndef NIMBO_PLATFORM_DATAGRAM_HPP
#define NIMBO_PLATFORM_DATAGRAM_HPP

#ifdef _WIN32
#include "win32.hpp"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace ferry::platform {

#ifdef _WIN32
using socket_handle = SOCKET;
#else
using socket_handle = int;
#endif
inline constexpr socket_handle kNoSocket = socket_handle(-1);

// Starts the socket library where it needs starting (Winsock); true if usable.
inline bool start_sockets() noexcept {
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    return true;
#endif
}

// Sends a one-byte datagram; the outcome is not reported.
inline void send_byte(socket_handle s, const sockaddr_in &to, char byte) noexcept {
    (void)sendto(s, &byte, 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

// Blocks until a datagram arrives and returns its first byte (the rest is
// discarded), or -1 on an error.
inline int receive_byte(socket_handle s) noexcept {
    char byte = 0;
    int n = int(recvfrom(s, &byte, 1, 0, nullptr, nullptr));
#ifdef _WIN32
    // Winsock reports a datagram longer than the buffer as an error.
    if (n < 0 && WSAGetLastError() == WSAEMSGSIZE) n = 1;
#endif
    return n > 0 ? static_cast<unsigned char>(byte) : -1;
}

// A second handle to the same socket, kept open until close_socket() even if
// the first is closed; kNoSocket if none could be made.
inline socket_handle duplicate_socket(socket_handle s) noexcept {
#ifdef _WIN32
    WSAPROTOCOL_INFOW info;
    if (WSADuplicateSocketW(s, GetCurrentProcessId(), &info) != 0) return kNoSocket;
    SOCKET d = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    return d == INVALID_SOCKET ? kNoSocket : d;
#else
    return fcntl(s, F_DUPFD_CLOEXEC, 0);
#endif
}

inline void close_socket(socket_handle s) noexcept {
#ifdef _WIN32
    closesocket(s);
#else
    ::close(s);
#endif
}

}  // namespace ferry::platform

#endif
