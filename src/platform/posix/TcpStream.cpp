#include "platform/TcpStream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/System.h"

namespace Platform {

namespace {

void SetNoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
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
        return static_cast<long>(n);
    }
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
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(m_descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "?";
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::unique_ptr<TcpListener> TcpListener::Listen(const std::string& address, std::uint16_t port,
                                                 int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &bound.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return nullptr;
    }
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return std::unique_ptr<TcpListener>(new TcpListener(fd, ntohs(bound.sin_port), nullptr));
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

void TcpListener::Close() {
    // shutdown wakes a thread blocked in accept; the descriptor is closed by the
    // destructor, when no thread can be using it any more.
    ::shutdown(m_descriptor, SHUT_RDWR);
}

}  // namespace Platform
