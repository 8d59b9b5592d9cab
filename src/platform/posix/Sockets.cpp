// The completion port on Linux: an epoll set plus a queue of packets that an eventfd
// wakes. An overlapped call tries the non-blocking system call at once; when it would
// block, the socket remembers the call, and the thread in GetQueuedCompletionStatus
// finishes it when the descriptor's next readiness edge comes and queues its packet.
// Descriptors are watched edge-triggered for both directions from association on, so
// no call needs an epoll_ctl.
//
// Sockets that were associated with a port are not freed when closed: the thread that
// takes the completions may still hold their address, so they are retired to the port
// and freed when that thread next enters GetQueuedCompletionStatus.
#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/System.h"

namespace Platform {

struct SocketObject {
    std::mutex lock;
    int fd = -1;
    CompletionPortObject* port = nullptr;
    std::uintptr_t key = 0;
    std::uint64_t id = 0;
    Overlapped* readOp = nullptr;
    WsaBuf readBuf;
    Overlapped* writeOp = nullptr;
    WsaBuf writeBuf;
    Overlapped* connectOp = nullptr;
};

namespace {

struct Packet {
    DWORD bytes;
    std::uintptr_t key;
    Overlapped* overlapped;
    DWORD error;
};

constexpr std::uint64_t kWakeId = 0;
constexpr int kSpins = 20;

}  // namespace

struct CompletionPortObject {
    int epoll = -1;
    int wake = -1;
    std::mutex lock;
    // The port's thread is in epoll_wait, or about to be: a packet must wake it.
    bool sleeping = false;
    std::deque<Packet> queue;
    std::unordered_map<std::uint64_t, SocketObject*> sockets;
    std::vector<SocketObject*> retired;
    std::uint64_t nextId = 1;
};

namespace {

sockaddr_in ToSockaddr(const SocketAddress& address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address.address);
    sa.sin_port = htons(address.port);
    return sa;
}

int NewSocketDescriptor() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        // The serialisers write field by field and then wait for an answer; Nagle's
        // delay would stall each such exchange until the peer's delayed acknowledgement.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd;
}

