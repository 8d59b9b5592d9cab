#include "platform/TcpStream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/System.h"

namespace Platform {

namespace {

void SetNoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
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
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            std::memcpy(address.bytes.data(), v6.sin6_addr.s6_addr + 12, 4);
        } else {
            address.v6 = true;
            std::memcpy(address.bytes.data(), v6.sin6_addr.s6_addr, 16);
        }
        *port = ntohs(v6.sin6_port);
    }
    return address;
}

std::string Describe(const sockaddr_storage& socketAddress) {
    std::uint16_t port = 0;
    const IpAddress address = AddressOf(socketAddress, &port);
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
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return nullptr;
    }
    std::unique_ptr<TcpStream> stream;
    for (addrinfo* a = found; a != nullptr && !stream; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            SetNoDelay(fd);
            stream = std::make_unique<TcpStream>(fd);
        } else {
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    return stream;
}

TcpStream::TcpStream(std::intptr_t descriptor) : m_descriptor(descriptor) {}

TcpStream::~TcpStream() {
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

bool TcpStream::ReadAll(void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::recv(m_descriptor, p, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long TcpStream::ReadSome(void* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(m_descriptor, data, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return kWouldBlock;
        }
        return static_cast<long>(n);
    }
}

long TcpStream::WriteSome(const void* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::send(m_descriptor, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return kWouldBlock;
        }
        return static_cast<long>(n);
    }
}

void TcpStream::SetNonBlocking() {
    ::fcntl(static_cast<int>(m_descriptor), F_SETFL,
            ::fcntl(static_cast<int>(m_descriptor), F_GETFL) | O_NONBLOCK);
}

bool TcpStream::WriteAll(const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(m_descriptor, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void TcpStream::SetTimeout(std::uint32_t milliseconds) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    ::setsockopt(m_descriptor, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(m_descriptor, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void TcpStream::ShutdownWrite() {
    ::shutdown(m_descriptor, SHUT_WR);
}

void TcpStream::Abort() {
    const linger hard{1, 0};
    ::setsockopt(m_descriptor, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(m_descriptor);
    m_descriptor = -1;
}

void TcpStream::Cut() {
    ::shutdown(m_descriptor, SHUT_RDWR);
}

std::string TcpStream::PeerName() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(m_descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "?";
    }
    return Describe(address);
}

IpAddress TcpStream::PeerAddress() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(m_descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    std::uint16_t port = 0;
    return AddressOf(address, &port);
}

std::unique_ptr<TcpListener> TcpListener::Listen(const std::string& address, std::uint16_t port,
                                                 int backlog) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.empty() ? nullptr : address.c_str(), std::to_string(port).c_str(),
                      &hints, &found) != 0) {
        return nullptr;
    }
    std::unique_ptr<TcpListener> listener;
    for (const addrinfo* a = found; a != nullptr && !listener; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // "::" takes IPv4 clients too, whatever the system's default.
        const int off = 0;
        if (a->ai_family == AF_INET6) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, backlog) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            ::close(fd);
            continue;
        }
        std::uint16_t boundPort = 0;
        AddressOf(bound, &boundPort);
        listener.reset(new TcpListener(fd, a->ai_family, boundPort, Describe(bound), nullptr));
    }
    ::freeaddrinfo(found);
    return listener;
}

TcpListener::~TcpListener() {
    Close();
    ::close(m_descriptor);
}

std::unique_ptr<TcpStream> TcpListener::Accept() {
    for (;;) {
        const int fd = ::accept4(m_descriptor, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            SetNoDelay(fd);
            return std::make_unique<TcpStream>(fd);
        }
        if (errno != EINTR && errno != ECONNABORTED) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
    }
}

std::unique_ptr<TcpStream> TcpListener::AcceptWaiting(bool* none) {
    *none = false;
    // The listener itself must not wait: another may have taken the connection first.
    ::fcntl(static_cast<int>(m_descriptor), F_SETFL,
            ::fcntl(static_cast<int>(m_descriptor), F_GETFL) | O_NONBLOCK);
    for (;;) {
        const int fd = ::accept4(static_cast<int>(m_descriptor), nullptr, nullptr,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            SetNoDelay(fd);
            return std::make_unique<TcpStream>(fd);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            *none = true;
            return nullptr;
        }
        if (errno != EINTR && errno != ECONNABORTED) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
    }
}

void TcpListener::Close() {
    // shutdown wakes a thread blocked in accept; the descriptor is closed by the
    // destructor, when no thread can be using it any more.
    ::shutdown(m_descriptor, SHUT_RDWR);
}

}  // namespace Platform
