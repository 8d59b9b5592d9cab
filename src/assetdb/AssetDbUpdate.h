// Running the product's utility tool after patching to repair and update the asset
// database, with its output in the window log and a time-based progress bar, and the
// time-based progress thread that other long steps of a session use.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "assetdb/AssetDbWindow.h"
#include "kernel/Sync.h"

// Gives up the database lock, runs "bin\KelvorUtil.exe repairdatabase patcher" in the
// installation while the gauge moves by time, logs the tool's output chunk by chunk
// through the process-wide log callback,
// and terminates the tool (exit code 1) within about a second of a confirmed cancel.
// Returns when the tool and both threads have ended: true only when the tool ran to its
// end with exit code 0. Runs on the session thread.
bool RunAssetDatabaseUpdate(const std::wstring& installPath, AssetDbWindow& window);

// Base of the maintenance threads: a joinable thread that runs Run() once. Started by
// its creator, which joins it before deleting it.
class KADThread : public OS::Thread {
public:
    explicit KADThread(AssetDbWindow& window) : m_window(window) {}
    // False when the thread cannot be created.
    bool StartThread();

protected:
    AssetDbWindow& m_window;

private:
    static Platform::DWORD Entry(void* self);
};

// Runs the utility tool and pipes its output into the window log.
class KADRepairThread : public KADThread {
public:
    KADRepairThread(AssetDbWindow& window, std::wstring installPath);
    std::uint32_t Run() override;
    // Marks the thread as no longer wanted and terminates the tool if it runs.
    // Callable from any thread.
    void Stop();
    // Waits up to the timeout for the body to end.
    bool WaitFinished(std::uint32_t timeoutMs);

    std::atomic<bool> running{true};
    // Set when the tool ended by itself with exit code 0.
    std::atomic<bool> succeeded{false};

private:
    const std::wstring m_installPath;
    // Guards processHandle between this thread and the one that terminates the tool.
    Kos::CriticalSection processLock;
    Platform::Handle processHandle = nullptr;
    Kos::WEvent m_finished{true, false, nullptr};
};

// Moves the gauge from just under half full to full over ten minutes while the tool
// runs, then fills it.
class KADRepairProgressThread : public KADThread {
public:
    using KADThread::KADThread;
    std::uint32_t Run() override;
    // Clears `running` and wakes the thread so it ends at once.
    void Stop();

    std::atomic<bool> running{true};

private:
    Kos::WEvent m_wake{true, false, nullptr};
};

// Moves the gauge from empty to half full over `minutes` (set before the thread is
// started) while a long session step runs; the step's end fills the other half.
class KADHackProgressThread : public KADThread {
public:
    using KADThread::KADThread;
    std::uint32_t Run() override;
    void Stop();

    std::atomic<bool> running{true};
    std::int32_t minutes = 0;

private:
    Kos::WEvent m_wake{true, false, nullptr};
};
