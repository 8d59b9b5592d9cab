// The completion port on Windows: the OS's own, with the caller's block handed straight to
// the overlapped Windows Sockets calls. A socket is an OS socket behind a small object
// that remembers its port and key, so that DisconnectEx can put a fresh OS socket in
// place of the disconnected one (Wine has no TF_REUSE_SOCKET, and a reused socket is
// not needed: a fresh one serves the next connect the same).
//
// Sockets that were associated with a port are not freed when closed: the thread that
// takes the completions may still hold their address, so they are retired to the port
// and freed when that thread next enters GetQueuedCompletionStatus.
#include "platform/Sockets.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/System.h"
#include "platform/Utf8.h"
#include "platform/win32/Winsock.h"

namespace Platform {

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(Overlapped, internalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(Overlapped, offsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(Overlapped, event) == offsetof(OVERLAPPED, hEvent));
static_assert(sizeof(WsaBuf) == sizeof(WSABUF));
static_assert(offsetof(WsaBuf, buf) == offsetof(WSABUF, buf));

struct SocketObject {
    std::mutex lock;
    SOCKET socket = INVALID_SOCKET;
    CompletionPortObject* port = nullptr;
    std::uintptr_t key = 0;
};

struct CompletionPortObject {
    HANDLE handle = nullptr;
    std::mutex lock;
    std::vector<SocketObject*> retired;
    // Disconnected OS sockets by the block of their outstanding disconnect: each is
    // closed when that block comes out of the port.
    std::unordered_map<Overlapped*, SOCKET> disconnecting;
    std::atomic<std::size_t> disconnectCount{0};
};

namespace {

OVERLAPPED* ToOs(Overlapped* overlapped) {
    return reinterpret_cast<OVERLAPPED*>(overlapped);
}

sockaddr_in ToSockaddr(const SocketAddress& address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address.address);
    sa.sin_port = htons(address.port);
    return sa;
}

// The result of an overlapped call that returned `succeeded`.
DWORD OverlappedResult(bool succeeded) {
    if (succeeded) {
        return 0;
    }
    const auto error = static_cast<DWORD>(::WSAGetLastError());
    return error == WSA_IO_PENDING ? Error::IoPending : error;
}

// Why an overlapped call cannot run on the socket, 0 when it can: it needs an open OS
// socket associated with a port. The caller holds the socket's lock.
DWORD OverlappedUnusable(const SocketObject& socket) {
    if (socket.socket == INVALID_SOCKET) {
        return Error::WsaENotSock;
    }
    return socket.port == nullptr ? Error::WsaEInval : 0;
}

// Closes the OS socket whose disconnect just came out of the port, if it was one.
void EndDisconnect(CompletionPortObject* port, Overlapped* overlapped) {
    if (port->disconnectCount.load() == 0) {
        return;
    }
    SOCKET old = INVALID_SOCKET;
    {
        const std::lock_guard<std::mutex> guard(port->lock);
        const auto it = port->disconnecting.find(overlapped);
        if (it == port->disconnecting.end()) {
            return;
        }
        old = it->second;
        port->disconnecting.erase(it);
        --port->disconnectCount;
    }
    ::closesocket(old);
}

}  // namespace

DWORD WSAStartup(std::uint8_t major, std::uint8_t minor, std::uint16_t* version) {
    WSADATA data{};
    const int result = ::WSAStartup(MAKEWORD(major, minor), &data);
    *version = result == 0 ? data.wVersion : 0;
    return static_cast<DWORD>(result);
}

void WSACleanup() {
    ::WSACleanup();
}

CompletionPort CreateIoCompletionPort(std::uint32_t concurrency) {
    const HANDLE handle = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, concurrency);
    if (handle == nullptr) {
        return nullptr;
    }
    auto* port = new CompletionPortObject;
    port->handle = handle;
    return port;
}

