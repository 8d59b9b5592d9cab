// Entry points of installation discovery and the standalone archive, filled in by the
// subsystems that provide them. While one is missing it answers "not available": no
// build list, no installation found, no archive.
#pragma once

#include <string>

namespace BexoPatch {

struct InstallServices {
    // Runs the product's utility to list its builds and queues them; false on failure.
    bool (*runListBuilds)(const std::wstring& toolPath, const std::wstring& listPath) = nullptr;
    // The installation directory the product registered, or empty.
    std::wstring (*findInstallPath)(const std::string& product, const std::string& maker) = nullptr;
    // Opens the archive appended to the executable and readies a local patch.
    bool (*loadStandalonePatch)(const std::wstring& executablePath, bool browse) = nullptr;
};

InstallServices& GetInstallServices();

bool RunListBuilds(const std::wstring& toolPath, const std::wstring& listPath);
std::wstring FindInstallPath(const std::string& product, const std::string& maker);
bool LoadStandalonePatch(const std::wstring& executablePath, bool browse);

}  // namespace BexoPatch
