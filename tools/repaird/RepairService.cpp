#include "RepairService.h"

#include <algorithm>
#include <iterator>

#include "kernel/Text.h"
#include "platform/System.h"

namespace {

// Records are made in pieces of about this size, one piece in flight per connection.
constexpr std::size_t kPiece = 65536;

}  // namespace

RepairService::Connection::Connection(RepairServer* server, std::unique_ptr<Platform::TcpStream> s)
    : stream(std::move(s)),
      peer(stream->PeerName()),
      session(server),
      started(Clock::now()),
      waitingSince(started),
      lastByte(started) {}

RepairService::RepairService(RepairServer* server, RepairServiceOptions options, Log log)
    : m_server(server),
      m_options(std::move(options)),
      m_log(std::move(log)),
      m_poller(Platform::Poller::Create()),
      m_in(65536) {}

RepairService::~RepairService() = default;

void RepairService::Run(Platform::TcpListener* listener) {
    if (!m_poller) {
        m_log("cannot watch connections (out of descriptors?); not serving");
        return;
    }
    m_listener = listener;
    for (std::size_t i = 0; i < std::max<std::size_t>(m_options.workers, 1); ++i) {
        m_workers.emplace_back([this] { Work(); });
    }
    const auto tick =
        std::chrono::milliseconds(std::clamp<std::uint32_t>(m_options.windowMs / 4, 10, 250));
    auto nextCheck = Clock::now() + tick;
    std::vector<Platform::Poller::Event> events;
    for (;;) {
        std::vector<Connection*> done;
        bool stopping = false;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            stopping = m_stopping;
            done.swap(m_done);
        }
        for (Connection* connection : done) {
            WorkDone(*connection);
        }
        if (stopping || (m_options.once && m_acceptedOnce && m_connections.empty())) {
            break;
        }
        auto now = Clock::now();
        if (now >= nextCheck) {
            CheckSessions();
            nextCheck = now + tick;
        }
        ListenOrNot();
        auto until = nextCheck;
        if (m_acceptFailing) {
            until = std::min(until, m_acceptResumes);
        }
        now = Clock::now();
        const auto wait =
            until > now
                ? std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1
                : 0;
        m_poller->Wait(&events, static_cast<std::uint32_t>(wait));
        for (const Platform::Poller::Event& event : events) {
            if (event.tag == m_listener) {
                AcceptWaiting();
                continue;
            }
            const auto found = m_connections.find(static_cast<Connection*>(event.tag));
            if (found != m_connections.end()) {
                OnEvent(*found->second, event);
            }
        }
    }
    // Ending: the connections waiting on their clients close now, those with a worker
    // once it is done with them.
    if (m_listening) {
        m_poller->Forget(m_listener->Handle());
        m_listening = false;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_workToDo.notify_all();
    for (auto& worker : m_workers) {
        worker.join();
    }
    m_workers.clear();
    m_done.clear();
    std::vector<Connection*> open;
    for (const auto& [key, connection] : m_connections) {
        if (connection->phase == Connection::Phase::kWorking) {
            connection->phase = Connection::Phase::kSending;  // its worker is gone
        }
        open.push_back(key);
    }
    for (Connection* connection : open) {
        Cut(*connection, "the server stops");
    }
}

void RepairService::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_workToDo.notify_all();
    if (m_poller) {
        m_poller->Wake();
    }
}

void RepairService::ListenOrNot() {
    const bool wanted = m_connections.size() < m_options.maxClients &&
                        !(m_options.once && m_acceptedOnce) &&
                        (!m_acceptFailing || Clock::now() >= m_acceptResumes);
    if (wanted == m_listening) {
        return;
    }
    if (wanted) {
        m_listening = m_poller->Watch(m_listener->Handle(), m_listener, true, false);
    } else {
        m_poller->Forget(m_listener->Handle());
        m_listening = false;
    }
}

void RepairService::AcceptWaiting() {
    while (m_connections.size() < m_options.maxClients && !(m_options.once && m_acceptedOnce)) {
        bool none = false;
        std::unique_ptr<Platform::TcpStream> stream = m_listener->AcceptWaiting(&none);
        if (stream) {
            if (m_acceptFailing) {
                m_log("accepting again");
                m_acceptFailing = false;
            }
            Admit(std::move(stream));
            continue;
        }
        if (none) {
            break;
        }
        // Out of descriptors, most likely: the connections being served free some as
        // they end, so stop accepting for a moment instead of giving up.
        if (!m_acceptFailing) {
            m_log(
                FormatString("accept failed; not accepting for %u ms at a time until it "
                             "works again",
                             m_options.acceptPauseMs));
        }
        m_acceptFailing = true;
        m_acceptResumes = Clock::now() + std::chrono::milliseconds(m_options.acceptPauseMs);
        break;
    }
    ListenOrNot();
}