bool AssociateSocket(CompletionPort port, Socket socket, std::uintptr_t key) {
    if (port == nullptr || socket == nullptr) {
        SetLastError(Error::InvalidParameter);
        return false;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (socket->port != nullptr || socket->socket == INVALID_SOCKET) {
        SetLastError(Error::InvalidParameter);
        return false;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a socket is a handle to Windows.
    const auto handle = reinterpret_cast<HANDLE>(socket->socket);
    if (::CreateIoCompletionPort(handle, port->handle, key, 0) == nullptr) {
        return false;
    }
    socket->port = port;
    socket->key = key;
    return true;
}

bool PostQueuedCompletionStatus(CompletionPort port, DWORD bytes, std::uintptr_t key,
                                Overlapped* overlapped) {
    if (port == nullptr) {
        SetLastError(Error::InvalidHandle);
        return false;
    }
    return ::PostQueuedCompletionStatus(port->handle, bytes, key, ToOs(overlapped)) != 0;
}

DWORD GetQueuedCompletionStatus(CompletionPort port, DWORD* bytes, std::uintptr_t* key,
                                Overlapped** overlapped) {
    *bytes = 0;
    *key = 0;
    *overlapped = nullptr;
    std::vector<SocketObject*> retired;
    {
        const std::lock_guard<std::mutex> guard(port->lock);
        retired.swap(port->retired);
    }
    for (SocketObject* s : retired) {
        delete s;
    }
    ::DWORD count = 0;
    ULONG_PTR packetKey = 0;
    OVERLAPPED* packetBlock = nullptr;
    const bool ok =
        ::GetQueuedCompletionStatus(port->handle, &count, &packetKey, &packetBlock, INFINITE) != 0;
    const ::DWORD error = ok ? 0 : ::GetLastError();
    if (packetBlock == nullptr) {
        // No packet came: the port itself failed.
        return error;
    }
    *bytes = count;
    *key = packetKey;
    *overlapped = reinterpret_cast<Overlapped*>(packetBlock);
    EndDisconnect(port, *overlapped);
    return WsaErrorFromWin32(error);
}

void CloseCompletionPort(CompletionPort port) {
    if (port == nullptr) {
        return;
    }
    for (const auto& [block, socket] : port->disconnecting) {
        ::closesocket(socket);
    }
    ::CloseHandle(port->handle);
    for (SocketObject* s : port->retired) {
        delete s;
    }
    delete port;
}

Socket WSASocket() {
    const SOCKET socket = NewTcpSocket();
    if (socket == INVALID_SOCKET) {
        SetLastError(static_cast<DWORD>(::WSAGetLastError()));
        return kInvalidSocket;
    }
    LoadWinsockExtensions(socket);
    auto* s = new SocketObject;
    s->socket = socket;
    return s;
}

DWORD Bind(Socket socket, const SocketAddress& address) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    const sockaddr_in sa = ToSockaddr(address);
    if (::bind(socket->socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return static_cast<DWORD>(::WSAGetLastError());
    }
    return 0;
}

DWORD GetSockName(Socket socket, SocketAddress* address) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    sockaddr_in sa{};
    int length = sizeof sa;
    if (::getsockname(socket->socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        return static_cast<DWORD>(::WSAGetLastError());
    }
    address->address = ntohl(sa.sin_addr.s_addr);
    address->port = ntohs(sa.sin_port);
    return 0;
}

void CloseSocket(Socket socket, bool abortive) {
    if (socket == nullptr) {
        return;
    }
    CompletionPortObject* port = nullptr;
    {
        const std::lock_guard<std::mutex> guard(socket->lock);
        port = socket->port;
        if (socket->socket != INVALID_SOCKET) {
            if (abortive) {
                const linger hard{1, 0};
                ::setsockopt(socket->socket, SOL_SOCKET, SO_LINGER,
                             reinterpret_cast<const char*>(&hard), sizeof hard);
            }
            // Outstanding calls complete through the port with ERROR_OPERATION_ABORTED.
            ::closesocket(socket->socket);
            socket->socket = INVALID_SOCKET;
        }
    }
    if (port == nullptr) {
        delete socket;
        return;
    }
    const std::lock_guard<std::mutex> guard(port->lock);
    port->retired.push_back(socket);
}

DWORD WSARecv(Socket socket, const WsaBuf& buffer, Overlapped* overlapped) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (const DWORD error = OverlappedUnusable(*socket)) {
        return error;
    }
    WSABUF osBuffer{buffer.len, buffer.buf};
    ::DWORD flags = 0;
    return OverlappedResult(
        ::WSARecv(socket->socket, &osBuffer, 1, nullptr, &flags, ToOs(overlapped), nullptr) == 0);
}

DWORD WSASend(Socket socket, const WsaBuf& buffer, Overlapped* overlapped) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (const DWORD error = OverlappedUnusable(*socket)) {
        return error;
    }
    WSABUF osBuffer{buffer.len, buffer.buf};
    return OverlappedResult(
        ::WSASend(socket->socket, &osBuffer, 1, nullptr, 0, ToOs(overlapped), nullptr) == 0);
}

