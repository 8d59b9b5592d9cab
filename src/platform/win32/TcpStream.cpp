// Blocking streams over Windows Sockets. The listener accepts through AcceptEx with an
// event, so that Close can end a waiting Accept by an event of its own instead of
// closing the socket under it.
#include "platform/TcpStream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/Utf8.h"
#include "platform/win32/Winsock.h"

namespace Platform {

namespace {

SOCKET Os(std::intptr_t descriptor) {
    return static_cast<SOCKET>(descriptor);
}

// recv and send move at most INT_MAX bytes a call.
int Piece(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

void SetNoDelay(SOCKET socket) {
    const BOOL on = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// The address and port of a socket address, with IPv4 inside IPv6 given as IPv4.
IpAddress AddressOf(const sockaddr_storage& socketAddress, std::uint16_t* port) {
    IpAddress address;
    if (socketAddress.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(socketAddress);
        std::memcpy(address.bytes.data(), &v4.sin_addr, 4);
        *port = ntohs(v4.sin_port);
    } else if (socketAddress.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(socketAddress);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr);
        static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) {
            std::memcpy(address.bytes.data(), bytes + 12, 4);
        } else {
            address.v6 = true;
            std::memcpy(address.bytes.data(), bytes, 16);
        }
        *port = ntohs(v6.sin6_port);
    }
    return address;
}

std::string Describe(const sockaddr_storage& socketAddress) {
    std::uint16_t port = 0;
    IpAddress address = AddressOf(socketAddress, &port);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text);
    const std::string host = address.v6 ? "[" + std::string(text) + "]" : std::string(text);
    return host + ":" + std::to_string(port);
}

}  // namespace

bool ParseIpAddress(const std::string& text, IpAddress* address) {
    IpAddress parsed;
    if (::inet_pton(AF_INET, text.c_str(), parsed.bytes.data()) != 1) {
        parsed.v6 = true;
        if (::inet_pton(AF_INET6, text.c_str(), parsed.bytes.data()) != 1) {
            return false;
        }
    }
    *address = parsed;
    return true;
}