void RepairService::Admit(std::unique_ptr<Platform::TcpStream> stream) {
    if (!m_options.allow.Allows(stream->PeerAddress())) {
        m_log(stream->PeerName() + ": refused: not in any --allow network");
        return;
    }
    m_acceptedOnce = true;
    auto connection = std::make_unique<Connection>(m_server, std::move(stream));
    Connection& added = *connection;
    m_connections.emplace(&added, std::move(connection));
    if (!added.session.Going()) {
        Close(added);  // refused at once: the budget has no room for it
        return;
    }
    Watch(added);
}

void RepairService::Watch(Connection& connection) {
    const std::intptr_t socket = connection.stream->Handle();
    bool read = false;
    bool write = false;
    switch (connection.phase) {
        case Connection::Phase::kRequest:
            read = true;
            write = !connection.out.empty();
            break;
        case Connection::Phase::kSending:
            write = true;
            break;
        case Connection::Phase::kDraining:
            read = true;
            break;
        case Connection::Phase::kWorking:
            m_poller->Forget(socket);
            return;
    }
    if (!m_poller->Watch(socket, &connection, read, write)) {
        Cut(connection, "cannot watch the connection");
    }
}

void RepairService::OnEvent(Connection& connection, const Platform::Poller::Event& event) {
    switch (connection.phase) {
        case Connection::Phase::kRequest:
            if (event.writable && Flush(connection) == Flushed::kFailed) {
                connection.session.EndOfRequest();
                Close(connection);
                return;
            }
            if (event.readable || event.ended) {
                ReadRequest(connection);
            }
            return;
        case Connection::Phase::kSending:
            Send(connection);
            return;
        case Connection::Phase::kDraining:
            Drain(connection);
            return;
        case Connection::Phase::kWorking:
            return;
    }
}

RepairService::Flushed RepairService::Flush(Connection& connection) {
    while (!connection.out.empty()) {
        const std::vector<std::uint8_t>& piece = *connection.out.front();
        if (connection.sent == piece.size()) {
            connection.out.pop_front();
            connection.sent = 0;
            continue;
        }
        const long n = connection.stream->WriteSome(piece.data() + connection.sent,
                                                    piece.size() - connection.sent);
        if (n == Platform::TcpStream::kWouldBlock) {
            return Flushed::kPending;
        }
        if (n <= 0) {
            return Flushed::kFailed;
        }
        connection.sent += static_cast<std::size_t>(n);
        connection.bytes += static_cast<std::uint64_t>(n);
        connection.lastByte = Clock::now();
    }
    return Flushed::kAll;
}

void RepairService::ReadRequest(Connection& connection) {
    RepairServer::Session::Step step = RepairServer::Session::Step::kMore;
    while (step == RepairServer::Session::Step::kMore) {
        const long n = connection.stream->ReadSome(m_in.data(), m_in.size());
        if (n == Platform::TcpStream::kWouldBlock) {
            break;
        }
        if (n <= 0) {
            connection.session.EndOfRequest();
            Close(connection);
            return;
        }
        connection.bytes += static_cast<std::uint64_t>(n);
        connection.lastByte = Clock::now();
        std::vector<std::uint8_t> answer;
        step = connection.session.Take(m_in.data(), static_cast<std::size_t>(n), &answer);
        if (!answer.empty()) {
            connection.out.push_back(
                std::make_shared<const std::vector<std::uint8_t>>(std::move(answer)));
        }
    }
    const Flushed flushed = Flush(connection);
    if (flushed == Flushed::kFailed) {
        connection.session.EndOfRequest();
        Close(connection);
    } else if (step == RepairServer::Session::Step::kEnded) {
        Close(connection);  // the answer, if any, went out as far as it could
    } else if (step == RepairServer::Session::Step::kPlan) {
        StartWork(connection);
    } else {
        Watch(connection);
    }
}

void RepairService::Send(Connection& connection) {
    const Flushed flushed = Flush(connection);
    if (flushed == Flushed::kPending) {
        return;
    }
    if (flushed == Flushed::kFailed) {
        connection.session.Lost();
        Close(connection);
    } else if (connection.session.Going() && connection.more) {
        StartWork(connection);
    } else if (connection.session.Going()) {
        connection.phase = Connection::Phase::kDraining;
        Watch(connection);
    } else {
        Close(connection);
    }
}

void RepairService::Drain(Connection& connection) {
    // The client closes when it is done; waiting for that keeps the last bytes from being
    // lost to a reset.
    for (;;) {
        const long n = connection.stream->ReadSome(m_in.data(), m_in.size());
        if (n == Platform::TcpStream::kWouldBlock) {
            return;
        }
        if (n <= 0) {
            connection.session.Finished();
            Close(connection);
            return;
        }
        connection.bytes += static_cast<std::uint64_t>(n);
        connection.lastByte = Clock::now();
    }
}