DWORD ConnectEx(Socket socket, const SocketAddress& address, Overlapped* overlapped) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (const DWORD error = OverlappedUnusable(*socket)) {
        return error;
    }
    const WinsockExtensions& extensions = LoadWinsockExtensions(socket->socket);
    if (extensions.connectEx == nullptr) {
        return extensions.connectExError;
    }
    const sockaddr_in sa = ToSockaddr(address);
    return OverlappedResult(extensions.connectEx(socket->socket,
                                                 reinterpret_cast<const sockaddr*>(&sa), sizeof sa,
                                                 nullptr, 0, nullptr, ToOs(overlapped)) != 0);
}

DWORD UpdateConnectContext(Socket socket) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (::setsockopt(socket->socket, SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0) != 0) {
        return static_cast<DWORD>(::WSAGetLastError());
    }
    return 0;
}

DWORD DisconnectEx(Socket socket, Overlapped* overlapped) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (const DWORD error = OverlappedUnusable(*socket)) {
        return error;
    }
    CompletionPortObject* port = socket->port;
    const WinsockExtensions& extensions = LoadWinsockExtensions(socket->socket);
    if (extensions.disconnectEx == nullptr && extensions.transmitFile == nullptr) {
        return extensions.disconnectExError;
    }
    const SOCKET fresh = NewTcpSocket();
    if (fresh == INVALID_SOCKET) {
        return static_cast<DWORD>(::WSAGetLastError());
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a socket is a handle to Windows.
    if (::CreateIoCompletionPort(reinterpret_cast<HANDLE>(fresh), port->handle, socket->key, 0) ==
        nullptr) {
        const DWORD error = ::GetLastError();
        ::closesocket(fresh);
        return error;
    }
    const SOCKET old = socket->socket;
    socket->socket = fresh;
    {
        const std::lock_guard<std::mutex> portGuard(port->lock);
        port->disconnecting.emplace(overlapped, old);
        ++port->disconnectCount;
    }
    // TransmitFile without a file only when DisconnectEx is missing: the same graceful end.
    const bool done = extensions.disconnectEx != nullptr
                          ? extensions.disconnectEx(old, ToOs(overlapped), 0, 0) != 0
                          : extensions.transmitFile(old, nullptr, 0, 0, ToOs(overlapped), nullptr,
                                                    TF_DISCONNECT) != 0;
    const DWORD result = OverlappedResult(done);
    if (result != 0 && result != Error::IoPending) {
        // Failed at once: no packet will come for it.
        {
            const std::lock_guard<std::mutex> portGuard(port->lock);
            port->disconnecting.erase(overlapped);
            --port->disconnectCount;
        }
        ::closesocket(old);
    }
    return result;
}

std::vector<std::uint32_t> GetHostByName(const std::string& name) {
    std::vector<std::uint32_t> addresses;
    if (name.empty() || !EnsureWinsock()) {
        return addresses;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (::GetAddrInfoW(DecodeUtf8(name).c_str(), nullptr, &hints, &found) != 0) {
        return addresses;
    }
    for (const ADDRINFOW* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) {
            continue;
        }
        sockaddr_in in{};
        std::memcpy(&in, a->ai_addr, sizeof in);
        addresses.push_back(ntohl(in.sin_addr.s_addr));
    }
    ::FreeAddrInfoW(found);
    return addresses;
}

}  // namespace Platform
