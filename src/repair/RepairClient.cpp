#include "repair/RepairClient.h"

#include "kernel/FileUtil.h"
#include "platform/Files.h"

namespace {

// Rejects what cannot be an installation directory: too short, quoted, or starting or
// ending with a character outside ASCII.
bool PassesRootCheck(const std::wstring& path) {
    if (path.size() <= 4) {
        return false;
    }
    const auto bad = [](wchar_t c) { return c == L'"' || static_cast<std::uint32_t>(c) > 127; };
    return !bad(path.front()) && !bad(path.back());
}

std::mutex g_limitsLock;
RepairTimeLimits g_limits;

}  // namespace

void SetRepairTimeLimits(const RepairTimeLimits& limits) {
    const std::lock_guard<std::mutex> hold(g_limitsLock);
    g_limits = limits;
}

RepairTimeLimits GetRepairTimeLimits() {
    const std::lock_guard<std::mutex> hold(g_limitsLock);
    return g_limits;
}

RepairClient::RepairClient() = default;

RepairClient::~RepairClient() {
    if (m_worker) {
        RequestCancel();
        m_worker->Join();
        m_worker.reset();
    }
}

void RepairClient::RequestCancel() {
    m_cancel = true;
    m_connection.Disconnect(true);
}

void RepairClient::ResetOutcome() {
    m_stage = kNotStarted;
    m_succeeded = false;
    m_error = BEXORESULT_OK;
    const std::lock_guard<std::mutex> hold(m_problemLock);
    m_problem = RepairProblem::kNone;
    m_problemFile.clear();
}

void RepairClient::ReportProblem(RepairProblem problem, const std::wstring& file) {
    if (problem == RepairProblem::kCannotWrite || problem == RepairProblem::kDamagedData ||
        problem == RepairProblem::kGrowthRefused) {
        ++m_failedRecords;
    }
    const std::lock_guard<std::mutex> hold(m_problemLock);
    if (m_problem == RepairProblem::kNone) {
        m_problem = problem;
        m_problemFile = file;
    }
}

RepairProblem RepairClient::GetProblem() const {
    const std::lock_guard<std::mutex> hold(m_problemLock);
    return m_problem;
}

std::wstring RepairClient::GetProblemFile() const {
    const std::lock_guard<std::mutex> hold(m_problemLock);
    return m_problemFile;
}

void RepairClient::Fail(BEXORESULT error, RepairProblem timedOut) {
    if (error == BEXORESULT_TIMED_OUT) {
        ReportProblem(timedOut, L"");
    }
    m_error = error;
}

BEXORESULT RepairClient::SetRoot(const std::wstring& path) {
    if (m_busy) {
        return BEXORESULT_INVALID_STATE;
    }
    if (path.empty() || !PassesRootCheck(path)) {
        return BEXORESULT_INVALID_ARGUMENT;
    }
    m_root = path;
    ResetOutcome();
    return BEXORESULT_OK;
}

BEXORESULT RepairClient::SetChecksumFile(const std::wstring& path) {
    if (m_busy) {
        return BEXORESULT_INVALID_STATE;
    }
    if (path.empty()) {
        return BEXORESULT_INVALID_ARGUMENT;
    }
    m_checksumFile = path;
    ResetOutcome();
    return BEXORESULT_OK;
}

BEXORESULT RepairClient::SetServer(const SocketEndpoint& server) {
    if (m_busy) {
        return BEXORESULT_INVALID_STATE;
    }
    m_server = server;
    ResetOutcome();
    return BEXORESULT_OK;
}

BEXORESULT RepairClient::SetExclusions(const SummaryPatternSet& exclusions) {
    if (m_busy) {
        return BEXORESULT_INVALID_STATE;
    }
    m_exclusions = exclusions;
    return BEXORESULT_OK;
}

void RepairClient::Start() {
    if (m_busy) {
        return;
    }
    ResetOutcome();
    m_stage = kStarted;
    m_idle.Reset();
    m_busy = true;
    m_cancel = false;
    m_limits = GetRepairTimeLimits();
    if (!m_worker) {
        m_worker = std::make_unique<OS::Thread>();
    }
    m_worker->Start(&RepairClient::WorkerMain, this);
}

bool RepairClient::WaitUntilIdle(std::uint32_t timeoutMs) {
    m_idle.Lock(timeoutMs);
    return !m_busy;
}

bool RepairClient::Succeeded() const {
    return !m_busy && m_stage == kFinished && m_error == BEXORESULT_OK;
}

float RepairClient::GetProgress() const {
    const std::int32_t stage = m_stage;
    if (stage == kFinished) {
        return 1.0f;
    }
    const std::uint32_t announced = m_announced;
    const std::uint32_t received = m_received;
    if (stage <= kPreparing || announced == 0) {
        return 0.0f;
    }
    if (received >= announced) {
        return 1.0f;
    }
    return static_cast<float>(received) / static_cast<float>(announced);
}

