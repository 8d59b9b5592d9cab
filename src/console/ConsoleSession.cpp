#include "console/ConsoleSession.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "session/PatchThread.h"

namespace BexoPatch {

namespace {

constexpr std::uint32_t kSampleMs = 100;
// Between two attempts while waiting for the product to close.
constexpr int kWaitForProductMs = 3000;

std::atomic<ConsoleOutput*> g_output{nullptr};
std::atomic<ConsoleWindow*> g_window{nullptr};
std::atomic<int> g_interrupts{0};
// The engine's progress: the file operations of the running step and how many it has
// begun (it asks whether to continue before each). Zero total: no engine runs.
std::atomic<std::int32_t> g_engineTotal{0};
std::atomic<std::int32_t> g_engineDone{0};
// The session's last line said it completed.
std::atomic<bool> g_completed{false};

void ConsoleLog(std::int32_t level, const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    SystemLog("[%d] %s", static_cast<int>(level), utf8.c_str());
    if (level == LOG_NORMAL) {
        // A new stage: what was measured belongs to the one before.
        g_engineTotal = 0;
        if (ConsoleWindow* window = g_window.load()) {
            window->gaugeFresh = false;
        }
        if (text == LoadMessage(162)) {
            g_completed = true;
        }
    }
    if (ConsoleOutput* output = g_output.load()) {
        output->Log(level, utf8);
    }
}

void ConsoleTotal(std::int32_t count) {
    g_engineDone = 0;
    g_engineTotal = count;
}

bool ConsoleContinue() {
    if (g_engineTotal.load() > 0) {
        ++g_engineDone;
    }
    return ContinueQuery();
}

// The first interrupt cancels; later ones only say that the session is ending.
class InterruptWatch {
public:
    void Check(ConsoleWindow& window) {
        const int interrupts = g_interrupts.load();
        if (interrupts == m_handled) {
            return;
        }
        if (m_handled == 0) {
            // Logged before the flag is raised, as the window does: the session may log
            // its own end at once.
            ConsoleLog(LOG_ERROR, LoadMessage(194));
            window.cancel = true;
        } else if (m_handled == 1) {
            ConsoleLog(LOG_NOTE,
                       L"Already cancelling: the session puts the installation back as it "
                       L"was and then ends.");
        }
        m_handled = interrupts;
    }

private:
    int m_handled = 0;
};

void ShowProgress(PatchThread& session, ConsoleWindow& window, ConsoleOutput& output) {
    ProgressSample sample;
    if (session.Downloading()) {
        const DownloadProgress progress = session.GetDownloadProgress();
        sample.unit = ProgressSample::Unit::kBytes;
        sample.done = progress.bytesDone;
        sample.total = progress.bytesTotal;
    } else if (const std::int32_t total = g_engineTotal.load(); total > 0) {
        sample.unit = ProgressSample::Unit::kFiles;
        sample.done = static_cast<std::uint64_t>(std::min(g_engineDone.load(), total));
        sample.total = static_cast<std::uint64_t>(total);
    } else if (window.gaugeFresh && window.gaugeRange > 1) {
        sample.unit = ProgressSample::Unit::kPercent;
        sample.total = static_cast<std::uint64_t>(window.gaugeRange.load());
        sample.done = static_cast<std::uint64_t>(
            std::clamp(window.gaugeValue.load(), 0, window.gaugeRange.load()));
    } else {
        return;
    }
    output.Progress(sample);
}

int Finish(ConsoleOutput& output, int status, int installed, const std::string& build) {
    const auto AtBuild = [&build](const char* prefix) {
        return build.empty() ? std::string() : prefix + build;
    };
    const bool repair = PatchSettings::Instance().RepairMode();
    switch (status) {
        case kExitUpdated:
            if (repair) {
                output.Result("repaired", status, "osmel-update: repair completed.");
            } else if (installed > 0) {
                output.Result("updated", status,
                              "osmel-update: updated" + AtBuild(" to build ") + ".");
            } else {
                output.Result("current", status,
                              "osmel-update: already up to date" + AtBuild(" at build ") + ".");
            }
            break;
        case kExitCancelled:
            output.Result(
                "cancelled", status,
                "osmel-update: cancelled" + AtBuild("; the installation is at build ") + ".");
            break;
        case kExitVerificationFailed:
            output.Result("unverified", status,
                          "osmel-update: refused an update the publisher did not sign" +
                              AtBuild("; the installation is at build ") + ".");
            break;
        case kExitInUse:
            output.Result("in-use", status,
                          "osmel-update: not updated, the product is running or its files are "
                          "in use.");
            break;
        default:
            output.Result(
                "failed", status,
                "osmel-update: failed" + AtBuild("; the installation is at build ") + ".");
            break;
    }
    return status;
}

}  // namespace

void ConsoleWindow::PostSessionFinished() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_finished = true;
    m_finishedChanged.notify_all();
}