// The caller holds the port's lock.
void Push(CompletionPortObject* port, const Packet& packet) {
    port->queue.push_back(packet);
    if (port->sleeping) {
        port->sleeping = false;
        const std::uint64_t one = 1;
        while (::write(port->wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

void Complete(CompletionPortObject* port, const Packet& packet) {
    const std::lock_guard<std::mutex> guard(port->lock);
    Push(port, packet);
}

constexpr std::uint32_t kWatchedEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

// Moves what the kernel has now; true when the call is finished (packet filled). Data
// that arrives while the buffer fills is taken in the same call: every completion costs
// a hand-over between threads, so one full completion beats several partial ones. An
// end of stream or an error after some bytes is left for the next call to report.
bool TryRecv(SocketObject* s, const WsaBuf& buffer, DWORD* bytes, DWORD* error) {
    DWORD taken = 0;
    for (;;) {
        const ssize_t n = ::recv(s->fd, buffer.buf + taken, buffer.len - taken, MSG_DONTWAIT);
        if (n > 0) {
            taken += static_cast<DWORD>(n);
            if (taken < buffer.len) {
                continue;
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && taken == 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return false;
            }
            *bytes = 0;
            *error = WsaErrorFromErrno(errno);
            return true;
        }
        *bytes = taken;
        *error = 0;
        return true;
    }
}

bool TrySend(SocketObject* s, const WsaBuf& buffer, DWORD* bytes, DWORD* error) {
    for (;;) {
        const ssize_t n = ::send(s->fd, buffer.buf, buffer.len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            *bytes = static_cast<DWORD>(n);
            *error = 0;
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return false;
        }
        *bytes = 0;
        *error = WsaErrorFromErrno(errno);
        return true;
    }
}

// Runs on the port's thread on a readiness edge. Every outstanding call is tried: one
// that would still block waits for the next edge.
void OnReady(CompletionPortObject* port, std::uint64_t id) {
    SocketObject* s = nullptr;
    {
        const std::lock_guard<std::mutex> guard(port->lock);
        const auto it = port->sockets.find(id);
        if (it == port->sockets.end()) {
            return;
        }
        s = it->second;
    }
    std::vector<Packet> done;
    {
        const std::lock_guard<std::mutex> guard(s->lock);
        if (s->fd < 0) {
            return;
        }
        DWORD bytes = 0;
        DWORD error = 0;
        if (s->readOp != nullptr && TryRecv(s, s->readBuf, &bytes, &error)) {
            done.push_back({bytes, s->key, s->readOp, error});
            s->readOp = nullptr;
        }
        if (s->connectOp != nullptr) {
            int soError = 0;
            socklen_t length = sizeof soError;
            if (::getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) {
                soError = errno;
            }
            sockaddr_in peer{};
            socklen_t peerLength = sizeof peer;
            const bool connected =
                soError == 0 &&
                ::getpeername(s->fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
            if (soError != 0 || connected) {
                done.push_back({0, s->key, s->connectOp, WsaErrorFromErrno(soError)});
                s->connectOp = nullptr;
            }
        }
        if (s->writeOp != nullptr && TrySend(s, s->writeBuf, &bytes, &error)) {
            done.push_back({bytes, s->key, s->writeOp, error});
            s->writeOp = nullptr;
        }
    }
    if (!done.empty()) {
        const std::lock_guard<std::mutex> guard(port->lock);
        for (const Packet& p : done) {
            Push(port, p);
        }
    }
}

// The caller holds the socket's lock. Takes the outstanding calls as aborted packets.
void TakeOutstanding(SocketObject* s, std::vector<Packet>* aborted) {
    for (Overlapped** op : {&s->readOp, &s->writeOp, &s->connectOp}) {
        if (*op != nullptr) {
            aborted->push_back({0, s->key, *op, Error::OperationAborted});
            *op = nullptr;
        }
    }
}

}  // namespace

DWORD WSAStartup(std::uint8_t major, std::uint8_t minor, std::uint16_t* version) {
    // The socket calls here need no start-up; versions from 1.0 to 2.2 are served.
    constexpr std::uint16_t kHighest = 0x0202;
    const std::uint16_t asked = static_cast<std::uint16_t>(major | (minor << 8));
    const auto number = [](std::uint16_t v) { return ((v & 0xFF) << 8) | (v >> 8); };
    *version = number(asked) > number(kHighest) ? kHighest : asked;
    return major == 0 ? Error::WsaVerNotSupported : 0;
}

void WSACleanup() {}

CompletionPort CreateIoCompletionPort(std::uint32_t /*concurrency*/) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    if (wake < 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, wake, &ev) != 0) {
        SetLastErrorFromErrno(errno);
        if (wake >= 0) {
            ::close(wake);
        }
        ::close(ep);
        return nullptr;
    }
    auto* port = new CompletionPortObject;
    port->epoll = ep;
    port->wake = wake;
    return port;
}

bool AssociateSocket(CompletionPort port, Socket socket, std::uintptr_t key) {
    if (port == nullptr || socket == nullptr) {
        SetLastError(Error::InvalidParameter);
        return false;
    }
    const std::lock_guard<std::mutex> socketGuard(socket->lock);
    if (socket->port != nullptr || socket->fd < 0) {
        SetLastError(Error::InvalidParameter);
        return false;
    }
    const std::lock_guard<std::mutex> portGuard(port->lock);
    const std::uint64_t id = port->nextId++;
    epoll_event ev{};
    ev.events = kWatchedEvents;
    ev.data.u64 = id;
    if (::epoll_ctl(port->epoll, EPOLL_CTL_ADD, socket->fd, &ev) != 0) {
        SetLastError(WsaErrorFromErrno(errno));
        return false;
    }
    socket->port = port;
    socket->key = key;
    socket->id = id;
    port->sockets.emplace(id, socket);
    return true;
}

bool PostQueuedCompletionStatus(CompletionPort port, DWORD bytes, std::uintptr_t key,
                                Overlapped* overlapped) {
    if (port == nullptr) {
        SetLastError(Error::InvalidHandle);
        return false;
    }
    const std::lock_guard<std::mutex> guard(port->lock);
    Push(port, {bytes, key, overlapped, 0});
    return true;
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
    for (;;) {
        // A few rounds of polling before sleeping: the next request usually comes within
        // microseconds, and while this thread does not sleep, posting needs no wake-up.
        epoll_event events[64];
        int n = 0;
        for (int spin = 0;; ++spin) {
            const bool sleep = spin == kSpins;
            {
                const std::lock_guard<std::mutex> guard(port->lock);
                if (!port->queue.empty()) {
                    const Packet p = port->queue.front();
                    port->queue.pop_front();
                    *bytes = p.bytes;
                    *key = p.key;
                    *overlapped = p.overlapped;
                    return p.error;
                }
                port->sleeping = sleep;
            }
            n = ::epoll_wait(port->epoll, events, 64, sleep ? -1 : 0);
            if (sleep) {
                const std::lock_guard<std::mutex> guard(port->lock);
                port->sleeping = false;
                break;
            }
            if (n != 0) {
                break;
            }
            sched_yield();
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WsaErrorFromErrno(errno);
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeId) {
                std::uint64_t count = 0;
                while (::read(port->wake, &count, sizeof count) < 0 && errno == EINTR) {
                }
            } else {
                OnReady(port, events[i].data.u64);
            }
        }
    }
}

void CloseCompletionPort(CompletionPort port) {
    if (port == nullptr) {
        return;
    }
    ::close(port->wake);
    ::close(port->epoll);
    for (SocketObject* s : port->retired) {
        delete s;
    }
    delete port;
}

Socket WSASocket() {
    const int fd = NewSocketDescriptor();
    if (fd < 0) {
        SetLastError(WsaErrorFromErrno(errno));
        return kInvalidSocket;
    }
    auto* s = new SocketObject;
    s->fd = fd;
    return s;
}

DWORD Bind(Socket socket, const SocketAddress& address) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    const sockaddr_in sa = ToSockaddr(address);
    if (::bind(socket->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return WsaErrorFromErrno(errno);
    }
    return 0;
}

DWORD GetSockName(Socket socket, SocketAddress* address) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(socket->fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        return WsaErrorFromErrno(errno);
    }
    address->address = ntohl(sa.sin_addr.s_addr);
    address->port = ntohs(sa.sin_port);
    return 0;
}

