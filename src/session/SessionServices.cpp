#include "session/SessionServices.h"

#include <atomic>

#include "assetdb/AssetDbLock.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "session/PatchThread.h"
#include "session/RepairSession.h"
#include "session/SessionWindow.h"

namespace BexoPatch {

namespace {

// Only Windows XP before service pack 3 is refused; a platform without a Windows version
// is not Windows XP.
void PlatformVersion(std::uint32_t* major, std::uint32_t* minor, std::uint32_t* servicePackMajor) {
    Platform::OsVersion version;
    if (!Platform::GetVersionEx(&version)) {
        version.major = 10;
    }
    *major = version.major;
    *minor = version.minor;
    *servicePackMajor = version.servicePackMajor;
}

// Loading the library is the whole test, and it stays loaded. A platform that loads no
// Windows libraries has the DirectX runtime's work done by other means.
bool DirectXPresent() {
    return Platform::LoadLibrary(L"D3dx9_42.dll") != nullptr ||
           Platform::GetLastError() == Platform::Error::NotSupported;
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
