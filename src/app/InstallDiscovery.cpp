#include "app/InstallDiscovery.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <memory>
#include <vector>

#include "app/AppWindow.h"
#include "kernel/ChildProcess.h"
#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "patch/PatchArchive.h"
#include "patch/PatchCallbacks.h"
#include "platform/Registry.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace BexoPatch {

namespace {

constexpr const wchar_t* kProductsKey = L"SOFTWARE\\Osmel\\Products\\";
// Value buffers of 260 bytes: 129 UTF-16 units and the terminator. Longer values are
// treated as absent, as the fixed buffers of the setup program's readers did.
constexpr Platform::DWORD kValueBufferBytes = 260;
constexpr std::size_t kSubkeyNameUnits = 260;
constexpr Platform::REGSAM kAllAccess = 0xF003F;

// Closes a registry key when the scope ends.
struct KeyCloser {
    void operator()(Platform::RegistryKeyObject* key) const { Platform::RegCloseKey(key); }
};
using ScopedKey = std::unique_ptr<Platform::RegistryKeyObject, KeyCloser>;

ScopedKey OpenKey(Platform::HKEY parent, const std::wstring& name, Platform::REGSAM access) {
    Platform::HKEY key = nullptr;
    if (Platform::RegOpenKeyEx(parent, name, access, &key) != 0) {
        return nullptr;
    }
    return ScopedKey(key);
}

// A REG_SZ value that fits the 260-byte buffer; empty otherwise.
std::wstring ReadText(Platform::HKEY key, const wchar_t* name) {
    std::uint8_t buffer[kValueBufferBytes] = {};
    Platform::DWORD size = kValueBufferBytes;
    Platform::DWORD type = 0;
    if (Platform::RegQueryValueEx(key, name, &type, buffer, &size) != 0 ||
        type != Platform::REG_SZ) {
        return {};
    }
    std::u16string units;
    for (Platform::DWORD i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<char16_t>(buffer[i] | buffer[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        units.push_back(unit);
    }
    return FromUtf16(units);
}

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
        return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
    });
}

// A list path the tool can find whatever its own current directory: a drive, a UNC
// name or a path from the root.
bool IsAbsoluteListPath(const std::wstring& path) {
    return path.find(L':') != std::wstring::npos || path.starts_with(L"\\") ||
           path.starts_with(L"/");
}

void ReportNotApplicable() {
    ReportLogLine(LOG_ERROR, LoadMessage(184));
}

}  // namespace

std::wstring FindInstallPath(const std::wstring& productKey, const std::wstring& productClass) {
    const ScopedKey products =
        OpenKey(Platform::LocalMachineKey(), kProductsKey, Platform::KEY_READ);
    if (!products) {
        return {};
    }
    const ScopedKey product = OpenKey(products.get(), productKey, kAllAccess);
    if (!product) {
        return {};
    }
    std::wstring result;
    std::wstring name;
    for (Platform::DWORD index = 0; Platform::RegEnumKeyEx(product.get(), index, &name) == 0;
         ++index) {
        if (name.size() >= kSubkeyNameUnits) {
            continue;
        }
        const ScopedKey subkey = OpenKey(product.get(), name, Platform::KEY_QUERY_VALUE);
        if (!subkey) {
            continue;
        }
        if (productClass.empty() ||
            EqualIgnoringCase(ReadText(subkey.get(), L"ProductClass"), productClass)) {
            std::wstring path = ReadText(subkey.get(), L"ProductInstallPath");
            if (!path.empty()) {
                result = std::move(path);
            }
        }
    }
    return result;
}

