#include "platform/win32/Winsock.h"

#include <mutex>

namespace Platform {

bool EnsureWinsock() {
    static const int started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) {
        ::WSASetLastError(started);
    }
    return started == 0;
}

namespace {

template <typename Function>
void LoadExtension(SOCKET socket, GUID id, Function* function, ::DWORD* error) {
    ::DWORD returned = 0;
    if (::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, function,
                   sizeof *function, &returned, nullptr, nullptr) != 0) {
        *function = nullptr;
        *error = static_cast<::DWORD>(::WSAGetLastError());
    }
}

}  // namespace

const WinsockExtensions& LoadWinsockExtensions(SOCKET socket) {
    static WinsockExtensions extensions;
    static std::once_flag loaded;
    std::call_once(loaded, [socket] {
        WinsockExtensions& e = extensions;
        LoadExtension(socket, WSAID_CONNECTEX, &e.connectEx, &e.connectExError);
        LoadExtension(socket, WSAID_ACCEPTEX, &e.acceptEx, &e.acceptExError);
        LoadExtension(socket, WSAID_GETACCEPTEXSOCKADDRS, &e.getAcceptExSockaddrs,
                      &e.getAcceptExSockaddrsError);
        LoadExtension(socket, WSAID_DISCONNECTEX, &e.disconnectEx, &e.disconnectExError);
        LoadExtension(socket, WSAID_TRANSMITFILE, &e.transmitFile, &e.transmitFileError);
    });
    return extensions;
}

SOCKET NewTcpSocket() {
    if (!EnsureWinsock()) {
        return INVALID_SOCKET;
    }
    const SOCKET socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket != INVALID_SOCKET) {
        // The serialisers write field by field and then wait for an answer; Nagle's
        // delay would stall each such exchange until the peer's delayed acknowledgement.
        const BOOL on = TRUE;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on);
    }
    return socket;
}

}  // namespace Platform
