// Windows Sockets 2 for the Win32 backend, private to it: the headers, the process's
// start of the library and the extension functions that are reached only through
// WSAIoctl.
#pragma once

#include "platform/win32/WinApi.h"

// windows.h came without winsock.h (WIN32_LEAN_AND_MEAN), so these follow it safely,
// each after the one it builds on.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <mswsock.h>

// The platform layer's own functions of these names.
#undef WSASocket

namespace Platform {

// Starts Windows Sockets 2.2 for the backend's own calls, once per process. The start
// is never undone: sockets may be used until the process ends, and the library counts
// starts, so the application's own WSAStartup and WSACleanup pair is unaffected.
// False when the library could not start (WSAGetLastError is then set).
bool EnsureWinsock();

// The extension functions, loaded once per process from the first socket in this order;
// a missing one keeps the error of its load, which its callers report instead.
struct WinsockExtensions {
    LPFN_CONNECTEX connectEx = nullptr;
    LPFN_ACCEPTEX acceptEx = nullptr;
    LPFN_GETACCEPTEXSOCKADDRS getAcceptExSockaddrs = nullptr;
    LPFN_DISCONNECTEX disconnectEx = nullptr;
    LPFN_TRANSMITFILE transmitFile = nullptr;
    ::DWORD connectExError = 0;
    ::DWORD acceptExError = 0;
    ::DWORD getAcceptExSockaddrsError = 0;
    ::DWORD disconnectExError = 0;
    ::DWORD transmitFileError = 0;
};
const WinsockExtensions& LoadWinsockExtensions(SOCKET socket);

// A TCP socket for overlapped calls that child processes do not inherit, with Nagle's
// delay off; INVALID_SOCKET with WSAGetLastError set on failure.
SOCKET NewTcpSocket();

}  // namespace Platform
