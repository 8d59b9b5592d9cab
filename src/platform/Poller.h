// Readiness of many sockets at once, so that one thread can serve thousands of
// connections that mostly wait: epoll on Linux; on Windows a WSAPoll loop.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace Platform {

class Poller {
public:
    struct Event {
        void* tag = nullptr;
        bool readable = false;
        bool writable = false;
        // The peer ended the connection or it failed; a read tells which.
        bool ended = false;
    };

    // Null when the system cannot give one (out of descriptors, say).
    static std::unique_ptr<Poller> Create();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Watches the socket (TcpStream::Handle, TcpListener::Handle) for what is asked, or
    // changes what it is watched for; its events carry `tag`. False when that fails.
    bool Watch(std::intptr_t socket, void* tag, bool read, bool write);
    // Stops watching the socket; before it is closed.
    void Forget(std::intptr_t socket);
    // Waits up to `milliseconds` for events and replaces `events` with them.
    void Wait(std::vector<Event>* events, std::uint32_t milliseconds);
    // Makes a Wait under way, or the next one, return at once. Safe from any thread.
    void Wake();

private:
    struct State;
    explicit Poller(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

}  // namespace Platform
