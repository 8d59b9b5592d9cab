// Blocking streams over Windows Sockets. The listener accepts through AcceptEx with an
// event, so that Close can end a waiting Accept by an event of its own instead of
// closing the socket under it.
#include "platform/TcpStream.h"

#include <algorithm>
#include <climits>

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

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(const std::string& host, std::uint16_t port) {
    if (!EnsureWinsock()) {
        return nullptr;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
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
    return n < 0 ? -1 : n;
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
    sockaddr_in address{};
    int length = sizeof address;
    if (::getpeername(Os(m_descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "?";
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::unique_ptr<TcpListener> TcpListener::Listen(const std::string& address, std::uint16_t port,
                                                 int backlog) {
    if (!EnsureWinsock()) {
        return nullptr;
    }
    const SOCKET socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        return nullptr;
    }
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(port);
    int length = sizeof bound;
    const HANDLE closeEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (closeEvent == nullptr || ::inet_pton(AF_INET, address.c_str(), &bound.sin_addr) != 1 ||
        ::bind(socket, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        ::listen(socket, backlog) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        if (closeEvent != nullptr) {
            ::CloseHandle(closeEvent);
        }
        ::closesocket(socket);
        return nullptr;
    }
    LoadWinsockExtensions(socket);
    return std::unique_ptr<TcpListener>(
        new TcpListener(static_cast<std::intptr_t>(socket), ntohs(bound.sin_port), closeEvent));
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
    constexpr ::DWORD kAddressRoom = sizeof(sockaddr_in) + 16;
    char addresses[2 * kAddressRoom];
    const HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) {
        return nullptr;
    }
    std::unique_ptr<TcpStream> stream;
    while (!stream && ::WaitForSingleObject(m_closeEvent, 0) == WAIT_TIMEOUT) {
        const SOCKET accepted = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
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

void TcpListener::Close() {
    ::SetEvent(m_closeEvent);
}

}  // namespace Platform
