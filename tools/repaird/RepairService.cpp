#include "RepairService.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "kernel/Text.h"
#include "platform/System.h"

RepairService::RepairService(RepairServer* server, RepairServiceOptions options, Log log)
    : m_server(server), m_options(std::move(options)), m_log(std::move(log)) {}

void RepairService::Run(Platform::TcpListener* listener) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_listener = listener;
    }
    std::thread watchdog([this] { Watch(); });
    bool failing = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [this] { return m_stopping || m_active < m_options.maxClients; });
            if (m_stopping) {
                break;
            }
        }
        std::unique_ptr<Platform::TcpStream> stream = listener->Accept();
        if (!stream) {
            std::unique_lock<std::mutex> lock(m_lock);
            if (m_stopping) {
                break;
            }
            // Out of descriptors, most likely: the connections being served free some as
            // they end, so stop accepting for a moment instead of giving up.
            if (!failing) {
                m_log(
                    FormatString("accept failed; not accepting for %u ms at a time until it "
                                 "works again",
                                 m_options.acceptPauseMs));
            }
            failing = true;
            m_changed.wait_for(lock, std::chrono::milliseconds(m_options.acceptPauseMs),
                               [this] { return m_stopping; });
            continue;
        }
        if (failing) {
            m_log("accepting again");
            failing = false;
        }
        if (!m_options.allow.Allows(stream->PeerAddress())) {
            m_log(stream->PeerName() + ": refused: not in any --allow network");
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_active;
        }
        if (m_options.once) {
            ServeOne(std::move(stream));
            break;
        }
        std::thread([this, s = std::move(stream)]() mutable { ServeOne(std::move(s)); }).detach();
    }
    std::unique_lock<std::mutex> lock(m_lock);
    m_stopping = true;
    for (Session& session : m_sessions) {
        session.stream->Cut();
    }
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_active == 0; });
    lock.unlock();
    watchdog.join();
}

void RepairService::Stop() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stopping = true;
    if (m_listener != nullptr) {
        m_listener->Close();
    }
    m_changed.notify_all();
}

void RepairService::ServeOne(std::unique_ptr<Platform::TcpStream> stream) {
    std::list<Session>::iterator session;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        session = m_sessions.emplace(m_sessions.end());
        session->stream = stream.get();
        session->started = std::chrono::steady_clock::now();
        if (m_stopping) {
            stream->Cut();
        }
    }
    std::string line = m_server->Serve(*stream, &session->meter);
    bool trim = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!session->cutBecause.empty()) {
            line += " (cut: " + session->cutBecause + ")";
        }
        m_sessions.erase(session);
        // The allocator keeps what a session freed; hand it back when the server goes
        // idle, and at most once a second while it is busy, as trimming walks the heap.
        const auto now = std::chrono::steady_clock::now();
        if (m_active == 1 || now - m_trimmed >= std::chrono::seconds(1)) {
            m_trimmed = now;
            trim = true;
        }
    }
    stream.reset();
    if (trim) {
        Platform::ReturnFreeMemory();
    }
    m_log(line);
    // Nothing of this object is touched after the count drops: Run may return at once.
    std::lock_guard<std::mutex> lock(m_lock);
    --m_active;
    m_changed.notify_all();
}

std::string RepairService::Overdue(Session& session, std::chrono::steady_clock::time_point now) {
    if (now - session.started >= std::chrono::milliseconds(m_options.sessionMs)) {
        return FormatString("longer than the session limit of %u ms", m_options.sessionMs);
    }
    const std::uint64_t ioMs = session.meter.WaitedMs();
    const std::uint64_t bytes = session.meter.Bytes();
    const std::uint64_t span = ioMs - session.checkedIoMs;
    if (span < m_options.windowMs) {
        return {};
    }
    const std::uint64_t moved = bytes - session.checkedBytes;
    if (moved * 1000 < m_options.minBytesPerSecond * span) {
        return FormatString("%llu bytes in %llu ms spent waiting on it, below %llu bytes/s",
                            static_cast<unsigned long long>(moved),
                            static_cast<unsigned long long>(span),
                            static_cast<unsigned long long>(m_options.minBytesPerSecond));
    }
    session.checkedIoMs = ioMs;
    session.checkedBytes = bytes;
    return {};
}

void RepairService::Watch() {
    const auto tick =
        std::chrono::milliseconds(std::clamp<std::uint32_t>(m_options.windowMs / 4, 10, 1000));
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stopping) {
        const auto now = std::chrono::steady_clock::now();
        auto next = now + tick;
        for (Session& session : m_sessions) {
            if (!session.cutBecause.empty()) {
                continue;
            }
            session.cutBecause = Overdue(session, now);
            if (!session.cutBecause.empty()) {
                session.stream->Cut();
                continue;
            }
            next = std::min(next, session.started + std::chrono::milliseconds(m_options.sessionMs));
        }
        m_changed.wait_until(lock, next);
    }
}
