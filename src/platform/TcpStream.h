// TCP streams and a listener, blocking for test peers that serve one connection per
// thread, non-blocking for a server that watches its connections with a Poller. The client side of
// the product uses the completion-port sockets instead.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Platform {

// An IPv4 or IPv6 address in network order.
struct IpAddress {
    bool v6 = false;
    // IPv4 uses the first 4 bytes.
    std::array<std::uint8_t, 16> bytes{};
};

// Reads an address's numeric text ("192.0.2.7", "2001:db8::7"); false for anything else,
// host names included.
bool ParseIpAddress(const std::string& text, IpAddress* address);

class TcpStream {
public:
    // Connects to an IPv4 or IPv6 address or a host name; null when that fails.
    static std::unique_ptr<TcpStream> Connect(const std::string& host, std::uint16_t port);

    // Takes over an open socket: a descriptor on POSIX, a SOCKET on Windows.
    explicit TcpStream(std::intptr_t descriptor);
    ~TcpStream();
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // Reads exactly `size` bytes; false when the peer closed, a timeout passed or the
    // connection failed first.
    bool ReadAll(void* data, std::size_t size);
    // What ReadSome and WriteSome return on a non-blocking stream that would have to wait.
    static constexpr long kWouldBlock = -2;

    // Reads what is there, up to `size` bytes: the count, 0 at the peer's end, -1 on error.
    long ReadSome(void* data, std::size_t size);
    // Writes what fits now, up to `size` bytes: the count, or -1 on error.
    long WriteSome(const void* data, std::size_t size);
    // From now on reads and writes never wait: kWouldBlock instead.
    void SetNonBlocking();
    // The socket, for a Poller.
    std::intptr_t Handle() const { return m_descriptor; }
    bool WriteAll(const void* data, std::size_t size);
    // Later reads and writes fail after this many milliseconds without progress; 0 waits
    // for ever.
    void SetTimeout(std::uint32_t milliseconds);
    // Sends the end of the stream; reads still work.
    void ShutdownWrite();
    // Closes at once with a reset instead of an orderly end.
    void Abort();
    // Ends the connection both ways: reads and writes under way on other threads return
    // as failed, and later ones fail. Safe from another thread while the stream is open.
    void Cut();
    // "address:port" of the peer, "[address]:port" for IPv6.
    std::string PeerName() const;
    // The peer's address; an IPv4 peer of an IPv6 socket is given as IPv4. All zero
    // bytes when it cannot be told.
    IpAddress PeerAddress() const;

private:
    std::intptr_t m_descriptor;
};

class TcpListener {
public:
    // Listens on the first address the host name or numeric address (IPv4 or IPv6, no
    // brackets) resolves to that can be bound; empty listens on every address. Port 0
    // picks a free port. Null when that fails.
    static std::unique_ptr<TcpListener> Listen(const std::string& address, std::uint16_t port,
                                               int backlog = 64);
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    std::uint16_t Port() const { return m_port; }
    // "address:port" where it listens, "[address]:port" for IPv6.
    const std::string& Name() const { return m_name; }
    // Waits for the next connection; null once the listener is closed, or when taking
    // the connection failed (the last error says why: too many open files, say).
    std::unique_ptr<TcpStream> Accept();
    // Makes a blocked Accept return null. Safe from another thread.
    void Close();
    // Takes a connection that is waiting, as a non-blocking stream, without waiting for
    // one: null with `none` set when there is none, null with the last error set when
    // taking it failed. For a listener that a Poller watches.
    std::unique_ptr<TcpStream> AcceptWaiting(bool* none);
    std::intptr_t Handle() const { return m_descriptor; }

private:
    TcpListener(std::intptr_t descriptor, int family, std::uint16_t port, std::string name,
                void* closeEvent)
        : m_descriptor(descriptor),
          m_family(family),
          m_port(port),
          m_name(std::move(name)),
          m_closeEvent(closeEvent) {}
    std::intptr_t m_descriptor;
    // The address family of the socket, which accepted sockets share (Windows).
    [[maybe_unused]] int m_family;
    std::uint16_t m_port;
    std::string m_name;
    // Windows: the event that Close sets to end a waiting Accept (POSIX shuts the
    // socket down instead, and has none).
    [[maybe_unused]] void* m_closeEvent;
};

}  // namespace Platform