void ConsoleWindow::PostPatchInstalled() {
    PatchSettings& settings = PatchSettings::Instance();
    const std::string target = settings.GetTargetVersion();
    std::lock_guard<std::mutex> hold(m_lock);
    m_reachedBuild = target.empty() ? settings.GetCurrentVersion() : target;
    ++installed;
}

std::string ConsoleWindow::ReachedBuild() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_reachedBuild;
}

void ConsoleWindow::SetProgressRange(std::int32_t range) {
    gaugeRange = range;
    gaugeFresh = true;
}

void ConsoleWindow::SetProgressValue(std::int32_t value) {
    gaugeValue = value;
    gaugeFresh = true;
}

bool ConsoleWindow::WaitFinished(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_finishedChanged.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                      [this] { return m_finished; });
}

void ConsoleWindow::Reset() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_finished = false;
    }
    filesInUse = false;
    gaugeRange = 0;
    gaugeValue = 0;
    gaugeFresh = false;
}

void InstallConsoleCallbacks(ConsoleOutput* output) {
    g_output.store(output);
    if (output == nullptr) {
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        return;
    }
    SetPatchCallbacks(ConsoleTotal, ConsoleContinue, ConsoleLog);
}

void OnConsoleInterrupt() {
    ++g_interrupts;
}

int RunConsoleSession(ConsoleOutput& output, const ConsoleChoices& choices) {
    ConsoleWindow window;
    g_window.store(&window);
    SetSessionWindow(&window);
    InterruptWatch interrupts;
    const std::string startBuild = PatchSettings::Instance().GetCurrentVersion();
    int status = kExitFailed;
    int installed = 0;
    bool waitAnnounced = false;
    for (;;) {
        window.Reset();
        g_completed = false;
        g_engineTotal = 0;
        interrupts.Check(window);
        if (window.cancel) {
            status = kExitCancelled;
            break;
        }
        auto session = std::make_unique<PatchThread>(&window);
        if (session->Create() != wxTHREAD_NO_ERROR || session->Run() != wxTHREAD_NO_ERROR) {
            ConsoleLog(LOG_ERROR, L"The patch session could not be started.");
            break;
        }
        while (!window.WaitFinished(kSampleMs)) {
            interrupts.Check(window);
            ShowProgress(*session, window, output);
        }
        session->Wait(wxTHREAD_WAIT_BLOCK);
        const bool verificationFailed = session->verificationFailed.load();
        session.reset();
        interrupts.Check(window);
        installed += window.installed.exchange(0);
        if (g_completed) {
            status = kExitUpdated;
            break;
        }
        if (window.cancel) {
            status = kExitCancelled;
            break;
        }
        if (verificationFailed) {
            status = kExitVerificationFailed;
            break;
        }
        if (!window.filesInUse) {
            status = kExitFailed;
            break;
        }
        if (!choices.waitForProduct &&
            !(choices.mayAsk &&
              output.Ask("Wait until the product is closed and try again? [y/N] "))) {
            status = kExitInUse;
            break;
        }
        if (!waitAnnounced) {
            ConsoleLog(LOG_NOTE, L"Waiting for the product to close; Ctrl-C stops waiting.");
            waitAnnounced = true;
        }
        window.Reset();
        for (int waited = 0; waited < kWaitForProductMs && !window.cancel;
             waited += static_cast<int>(kSampleMs)) {
            window.WaitFinished(kSampleMs);
            interrupts.Check(window);
        }
    }
    SetSessionWindow(nullptr);
    g_window.store(nullptr);
    const std::string reached = window.ReachedBuild();
    return Finish(output, status, installed, reached.empty() ? startBuild : reached);
}

}  // namespace BexoPatch
