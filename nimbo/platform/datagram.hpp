// The wake-up datagram: sending one byte to a socket's own address, and the
// one-byte receive, waiting or not. BSD sockets on Linux, Winsock on Windows (link
// `ws2_32`; the process must have started Winsock, as Python's socket module
// does).
#ifndef NIMBO_PLATFORM_DATAGRAM_HPP
#define NIMBO_PLATFORM_DATAGRAM_HPP

#ifdef _WIN32
#include "win32.hpp"
#else
#include <arpa/inet.h>
#include <cerrno>
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
// discarded), or -1 on an error. A signal is no datagram: it waits on.
inline int receive_byte(socket_handle s) noexcept {
    char byte = 0;
#ifdef _WIN32
    int n = recvfrom(s, &byte, 1, 0, nullptr, nullptr);
    // Winsock reports a datagram longer than the buffer as an error.
    if (n < 0 && WSAGetLastError() == WSAEMSGSIZE) n = 1;
#else
    ssize_t n;
    do n = recvfrom(s, &byte, 1, 0, nullptr, nullptr);
    while (n < 0 && errno == EINTR);
#endif
    return n > 0 ? static_cast<unsigned char>(byte) : -1;
}

// Reads one datagram if one is already there, without waiting: true if it
// did. On a blocking or a non-blocking socket alike.
inline bool receive_byte_now(socket_handle s) noexcept {
    char byte = 0;
#ifdef _WIN32
    u_long ready = 0;
    if (ioctlsocket(s, FIONREAD, &ready) != 0 || ready == 0) return false;
    int n = recvfrom(s, &byte, 1, 0, nullptr, nullptr);
    return n > 0 || (n < 0 && WSAGetLastError() == WSAEMSGSIZE);
#else
    return recvfrom(s, &byte, 1, MSG_DONTWAIT, nullptr, nullptr) > 0;
#endif
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