void CloseSocket(Socket socket, bool abortive) {
    if (socket == nullptr) {
        return;
    }
    std::vector<Packet> aborted;
    CompletionPortObject* port = nullptr;
    {
        const std::lock_guard<std::mutex> guard(socket->lock);
        port = socket->port;
        if (socket->fd >= 0) {
            if (port != nullptr) {
                ::epoll_ctl(port->epoll, EPOLL_CTL_DEL, socket->fd, nullptr);
            }
            if (abortive) {
                const linger lingerOption{1, 0};
                ::setsockopt(socket->fd, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption);
            }
            ::close(socket->fd);
            socket->fd = -1;
        }
        TakeOutstanding(socket, &aborted);
    }
    if (port == nullptr) {
        delete socket;
        return;
    }
    const std::lock_guard<std::mutex> guard(port->lock);
    port->sockets.erase(socket->id);
    for (const Packet& p : aborted) {
        Push(port, p);
    }
    port->retired.push_back(socket);
}

DWORD WSARecv(Socket socket, const WsaBuf& buffer, Overlapped* overlapped) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (socket->fd < 0) {
        return Error::WsaENotSock;
    }
    if (socket->port == nullptr || socket->readOp != nullptr) {
        return Error::WsaEInval;
    }
    DWORD bytes = 0;
    DWORD error = 0;
    if (TryRecv(socket, buffer, &bytes, &error)) {
        if (error != 0) {
            return error;
        }
        Complete(socket->port, {bytes, socket->key, overlapped, 0});
        return 0;
    }
    socket->readOp = overlapped;
    socket->readBuf = buffer;
    return Error::IoPending;
}

