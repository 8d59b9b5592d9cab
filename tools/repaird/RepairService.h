// Runs a repair server on a listener: one thread watches every connection and moves its
// bytes as the socket allows, a few workers read the reference and make the records, so
// that idle and slow clients cost no thread; sessions that outlive their deadline, go
// silent or move too few bytes are cut, so that they cannot hold the server's places.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AllowList.h"
#include "RepairServer.h"
#include "platform/Poller.h"
#include "platform/TcpStream.h"

struct RepairServiceOptions {
    // Connections held at once; more wait in the listener's queue.
    std::size_t maxClients = 10000;
    // Threads that plan sessions and make their records.
    std::size_t workers = 4;
    // A session is cut when it lasts longer than this ...
    std::uint32_t sessionMs = 3600000;
    // ... or when its client keeps it waiting this long without a byte ...
    std::uint32_t silentMs = 30000;
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
    ~RepairService();
    RepairService(const RepairService&) = delete;
    RepairService& operator=(const RepairService&) = delete;

    // Accepts and serves clients until Stop, then cuts the sessions still open. The log
    // is called on this thread only.
    void Run(Platform::TcpListener* listener);
    // Ends Run. Safe from any thread.
    void Stop();

private:
    using Clock = std::chrono::steady_clock;
    struct Connection {
        enum class Phase { kRequest, kWorking, kSending, kDraining };

        Connection(RepairServer* server, std::unique_ptr<Platform::TcpStream> s);

        std::unique_ptr<Platform::TcpStream> stream;
        std::string peer;
        RepairServer::Session session;
        Phase phase = Phase::kRequest;
        // Pieces to send; of the first, what is past `sent`.
        std::deque<RepairServer::Piece> out;
        std::size_t sent = 0;
        // A worker's work: what it made, and whether records remain. The worker owns
        // both, and the session, while the phase is kWorking.
        std::vector<RepairServer::Piece> made;
        bool more = false;
        bool planned = false;
        Clock::time_point started;
        // Time spent waiting on the client, the bytes it moved, and the watch's last look.
        Clock::duration waited{};
        Clock::time_point waitingSince{};
        Clock::time_point lastByte{};
        std::uint64_t bytes = 0;
        Clock::duration checkedWaited{};
        std::uint64_t checkedBytes = 0;
        std::string cutBecause;
    };

    enum class Flushed { kAll, kPending, kFailed };

    // The one place a connection comes in.
    void Admit(std::unique_ptr<Platform::TcpStream> stream);
    void AcceptWaiting();
    void ListenOrNot();
    void OnEvent(Connection& connection, const Platform::Poller::Event& event);
    // Sends what the connection has to send, as far as the socket takes it now.
    Flushed Flush(Connection& connection);
    void ReadRequest(Connection& connection);
    void Send(Connection& connection);
    void Drain(Connection& connection);
    // Hands the connection to the workers: it waits on the server, not on its client.
    void StartWork(Connection& connection);
    void WorkDone(Connection& connection);
    void Work();
    // Watches the connection for what its phase waits on.
    void Watch(Connection& connection);
    // Ends the session for the reason given, and its connection.
    void Cut(Connection& connection, const std::string& because);
    void Close(Connection& connection);
    // Why the session must end now, or empty.
    std::string Overdue(Connection& connection, Clock::time_point now);
    void CheckSessions();

    RepairServer* m_server;
    const RepairServiceOptions m_options;
    Log m_log;
    std::unique_ptr<Platform::Poller> m_poller;
    std::vector<std::uint8_t> m_in;
    Platform::TcpListener* m_listener = nullptr;

    // The loop's own state.
    std::map<Connection*, std::unique_ptr<Connection>> m_connections;
    bool m_listening = false;
    bool m_acceptFailing = false;
    bool m_acceptedOnce = false;
    Clock::time_point m_acceptResumes{};
    Clock::time_point m_trimmed{};

    // Shared with the workers and Stop.
    std::mutex m_lock;
    std::condition_variable m_workToDo;
    std::deque<Connection*> m_work;
    std::vector<Connection*> m_done;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};
