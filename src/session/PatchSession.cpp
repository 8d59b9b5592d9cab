#include "session/PatchSession.h"

#include <atomic>

#include "assetdb/AssetDbLock.h"
#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "patch/PatchCallbacks.h"
#include "platform/System.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace BexoPatch {

namespace {

std::atomic<SessionWindow*> g_cancelSource{nullptr};

void Log(std::int32_t level, const std::wstring& text) {
    ReportLogLine(level, text);
}

}  // namespace

bool ContinueQuery() {
    SessionWindow* window = g_cancelSource.load();
    return window == nullptr || !window->CancelRequested();
}

void SetCancelSource(SessionWindow* window) {
    g_cancelSource.store(window);
}

bool HasPatchRights(const std::wstring& installDirectory) {
    const auto temp = Platform::GetEnvironmentVariable("TEMP");
    const std::wstring tempDirectory = temp ? ToWide(*temp) : Platform::GetTempDirectory();
    if (!MakeDirectory(tempDirectory)) {
        return false;
    }
    const std::wstring product = JoinPath(installDirectory, L"bin/Kelvor.exe");
    if (!FileExists(product)) {
        return true;
    }
    BexoDataBufferFile file(product, BexoDataBufferFile::kModeUpdate);
    return file.IsOpen();
}

bool RunSession(const SessionSettings& settings, SessionWindow& window) {
    SetMessageLanguage(9);
    bool ok = false;
    if (!HasPatchRights(settings.installPath)) {
        Log(LOG_ERROR, LoadMessage(154));
        window.ShowMessage(LoadMessage(132), LoadMessage(134));
    } else if (!AcquireAssetDatabase(settings.installPath)) {
        // Linux is no Windows XP, and the DirectX runtime is a Windows component: those
        // two checks pass here.
        Log(LOG_ERROR, LoadMessage(157));
        window.ShowMessage(LoadMessage(158), LoadMessage(159));
        window.EnableApplyButton();
    } else {
        // The repair, standalone and download loops are not built yet: every mode ends
        // as aborted.
        ok = false;
        AssetDbClose();
    }
    Log(LOG_NORMAL, LoadMessage(ok ? 162 : 163));
    return ok;
}

PatchThread::PatchThread(SessionSettings settings, SessionWindow& window)
    : m_settings(std::move(settings)), m_window(window) {}

PatchThread::~PatchThread() {
    Join();
}

bool PatchThread::Start() {
    m_running = true;
    try {
        if (m_thread.Start(&PatchThread::Main, this)) {
            return true;
        }
    } catch (const OSException&) {
    }
    m_running = false;
    return false;
}

void PatchThread::Join() {
    m_thread.Join();
}

std::uint32_t PatchThread::Main(void* self) {
    auto* thread = static_cast<PatchThread*>(self);
    RunSession(thread->m_settings, thread->m_window);
    thread->m_running = false;
    thread->m_window.PostSessionFinished();
    return 0;
}

}  // namespace BexoPatch
