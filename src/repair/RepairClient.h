// The repair client: on a worker thread of its own it scans the installation into a
// file tree summary, connects to the repair server, uploads the summary and receives
// the segments the server sends back, in numbered stages. The session thread polls its
// stage, counts and progress; every field it reads is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kernel/BexoResult.h"
#include "kernel/Sync.h"
#include "net/BexoDataBufferTCP.h"
#include "repair/AgentClientTask.h"
#include "repair/FileTreeSummary.h"

// How long each step of a session may wait on the server. A step that waits longer ends
// the session with its own problem.
struct RepairTimeLimits {
    // Connecting: a reachable server accepts within a second; as long as HTTP allows.
    std::uint32_t connectMs = 30000;
    // The server answers the handshake as soon as it accepts.
    std::uint32_t handshakeMs = 30000;
    // The server takes the summary and answers with the count after comparing it with its
    // reference, which it may first have to rescan: no byte for this long.
    std::uint32_t uploadMs = 120000;
    // Receiving: fewer than receiveMinBytes within receiveMs, so that a server that
    // trickles a byte now and then is given up like a silent one.
    std::uint32_t receiveMs = 60000;
    std::uint32_t receiveMinBytes = 4096;
};

// The limits of the sessions started from now on; tests shorten them.
void SetRepairTimeLimits(const RepairTimeLimits& limits);
RepairTimeLimits GetRepairTimeLimits();

class RepairClient : public BexoAgentClient {
public:
    enum Stage : std::int32_t {
        kNotStarted = 0,
        kStarted = 1,
        kScanning = 2,
        kConnecting = 3,
        kPreparing = 4,
        kReceiving = 5,
        kFinished = 6,
    };

    RepairClient();
    // Stops a running worker (cancel, abortive close of the connection) and joins it.
    ~RepairClient() override;
    RepairClient(const RepairClient&) = delete;
    RepairClient& operator=(const RepairClient&) = delete;

    // The setters refuse while the worker runs (INVALID_STATE).
    BEXORESULT SetRoot(const std::wstring& path);
    BEXORESULT SetChecksumFile(const std::wstring& path);
    BEXORESULT SetServer(const SocketEndpoint& server);
    BEXORESULT SetExclusions(const SummaryPatternSet& exclusions);
    // Starts the worker; ignored while it runs.
    void Start();
    // Asks the worker to stop: the scan ends at the next file or segment, a wait on the
    // server ends at once (abortive close), the records received are still finished.
    void RequestCancel();

    bool IsBusy() const { return m_busy; }
    // Waits at most this long for the worker to end; true when it is not running.
    bool WaitUntilIdle(std::uint32_t timeoutMs);
    std::int32_t GetStage() const { return m_stage; }
    BEXORESULT GetError() const { return m_error; }
    std::uint32_t GetReceived() const { return m_received; }
    // The records received that were also written: received less those that failed.
    std::uint32_t GetUpdated() const {
        // Failures are counted after their receipt: read first, they never exceed it.
        const std::uint32_t failed = m_failedRecords;
        return m_received - failed;
    }
    std::uint32_t GetAnnounced() const { return m_announced; }
    bool Succeeded() const;
    float GetProgress() const;
    // What went wrong beyond the stage and code, and the file concerned (may be empty).
    // Read once the worker has ended.
    RepairProblem GetProblem() const;
    std::wstring GetProblemFile() const;
    // The limits of the last session started.
    const RepairTimeLimits& TimeLimits() const { return m_limits; }

    // What the transfer tasks use.
    BexoDataBuffer* Connection() override { return &m_connection; }
    bool IsConnected() override { return m_connection.IsConnected(); }
    const std::wstring& Root() const override { return m_root; }
    FileTreeSummary& Summary() override { return m_summary; }
    std::uint32_t Received() const override { return m_received; }
    void CountReceived() override { ++m_received; }
    std::uint32_t Announced() const override { return m_announced; }
    bool CancelRequested() const override { return m_cancel; }
    void SaveChecksumFile() override;
    void ReportProblem(RepairProblem problem, const std::wstring& file) override;

private:
    static std::uint32_t WorkerMain(void* client);
    void Run();
    void ResetOutcome();
    // Ends the worker's stage with the code, and with the problem when the code is a
    // time limit's.
    void Fail(BEXORESULT error, RepairProblem timedOut);

    std::atomic<std::int32_t> m_stage{kNotStarted};
    std::unique_ptr<OS::Thread> m_worker;
    std::atomic<bool> m_busy{false};
    // Signalled while the worker is not running, so pollers need not sleep out a period.
    Kos::WEvent m_idle{true, true, nullptr};
    std::atomic<bool> m_succeeded{false};
    std::atomic<BEXORESULT> m_error{BEXORESULT_OK};
    std::atomic<bool> m_cancel{false};
    std::wstring m_root;
    std::wstring m_checksumFile;
    SocketEndpoint m_server{};
    SummaryPatternSet m_exclusions;
    FileTreeSummary m_summary;
    BexoDataBufferTCP m_connection;
    std::atomic<std::uint32_t> m_announced{0};
    std::atomic<std::uint32_t> m_received{0};
    std::atomic<std::uint32_t> m_failedRecords{0};
    RepairTimeLimits m_limits;
    mutable std::mutex m_problemLock;
    RepairProblem m_problem = RepairProblem::kNone;
    std::wstring m_problemFile;
};
