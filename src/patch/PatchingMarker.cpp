#include "patch/PatchingMarker.h"

#include "platform/Registry.h"

namespace {

constexpr const wchar_t* kProductKey = L"Software\\Osmel\\Products\\KelvorSimulator";
constexpr const wchar_t* kMarker = L"IsPatching";

// Opens the product key for writing, runs `change` on it and closes it again.
template <typename Change>
bool ChangeProductKey(Change change) {
    Platform::HKEY key = nullptr;
    if (Platform::RegOpenKeyEx(Platform::LocalMachineKey(), kProductKey, Platform::KEY_WRITE,
                               &key) != 0) {
        return false;
    }
    const bool changed = change(key) == 0;
    Platform::RegCloseKey(key);
    return changed;
}

}  // namespace

bool SetPatchingMarker() {
    return ChangeProductKey([](Platform::HKEY key) {
        const Platform::DWORD one = 1;
        return Platform::RegSetValueEx(key, kMarker, Platform::REG_DWORD, &one, sizeof one);
    });
}

bool ClearPatchingMarker() {
    return ChangeProductKey(
        [](Platform::HKEY key) { return Platform::RegDeleteValue(key, kMarker); });
}
