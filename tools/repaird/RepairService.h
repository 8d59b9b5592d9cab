// Runs a repair server on a listener: a thread per client up to a limit, and a watchdog
// that cuts the sessions that outlive their deadline or move too few bytes, so that slow
// or stalled clients cannot hold the server's places.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "AllowList.h"
#include "RepairServer.h"
#include "SocketBuffer.h"
#include "platform/TcpStream.h"

struct RepairServiceOptions {
    // Clients served at once; more wait in the listener's queue.
    std::size_t maxClients = 64;
    // A session is cut when it lasts longer than this.
    std::uint32_t sessionMs = 3600000;
    // ... or when, in any span of `windowMs` spent waiting on the client, fewer than
    // minBytesPerSecond × the span's seconds moved. Time the server spends on its own
    // work does not count against the client. The span is short, so that a peer which
    // trickles a byte now and then loses its place within seconds.
    std::uint64_t minBytesPerSecond = 1024;
    std::uint32_t windowMs = 4000;
    // After a failed accept (too many open files), how long to stop accepting.
    std::uint32_t acceptPauseMs = 250;
    // Serve one client, then return.
    bool once = false;
    // Connections from elsewhere are closed as soon as they are taken.
    AllowList allow;
};

class RepairService {
public:
    using Log = std::function<void(const std::string&)>;

    RepairService(RepairServer* server, RepairServiceOptions options, Log log);
    RepairService(const RepairService&) = delete;
    RepairService& operator=(const RepairService&) = delete;

    // Accepts and serves clients until Stop, then cuts the sessions still open and waits
    // for them to end.
    void Run(Platform::TcpListener* listener);
    // Ends Run. Safe from any thread.
    void Stop();

private:
    struct Session {
        Platform::TcpStream* stream = nullptr;
        SessionMeter meter;
        std::chrono::steady_clock::time_point started;
        // The watchdog's last look: I/O time and bytes then.
        std::uint64_t checkedIoMs = 0;
        std::uint64_t checkedBytes = 0;
        // Set by the watchdog when it cut the session.
        std::string cutBecause;
    };

    void Watch();
    // Why the session must end now, or empty.
    std::string Overdue(Session& session, std::chrono::steady_clock::time_point now);
    void ServeOne(std::unique_ptr<Platform::TcpStream> stream);

    RepairServer* m_server;
    const RepairServiceOptions m_options;
    Log m_log;

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::list<Session> m_sessions;
    std::size_t m_active = 0;
    bool m_stopping = false;
    std::chrono::steady_clock::time_point m_trimmed{};
    Platform::TcpListener* m_listener = nullptr;
};
