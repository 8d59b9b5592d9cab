#include "platform/Registry.h"

#include "platform/win32/WinApi.h"

namespace {

// Outside the namespace, where the macro's own HKEY is the OS's and not the platform's.
const ::HKEY kLocalMachine = HKEY_LOCAL_MACHINE;

}  // namespace

namespace Platform {

namespace {

// A Platform::HKEY of this backend is the Win32 key handle itself.
::HKEY ToWin32Key(HKEY key) {
    return reinterpret_cast<::HKEY>(key);
}
HKEY FromWin32Key(::HKEY key) {
    return reinterpret_cast<HKEY>(key);
}

}  // namespace

HKEY LocalMachineKey() {
    return FromWin32Key(kLocalMachine);
}

LONG RegOpenKeyEx(HKEY parent, const std::wstring& subKey, REGSAM access, HKEY* result) {
    ::HKEY key = nullptr;
    const LONG rc = ::RegOpenKeyExW(ToWin32Key(parent), subKey.c_str(), 0, access, &key);
    if (rc == ERROR_SUCCESS) {
        *result = FromWin32Key(key);
    }
    return rc;
}

LONG RegCreateKeyEx(HKEY parent, const std::wstring& subKey, REGSAM access, HKEY* result) {
    ::HKEY key = nullptr;
    const LONG rc = ::RegCreateKeyExW(ToWin32Key(parent), subKey.c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        *result = FromWin32Key(key);
    }
    return rc;
}

LONG RegQueryValueEx(HKEY key, const std::wstring& name, DWORD* type, void* data, DWORD* size) {
    ::DWORD valueType = 0;
    ::DWORD valueSize = size != nullptr ? *size : 0;
    const LONG rc =
        ::RegQueryValueExW(ToWin32Key(key), name.c_str(), nullptr, &valueType,
                           static_cast<BYTE*>(data), size != nullptr ? &valueSize : nullptr);
    if (type != nullptr) {
        *type = valueType;
    }
    if (size != nullptr) {
        *size = valueSize;
    }
    return rc;
}

LONG RegSetValueEx(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    return ::RegSetValueExW(ToWin32Key(key), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                            size);
}

LONG RegDeleteValue(HKEY key, const std::wstring& name) {
    return ::RegDeleteValueW(ToWin32Key(key), name.c_str());
}

LONG RegEnumKeyEx(HKEY key, DWORD index, std::wstring* name) {
    // Key names are at most 255 characters.
    wchar_t buffer[256] = {};
    ::DWORD length = 256;
    const LONG rc = ::RegEnumKeyExW(ToWin32Key(key), index, buffer, &length, nullptr, nullptr,
                                    nullptr, nullptr);
    if (rc == ERROR_SUCCESS) {
        name->assign(buffer, length);
    }
    return rc;
}

LONG RegCloseKey(HKEY key) {
    return ::RegCloseKey(ToWin32Key(key));
}

}  // namespace Platform