void RepairService::StartWork(Connection& connection) {
    connection.waited += Clock::now() - connection.waitingSince;
    connection.phase = Connection::Phase::kWorking;
    Watch(connection);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_work.push_back(&connection);
    }
    m_workToDo.notify_one();
}

void RepairService::Work() {
    for (;;) {
        Connection* connection = nullptr;
        bool skip = false;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_workToDo.wait(lock, [this] { return m_stopping || !m_work.empty(); });
            if (m_work.empty()) {
                return;
            }
            connection = m_work.front();
            m_work.pop_front();
            skip = m_stopping;
        }
        if (skip) {
            connection->more = false;
        } else if (!connection->planned) {
            connection->planned = true;
            std::vector<std::uint8_t> count;
            connection->more = connection->session.Plan(&count);
            connection->made.push_back(
                std::make_shared<const std::vector<std::uint8_t>>(std::move(count)));
        } else {
            connection->more = connection->session.Next(&connection->made, kPiece);
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_done.push_back(connection);
        }
        m_poller->Wake();
    }
}

void RepairService::WorkDone(Connection& connection) {
    connection.out.insert(connection.out.end(), std::make_move_iterator(connection.made.begin()),
                          std::make_move_iterator(connection.made.end()));
    connection.made.clear();
    connection.waitingSince = Clock::now();
    if (!connection.cutBecause.empty()) {
        Cut(connection, connection.cutBecause);
        return;
    }
    connection.phase = Connection::Phase::kSending;
    Send(connection);
    if (m_connections.count(&connection) != 0 && connection.phase == Connection::Phase::kSending) {
        Watch(connection);
    }
}

void RepairService::Cut(Connection& connection, const std::string& because) {
    connection.cutBecause = because;
    switch (connection.phase) {
        case Connection::Phase::kRequest:
            connection.session.EndOfRequest();
            break;
        case Connection::Phase::kWorking:
            // A worker has it: it is closed when the worker is done.
            connection.stream->Cut();
            return;
        case Connection::Phase::kSending:
            connection.session.Lost();
            break;
        case Connection::Phase::kDraining:
            connection.session.Finished();
            break;
    }
    Close(connection);
}

void RepairService::Close(Connection& connection) {
    m_poller->Forget(connection.stream->Handle());
    std::string line = connection.session.Line(connection.peer);
    if (!connection.cutBecause.empty()) {
        line += " (cut: " + connection.cutBecause + ")";
    }
    m_connections.erase(&connection);
    // The allocator keeps what a session freed; hand it back when the server goes idle,
    // and at most once a second while it is busy, as trimming walks the heap.
    const auto now = Clock::now();
    if (m_connections.empty() || now - m_trimmed >= std::chrono::seconds(1)) {
        m_trimmed = now;
        Platform::ReturnFreeMemory();
    }
    m_log(line);
}

std::string RepairService::Overdue(Connection& connection, Clock::time_point now) {
    if (now - connection.started >= std::chrono::milliseconds(m_options.sessionMs)) {
        return FormatString("longer than the session limit of %u ms", m_options.sessionMs);
    }
    if (connection.phase == Connection::Phase::kWorking) {
        return {};
    }
    const auto silent = now - std::max(connection.lastByte, connection.waitingSince);
    if (m_options.silentMs != 0 && silent >= std::chrono::milliseconds(m_options.silentMs)) {
        return FormatString("silent for %u ms", m_options.silentMs);
    }
    const auto waited = connection.waited + (now - connection.waitingSince);
    const auto span =
        std::chrono::duration_cast<std::chrono::milliseconds>(waited - connection.checkedWaited)
            .count();
    if (span < static_cast<long long>(m_options.windowMs)) {
        return {};
    }
    const std::uint64_t moved = connection.bytes - connection.checkedBytes;
    if (moved * 1000 < m_options.minBytesPerSecond * static_cast<std::uint64_t>(span)) {
        return FormatString("%llu bytes in %lld ms spent waiting on it, below %llu bytes/s",
                            static_cast<unsigned long long>(moved), static_cast<long long>(span),
                            static_cast<unsigned long long>(m_options.minBytesPerSecond));
    }
    connection.checkedWaited = waited;
    connection.checkedBytes = connection.bytes;
    return {};
}

void RepairService::CheckSessions() {
    const auto now = Clock::now();
    std::vector<std::pair<Connection*, std::string>> overdue;
    for (const auto& [key, connection] : m_connections) {
        if (!connection->cutBecause.empty()) {
            continue;
        }
        std::string because = Overdue(*connection, now);
        if (!because.empty()) {
            overdue.emplace_back(key, std::move(because));
        }
    }
    for (auto& [connection, because] : overdue) {
        Cut(*connection, because);
    }
}
