// What a patch session calls in other subsystems, as replaceable entry points. Start-up
// fills in the rights check and the message box; the others answer as this platform
// does. Tests replace any of them.
#pragma once

#include <cstdint>
#include <string>

namespace BexoPatch {

class PatchThread;

struct SessionServices {
    // Whether this process may patch the installation in the directory.
    bool (*hasPatchRights)(const std::wstring& directory) = nullptr;
    // A message box with an OK button and no owner.
    void (*showMessageBox)(const std::wstring& text, const std::wstring& caption) = nullptr;
    // Extended platform version: major, minor and service pack major number.
    void (*getPlatformVersion)(std::uint32_t* major, std::uint32_t* minor,
                               std::uint32_t* servicePackMajor) = nullptr;
    // Whether the DirectX 9 runtime of August 2009 can be loaded.
    bool (*probeDirectX)() = nullptr;
    // Takes the installation's asset database for the session; false when the product
    // runs. The session gives it back when it ends.
    bool (*acquireAssetDatabase)(const std::wstring& installPath) = nullptr;
    void (*releaseAssetDatabase)() = nullptr;
    // The bytes available to this process on the directory's volume; false when the
    // platform cannot tell.
    bool (*getFreeDiskSpace)(const std::wstring& directory, std::uint64_t* freeBytes) = nullptr;
    // The mode loops; a null loop makes its mode end as aborted.
    bool (*runRepairSession)(PatchThread& session) = nullptr;
    bool (*runStandaloneSession)(PatchThread& session) = nullptr;
    bool (*runDownloadSession)(PatchThread& session) = nullptr;
};

// The process's entry points; the defaults answer as this platform does.
SessionServices& GetSessionServices();
// Back to the defaults, for tests.
void ResetSessionServices();

}  // namespace BexoPatch
