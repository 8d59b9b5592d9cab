#include "assetdb/AssetDbUpdate.h"

#include <algorithm>
#include <memory>

#include "assetdb/AssetDbLock.h"
#include "kernel/ChildProcess.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "platform/Process.h"

namespace {

constexpr std::uint32_t kTick = 500;
constexpr int kRepairRange = 1201000;
constexpr int kRepairStart = 600000;
constexpr int kRepairSpan = 600000;
// A gauge range is an int and the hack thread's range is twice its span.
constexpr std::int32_t kMaxHackMinutes = 17000;

// The log shows one line per call: the tool's output goes there line by line, without
// the breaks, which would show as empty lines. A line cut by the chunking waits for its
// rest; at the end what is left is a line of its own.
void ReportCompleteLines(std::int32_t level, std::string* pending, bool ended) {
    std::size_t start = 0;
    for (std::size_t end; (end = pending->find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::size_t stop = end;
        if (stop > start && (*pending)[stop - 1] == '\r') {
            --stop;
        }
        ReportLogLine(level, ToWide(pending->substr(start, stop - start)));
    }
    pending->erase(0, start);
    if (ended && !pending->empty()) {
        ReportLogLine(level, ToWide(*pending));
        pending->clear();
    }
}

}  // namespace

bool KADThread::StartThread() {
    try {
        return Start(&KADThread::Entry, this);
    } catch (const OSException&) {
        return false;
    }
}

Platform::DWORD KADThread::Entry(void* self) {
    return static_cast<KADThread*>(self)->Run();
}

KADRepairThread::KADRepairThread(AssetDbWindow& window, std::wstring installPath)
    : KADThread(window), m_installPath(std::move(installPath)) {}

std::uint32_t KADRepairThread::Run() {
    const std::wstring executable = JoinPath(m_installPath, L"bin\\KelvorUtil.exe");
    std::unique_ptr<ChildProcess> child(StartChildProcess(executable, "repairdatabase patcher"));
    if (!child) {
        ReportLogLine(LOG_ERROR,
                      L"Failed to launch KelvorUtil to repair the Kelvor asset database.\n"
                      L"Please repair the database manually from Depotrix.");
        m_finished.Set();
        return 0;
    }
    processLock.Lock(Platform::kInfinite);
    processHandle = child->processHandle;
    processLock.Unlock();

    bool outputEnded = false;
    bool errorEnded = false;
    std::string output;
    std::string errors;
    while (!outputEnded || !errorEnded) {
        if (!outputEnded && !child->ReadStdout(output)) {
            outputEnded = true;
        }
        ReportCompleteLines(LOG_NORMAL, &output, outputEnded);
        if (!errorEnded && !child->ReadStderr(errors)) {
            errorEnded = true;
        }
        ReportCompleteLines(LOG_NOTE, &errors, errorEnded);
    }
    child->Wait(Platform::kInfinite);
    processLock.Lock(Platform::kInfinite);
    processHandle = nullptr;
    const bool stopped = !running;
    processLock.Unlock();
    Platform::DWORD exitCode = 1;
    if (!Platform::GetExitCodeProcess(child->processHandle, &exitCode)) {
        exitCode = 1;
    }
    if (exitCode == 0 && !stopped) {
        succeeded = true;
    } else if (!stopped) {
        ReportLogLine(LOG_ERROR,
                      L"KelvorUtil failed to repair the Kelvor asset database (exit code " +
                          std::to_wstring(exitCode) +
                          L").\nPlease repair the database manually from Depotrix.");
    }
    child->Close();
    m_finished.Set();
    return 0;
}

void KADRepairThread::Stop() {
    processLock.Lock(Platform::kInfinite);
    running = false;
    if (processHandle != nullptr) {
        Platform::TerminateProcess(processHandle, 1);
    }
    processLock.Unlock();
}

bool KADRepairThread::WaitFinished(std::uint32_t timeoutMs) {
    return m_finished.Lock(timeoutMs);
}

std::uint32_t KADRepairProgressThread::Run() {
    m_window.SetGaugeRange(kRepairRange);
    m_window.SetGaugeValue(kRepairStart);
    for (int offset = 0; running && offset < kRepairSpan;) {
        m_wake.Lock(kTick);
        if (!running) {
            break;
        }
        offset += static_cast<int>(kTick);
        m_window.SetGaugeValue(kRepairStart + offset);
    }
    m_window.SetGaugeRange(1);
    m_window.SetGaugeValue(1);
    return 0;
}

void KADRepairProgressThread::Stop() {
    running = false;
    m_wake.Set();
}

std::uint32_t KADHackProgressThread::Run() {
    const int total = std::clamp(minutes, 0, kMaxHackMinutes) * 60000;
    m_window.SetGaugeRange(2 * total);
    for (int offset = 0; offset < total && running; offset += static_cast<int>(kTick)) {
        m_window.SetGaugeValue(offset);
        m_wake.Lock(kTick);
    }
    m_window.SetGaugeValue(total);
    return 0;
}

void KADHackProgressThread::Stop() {
    running = false;
    m_wake.Set();
}

bool RunAssetDatabaseUpdate(const std::wstring& installPath, AssetDbWindow& window) {
    AssetDbReleaseExclusive();
    AssetDbClose();
    ReportLogLine(LOG_NORMAL,
                  L"\nUpdating Kelvor asset database... (this may take several minutes)");

    auto progress = std::make_unique<KADRepairProgressThread>(window);
    if (!progress->StartThread()) {
        progress.reset();
    }
    auto repair = std::make_unique<KADRepairThread>(window, installPath);
    if (!repair->StartThread()) {
        repair.reset();
    }
    // Wakes when the tool's thread ends, or ten times a second to look at the cancel flag:
    // a cancel ends the tool well within a second.
    while (repair && !repair->WaitFinished(100)) {
        if (window.CancelRequested()) {
            repair->Stop();
        }
    }
    if (repair) {
        repair->Stop();
        repair->Join();
    }
    if (progress) {
        progress->Stop();
        progress->Join();
    }
    return repair && repair->succeeded;
}