std::uint32_t RepairClient::WorkerMain(void* client) {
    auto* self = static_cast<RepairClient*>(client);
    self->Run();
    const BEXORESULT error = self->m_error;
    self->m_busy = false;
    self->m_idle.Set();
    return static_cast<std::uint32_t>(error);
}

void RepairClient::SaveChecksumFile() {
    // Written beside the old file and renamed over it once complete, so a crash or a full
    // disk leaves the previous checksum file rather than half of a new one.
    const std::wstring temporary = m_checksumFile + L".tmp";
    bool saved = false;
    {
        BexoDataBufferFile file(temporary, BexoDataBufferFile::kModeCreate);
        saved = file.IsOpen() && m_summary.Save(&file) == BEXORESULT_OK && file.Commit();
    }
    if (!saved || !Platform::ReplaceFile(temporary, m_checksumFile)) {
        DeleteFile(temporary);
    }
}

void RepairClient::Run() {
    if (m_root.empty() || m_checksumFile.empty()) {
        m_error = BEXORESULT_INVALID_ARGUMENT;
        return;
    }

    m_stage = kScanning;
    {
        BexoDataBufferFile file(m_checksumFile, BexoDataBufferFile::kModeRead);
        if (file.IsOpen()) {
            m_summary.Load(&file);
        }
    }
    SummaryPatternSet patterns;
    const std::wstring checksumRelative = RelativePath(m_checksumFile, m_root);
    if (!checksumRelative.empty()) {
        patterns.insert(checksumRelative);
        // The checksum file's temporary twin, left behind only by a crash mid-save.
        patterns.insert(checksumRelative + L".tmp");
    }
    for (const std::wstring& exclusion : m_exclusions) {
        const std::wstring relative = RelativePath(exclusion, m_root);
        if (!relative.empty()) {
            patterns.insert(relative);
        }
    }
    if (m_summary.Scan(m_root, patterns, &m_cancel) != BEXORESULT_OK) {
        m_error = BEXORESULT_ABORTED;
        return;
    }
    SaveChecksumFile();

    m_stage = kConnecting;
    m_connection.SetTimeLimit(m_limits.connectMs);
    BEXORESULT result = m_connection.Connect(m_server);
    if (result != BEXORESULT_OK) {
        Fail(result, RepairProblem::kConnectTimedOut);
        return;
    }
    const std::uint8_t hello[4] = {6, 0, 0, 0};
    std::uint8_t answer[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    m_connection.SetTimeLimit(m_limits.handshakeMs);
    result = m_connection.WriteData(hello, sizeof hello);
    if (result == BEXORESULT_OK) {
        result = m_connection.ReadData(answer, sizeof answer);
    }
    if (result == BEXORESULT_TIMED_OUT) {
        Fail(result, RepairProblem::kHandshakeTimedOut);
        return;
    }
    if (answer[0] != 6 || answer[1] != 0 || answer[2] != 0 || answer[3] != 0) {
        m_error = BEXORESULT_BAD_DATA;
        return;
    }

    m_stage = kPreparing;
    m_connection.SetTimeLimit(m_limits.uploadMs);
    result = m_summary.Save(&m_connection);
    m_announced = 0;
    m_received = 0;
    m_failedRecords = 0;
    std::uint8_t count[4] = {};
    const BEXORESULT read = m_connection.ReadData(count, sizeof count);
    if (result == BEXORESULT_OK) {
        result = read;
    }
    if (result != BEXORESULT_OK) {
        Fail(result, RepairProblem::kUploadTimedOut);
        return;
    }
    m_announced =
        static_cast<std::uint32_t>(count[0]) | (static_cast<std::uint32_t>(count[1]) << 8) |
        (static_cast<std::uint32_t>(count[2]) << 16) | (static_cast<std::uint32_t>(count[3]) << 24);

    m_stage = kReceiving;
    m_connection.SetTimeLimit(m_limits.receiveMs, m_limits.receiveMinBytes);
    ReceiveSegments(this);
    switch (GetProblem()) {
        case RepairProblem::kNone:
            break;
        case RepairProblem::kReceiveStalled:
            m_error = BEXORESULT_TIMED_OUT;
            return;
        case RepairProblem::kCannotWrite:
            m_error = BEXORESULT_IO_ERROR;
            return;
        default:
            m_error = BEXORESULT_BAD_DATA;
            return;
    }
    if (m_received < m_announced) {
        m_error = BEXORESULT_NETWORK_ERROR;
        return;
    }
    m_error = BEXORESULT_OK;
    m_stage = kFinished;
    m_succeeded = true;
}