std::unique_ptr<TcpStream> TcpStream::Connect(const std::string& host, std::uint16_t port) {
    if (!EnsureWinsock()) {
        return nullptr;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (::GetAddrInfoW(DecodeUtf8(host).c_str(), std::to_wstring(port).c_str(), &hints, &found) !=
        0) {
        return nullptr;
    }
    std::unique_ptr<TcpStream> stream;
    for (const ADDRINFOW* a = found; a != nullptr && !stream; a = a->ai_next) {
        const SOCKET socket = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                                           WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (socket == INVALID_SOCKET) {
            continue;
        }
        if (::connect(socket, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            SetNoDelay(socket);
            stream = std::make_unique<TcpStream>(static_cast<std::intptr_t>(socket));
        } else {
            ::closesocket(socket);
        }
    }
    ::FreeAddrInfoW(found);
    return stream;
}

TcpStream::TcpStream(std::intptr_t descriptor) : m_descriptor(descriptor) {}

TcpStream::~TcpStream() {
    if (Os(m_descriptor) != INVALID_SOCKET) {
        ::closesocket(Os(m_descriptor));
    }
}

bool TcpStream::ReadAll(void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const int n = ::recv(Os(m_descriptor), p, Piece(size), 0);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long TcpStream::ReadSome(void* data, std::size_t size) {
    const int n = ::recv(Os(m_descriptor), static_cast<char*>(data), Piece(size), 0);
    if (n < 0) {
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
    }
    return n;
}

long TcpStream::WriteSome(const void* data, std::size_t size) {
    const int n = ::send(Os(m_descriptor), static_cast<const char*>(data), Piece(size), 0);
    if (n < 0) {
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
    }
    return n;
}

void TcpStream::SetNonBlocking() {
    u_long on = 1;
    ::ioctlsocket(Os(m_descriptor), FIONBIO, &on);
}

bool TcpStream::WriteAll(const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const int n = ::send(Os(m_descriptor), p, Piece(size), 0);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void TcpStream::SetTimeout(std::uint32_t milliseconds) {
    const ::DWORD value = milliseconds;
    ::setsockopt(Os(m_descriptor), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                 sizeof value);
    ::setsockopt(Os(m_descriptor), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
                 sizeof value);
}

void TcpStream::ShutdownWrite() {
    ::shutdown(Os(m_descriptor), SD_SEND);
}

void TcpStream::Abort() {
    const linger hard{1, 0};
    ::setsockopt(Os(m_descriptor), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
                 sizeof hard);
    ::closesocket(Os(m_descriptor));
    m_descriptor = static_cast<std::intptr_t>(INVALID_SOCKET);
}

void TcpStream::Cut() {
    // shutdown alone may leave a blocked recv waiting; cancelling the socket's I/O ends it.
    ::shutdown(Os(m_descriptor), SD_BOTH);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a socket is a handle to Windows.
    ::CancelIoEx(reinterpret_cast<HANDLE>(Os(m_descriptor)), nullptr);
}

std::string TcpStream::PeerName() const {
    sockaddr_storage address{};
    int length = sizeof address;
    if (::getpeername(Os(m_descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "?";
    }
    return Describe(address);
}

IpAddress TcpStream::PeerAddress() const {
    sockaddr_storage address{};
    int length = sizeof address;
    if (::getpeername(Os(m_descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    std::uint16_t port = 0;
    return AddressOf(address, &port);
}

std::unique_ptr<TcpListener> TcpListener::Listen(const std::string& address, std::uint16_t port,
                                                 int backlog) {
    if (!EnsureWinsock()) {
        return nullptr;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    ADDRINFOW* found = nullptr;
    const std::wstring host = DecodeUtf8(address);
    if (::GetAddrInfoW(address.empty() ? nullptr : host.c_str(), std::to_wstring(port).c_str(),
                       &hints, &found) != 0) {
        return nullptr;
    }
    std::unique_ptr<TcpListener> listener;
    for (const ADDRINFOW* a = found; a != nullptr && !listener; a = a->ai_next) {
        const SOCKET socket = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                                           WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (socket == INVALID_SOCKET) {
            continue;
        }
        // "::" takes IPv4 clients too, as on Linux (Windows' default is IPv6 only).
        const ::DWORD off = 0;
        if (a->ai_family == AF_INET6) {
            ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                         sizeof off);
        }
        sockaddr_storage bound{};
        int length = sizeof bound;
        const HANDLE closeEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (closeEvent == nullptr ||
            ::bind(socket, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 ||
            ::listen(socket, backlog) != 0 ||
            ::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            if (closeEvent != nullptr) {
                ::CloseHandle(closeEvent);
            }
            ::closesocket(socket);
            continue;
        }
        LoadWinsockExtensions(socket);
        std::uint16_t boundPort = 0;
        AddressOf(bound, &boundPort);
        listener.reset(new TcpListener(static_cast<std::intptr_t>(socket), a->ai_family, boundPort,
                                       Describe(bound), closeEvent));
    }
    ::FreeAddrInfoW(found);
    return listener;
}

TcpListener::~TcpListener() {
    ::closesocket(Os(m_descriptor));
    ::CloseHandle(m_closeEvent);
}

std::unique_ptr<TcpStream> TcpListener::Accept() {
    const SOCKET listening = Os(m_descriptor);
    const LPFN_ACCEPTEX acceptEx = LoadWinsockExtensions(listening).acceptEx;
    if (acceptEx == nullptr) {
        return nullptr;
    }
    // Room for both addresses, each with the 16 bytes AcceptEx wants beyond it.
    constexpr ::DWORD kAddressRoom = sizeof(sockaddr_in6) + 16;
    char addresses[2 * kAddressRoom];
    const HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) {
        return nullptr;
    }
    std::unique_ptr<TcpStream> stream;
    while (!stream && ::WaitForSingleObject(m_closeEvent, 0) == WAIT_TIMEOUT) {
        const SOCKET accepted = ::WSASocketW(m_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (accepted == INVALID_SOCKET) {
            break;
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = done;
        ::ResetEvent(done);
        ::DWORD received = 0;
        bool ok = acceptEx(listening, accepted, addresses, 0, kAddressRoom, kAddressRoom, &received,
                           &overlapped) != 0;
        const bool pending = !ok && ::WSAGetLastError() == WSA_IO_PENDING;
        if (pending) {
            const HANDLE events[2] = {done, m_closeEvent};
            if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                // NOLINTNEXTLINE(performance-no-int-to-ptr): a socket is a handle to Windows.
                ::CancelIoEx(reinterpret_cast<HANDLE>(listening), &overlapped);
            }
            ::DWORD flags = 0;
            ok = ::WSAGetOverlappedResult(listening, &overlapped, &received, TRUE, &flags) != 0;
        }
        if (ok && ::WaitForSingleObject(m_closeEvent, 0) == WAIT_TIMEOUT) {
            ::setsockopt(accepted, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                         reinterpret_cast<const char*>(&listening), sizeof listening);
            SetNoDelay(accepted);
            stream = std::make_unique<TcpStream>(static_cast<std::intptr_t>(accepted));
            break;
        }
        const int error = ::WSAGetLastError();
        ::closesocket(accepted);
        // A peer that reset its connection before it was taken: wait for the next one.
        if (ok || (error != WSAECONNRESET && error != ERROR_NETNAME_DELETED)) {
            break;
        }
    }
    ::CloseHandle(done);
    return stream;
}

std::unique_ptr<TcpStream> TcpListener::AcceptWaiting(bool* none) {
    *none = false;
    u_long on = 1;
    ::ioctlsocket(Os(m_descriptor), FIONBIO, &on);
    for (;;) {
        const SOCKET accepted = ::accept(Os(m_descriptor), nullptr, nullptr);
        if (accepted != INVALID_SOCKET) {
            SetNoDelay(accepted);
            auto stream = std::make_unique<TcpStream>(static_cast<std::intptr_t>(accepted));
            stream->SetNonBlocking();
            return stream;
        }
        const int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            *none = true;
            return nullptr;
        }
        if (error != WSAECONNRESET) {
            return nullptr;
        }
    }
}

void TcpListener::Close() {
    ::SetEvent(m_closeEvent);
}

}  // namespace Platform
