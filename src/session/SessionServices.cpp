#include "session/SessionServices.h"

#include <atomic>

#include "assetdb/AssetDbLock.h"
#include "platform/Files.h"
#include "session/PatchThread.h"
#include "session/RepairSession.h"
#include "session/SessionWindow.h"

namespace BexoPatch {

namespace {

// Only Windows XP before service pack 3 is refused; this platform is not Windows XP.
void PlatformVersion(std::uint32_t* major, std::uint32_t* minor, std::uint32_t* servicePackMajor) {
    *major = 10;
    *minor = 0;
    *servicePackMajor = 0;
}

// The DirectX runtime is a Windows component; elsewhere it counts as present.
bool DirectXPresent() {
    return true;
}

bool AcquireInstallationDatabase(const std::wstring& installPath) {
    return AcquireAssetDatabase(installPath);
}

SessionServices MakeDefaults() noexcept {
    SessionServices services;
    services.getPlatformVersion = PlatformVersion;
    services.probeDirectX = DirectXPresent;
    services.acquireAssetDatabase = AcquireInstallationDatabase;
    services.releaseAssetDatabase = AssetDbClose;
    services.getFreeDiskSpace = Platform::GetFreeDiskSpace;
    services.runRepairSession = RunRepairSession;
    services.runStandaloneSession = RunStandaloneSession;
    services.runDownloadSession = RunDownloadSession;
    return services;
}

SessionServices g_services = MakeDefaults();
std::atomic<SessionWindow*> g_sessionWindow{nullptr};

}  // namespace

SessionServices& GetSessionServices() {
    return g_services;
}

void ResetSessionServices() {
    g_services = MakeDefaults();
}

void SetSessionWindow(SessionWindow* window) {
    g_sessionWindow.store(window);
}

SessionWindow* GetSessionWindow() {
    return g_sessionWindow.load();
}

}  // namespace BexoPatch