DWORD WSASend(Socket socket, const WsaBuf& buffer, Overlapped* overlapped) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (socket->fd < 0) {
        return Error::WsaENotSock;
    }
    if (socket->port == nullptr || socket->writeOp != nullptr) {
        return Error::WsaEInval;
    }
    DWORD bytes = 0;
    DWORD error = 0;
    if (TrySend(socket, buffer, &bytes, &error)) {
        if (error != 0) {
            return error;
        }
        Complete(socket->port, {bytes, socket->key, overlapped, 0});
        return 0;
    }
    socket->writeOp = overlapped;
    socket->writeBuf = buffer;
    return Error::IoPending;
}

DWORD ConnectEx(Socket socket, const SocketAddress& address, Overlapped* overlapped) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    const std::lock_guard<std::mutex> guard(socket->lock);
    if (socket->fd < 0) {
        return Error::WsaENotSock;
    }
    if (socket->port == nullptr || socket->connectOp != nullptr) {
        return Error::WsaEInval;
    }
    const sockaddr_in sa = ToSockaddr(address);
    int result = 0;
    do {
        result = ::connect(socket->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        Complete(socket->port, {0, socket->key, overlapped, 0});
        return 0;
    }
    if (errno != EINPROGRESS) {
        return WsaErrorFromErrno(errno);
    }
    socket->connectOp = overlapped;
    return Error::IoPending;
}

DWORD UpdateConnectContext(Socket socket) {
    return socket == nullptr ? Error::WsaENotSock : 0;
}

DWORD DisconnectEx(Socket socket, Overlapped* overlapped) {
    if (socket == nullptr) {
        return Error::WsaENotSock;
    }
    std::vector<Packet> packets;
    CompletionPortObject* port = nullptr;
    {
        const std::lock_guard<std::mutex> guard(socket->lock);
        if (socket->fd < 0) {
            return Error::WsaENotSock;
        }
        port = socket->port;
        if (port == nullptr) {
            return Error::WsaEInval;
        }
        // A fresh descriptor stands in for the reused socket; the old one closes
        // gracefully (the peer sees the end of the stream).
        const int fresh = NewSocketDescriptor();
        if (fresh < 0) {
            return WsaErrorFromErrno(errno);
        }
        ::epoll_ctl(port->epoll, EPOLL_CTL_DEL, socket->fd, nullptr);
        ::shutdown(socket->fd, SHUT_WR);
        ::close(socket->fd);
        socket->fd = fresh;
        TakeOutstanding(socket, &packets);
        epoll_event ev{};
        ev.events = kWatchedEvents;
        ev.data.u64 = socket->id;
        if (::epoll_ctl(port->epoll, EPOLL_CTL_ADD, fresh, &ev) != 0) {
            const DWORD error = WsaErrorFromErrno(errno);
            ::close(fresh);
            socket->fd = -1;
            packets.push_back({0, socket->key, overlapped, error});
        } else {
            packets.push_back({0, socket->key, overlapped, 0});
        }
    }
    const std::lock_guard<std::mutex> guard(port->lock);
    for (const Packet& p : packets) {
        Push(port, p);
    }
    return 0;
}

std::vector<std::uint32_t> GetHostByName(const std::string& name) {
    std::vector<std::uint32_t> addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    // getaddrinfo rather than gethostbyname: the latter's static result is not safe
    // while other threads resolve.
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) {
        return addresses;
    }
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) {
            continue;
        }
        sockaddr_in in{};
        std::memcpy(&in, a->ai_addr, sizeof in);
        addresses.push_back(ntohl(in.sin_addr.s_addr));
    }
    ::freeaddrinfo(found);
    return addresses;
}

}  // namespace Platform
