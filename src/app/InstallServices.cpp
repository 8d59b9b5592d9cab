#include "app/InstallServices.h"

namespace BexoPatch {

InstallServices& GetInstallServices() {
    static InstallServices services;
    return services;
}

bool RunListBuilds(const std::wstring& toolPath, const std::wstring& listPath) {
    auto* run = GetInstallServices().runListBuilds;
    return run != nullptr && run(toolPath, listPath);
}

std::wstring FindInstallPath(const std::string& product, const std::string& maker) {
    auto* find = GetInstallServices().findInstallPath;
    return find != nullptr ? find(product, maker) : std::wstring();
}

bool LoadStandalonePatch(const std::wstring& executablePath, bool browse) {
    auto* load = GetInstallServices().loadStandalonePatch;
    return load != nullptr && load(executablePath, browse);
}

}  // namespace BexoPatch