bool RunListBuilds(const std::wstring& toolPath, const std::wstring& listPath) {
    const std::wstring list =
        IsAbsoluteListPath(listPath) ? FileSystemPath(listPath) : std::wstring();
    ChildProcess* child = StartChildProcess(toolPath, L"listbuilds \"" + list + L"\"");
    if (child == nullptr) {
        return false;
    }
    // The tool's output is not used, but it must be drained for the tool to finish.
    std::string output;
    bool outEnded = false;
    bool errEnded = false;
    while (!outEnded || !errEnded) {
        output.clear();
        outEnded = outEnded || !child->ReadStdout(output);
        errEnded = errEnded || !child->ReadStderr(output);
    }
    child->Wait(Platform::kInfinite);
    child->Close();
    delete child;

    const std::wstring& listFile = list;
    std::string text;
    {
        BexoDataBufferFile file(listFile, BexoDataBufferFile::kModeRead);
        if (!file.IsOpen()) {
            return false;
        }
        // The tool writes a few build numbers; a list beyond this is not one.
        constexpr std::uint64_t kMaxListBytes = 1u << 20;
        const std::uint64_t size = std::min(file.GetSize(), kMaxListBytes);
        text.resize(static_cast<std::size_t>(size));
        if (size != 0 &&
            file.ReadData(text.data(), static_cast<std::uint32_t>(size)) != BEXORESULT_OK) {
            text.clear();
        }
    }
    PatchSettings& settings = PatchSettings::Instance();
    bool pushed = false;
    std::size_t start = 0;
    for (std::size_t comma = text.find(','); comma != std::string::npos;
         comma = text.find(',', start)) {
        settings.PushBuild(text.substr(start, comma - start));
        pushed = true;
        start = comma + 1;
    }
    DeleteFile(listFile);
    return pushed;
}

std::wstring ParentDirectory(const std::wstring& path) {
    const std::size_t end = path.find_last_not_of(L"/\\");
    if (end == std::wstring::npos) {
        return {};
    }
    const std::size_t separator = path.find_last_of(L"/\\", end);
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

bool LoadStandalonePatch(const std::wstring& executablePath, bool browse) {
    PatchArchive& archive = StandaloneArchive();
    const BEXORESULT opened = archive.Open(executablePath);
    if (opened == BEXORESULT_NOT_SUPPORTED) {
        return false;
    }
    if (opened != BEXORESULT_OK) {
        ReportLogLine(LOG_ERROR, LoadMessage(181));
        return false;
    }
    AppWindow* window = GetAppWindow();
    if (window != nullptr) {
        window->EnableBrowseButton();
    }
    PatchSettings& settings = PatchSettings::Instance();
    // The directory named on the command line is the one shown and patched: it is the one
    // the archive must match, not the registry's.
    std::wstring candidate;
    if (!browse) {
        candidate = settings.GetInstallPath();
        if (candidate.empty()) {
            candidate = FindInstallPath(L"KelvorSimulator", L"Kelvor");
            settings.SetInstallPath(candidate);
        }
    }
    while (candidate.empty()) {
        if (!browse) {
            ReportLogLine(LOG_ERROR,
                          L"Unable to determine Kelvor installation path. Requesting "
                          L"user to specify installation location.\n");
        }
        std::wstring chosen;
        if (window == nullptr || !window->LocateProductExecutable(&chosen)) {
            ReportLogLine(LOG_ERROR,
                          L"Unable to determine installation location. Aborted "
                          L"patching at user's request.");
            return false;
        }
        NormaliseSeparators(chosen, L'\\');
        candidate = ParentDirectory(chosen);
        if (candidate.ends_with(L"bin\\")) {
            candidate = ParentDirectory(candidate);
        }
        settings.SetInstallPath(candidate);
    }
    std::wstring probe = JoinPath(candidate, L"bin/Portico.exe");
    NormaliseSeparators(probe, L'\\');
    if (!FileExists(probe)) {
        ReportNotApplicable();
        return false;
    }
    const std::vector<std::string> builds = archive.MatchingSourceBuilds(FileSystemPath(candidate));
    if (builds.empty()) {
        ReportNotApplicable();
        return false;
    }
    settings.SetCurrentVersion(std::string());
    settings.SetTargetVersion(std::string());
    settings.SetFinalVersion(std::string());
    settings.SetRepairMode(false);
    settings.SetStandaloneMode(true);
    for (const std::string& build : builds) {
        settings.PushBuild(build);
    }
    ReportLogLine(LOG_NORMAL, LoadMessage(187));
    if (window != nullptr) {
        window->ReadyToApply();
    }
    const std::string current = settings.GetCurrentVersion();
    if (!current.empty()) {
        ReportLogLine(LOG_NORMAL, FillFields(LoadMessage(188), {ToWide(current)}));
    }
    ReportLogLine(LOG_NORMAL, std::wstring());
    return true;
}

}  // namespace BexoPatch
