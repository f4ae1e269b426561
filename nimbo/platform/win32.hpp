// The Windows headers, in the order Winsock needs (winsock2.h before
// windows.h) and without the min/max macros. Included on Windows only.
#ifndef NIMBO_PLATFORM_WIN32_HPP
#define NIMBO_PLATFORM_WIN32_HPP

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#endif
