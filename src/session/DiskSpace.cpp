#include <cstdint>
#include <string>

#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "patch/PatchCallbacks.h"
#include "platform/System.h"
#include "session/PatchThread.h"
#include "session/SessionServices.h"

namespace BexoPatch {

bool GetFreeSpace(const std::wstring& directory, std::uint64_t* freeBytes) {
    *freeBytes = 0;
    if (directory.empty()) {
        return false;
    }
    std::wstring path = directory;
    NormaliseSeparators(path, L'\\');
    path = JoinPath(path, std::wstring());
    auto* query = GetSessionServices().getFreeDiskSpace;
    return query != nullptr && query(path, freeBytes);
}

bool PatchThread::CheckDiskSpace(std::uint32_t megabytes) {
    ReportLogLine(LOG_NORMAL, LoadMessage(241));
    tempDirectory = Platform::GetTempDirectory();
    // 4096 MB does not fit 32 bits.
    const std::uint64_t required = std::uint64_t{megabytes} * 1048576u;

    std::uint64_t tempFree = 0;
    const bool tempKnown = GetFreeSpace(tempDirectory, &tempFree);
    const std::wstring installPath = PatchSettings::Instance().GetInstallPath();
    if (tempKnown && tempFree < required) {
        tempDirectory = installPath;
    }
    std::uint64_t installFree = 0;
    if (GetFreeSpace(installPath, &installFree)) {
        if (installFree < required) {
            return false;
        }
        if (tempKnown) {
            return true;
        }
    }
    ReportLogLine(LOG_NORMAL, LoadMessage(242));
    return true;
}

}  // namespace BexoPatch
