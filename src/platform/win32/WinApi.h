// windows.h for the Win32 backend, private to it. The platform layer's own functions
// carry the Win32 names, so the A/W macros that would rename them are dropped
// (PlatformNames.h): the backend calls the W functions by their full names, and the real
// API by "::".
// Included after the platform headers, whose constants (KEY_READ, REG_SZ...) windows.h
// also defines as macros.
#pragma once

#include <io.h>
#include <windows.h>

#include <string>

#include "platform/Sync.h"
// After windows.h, whose macros it drops.
#include "platform/win32/PlatformNames.h"

namespace Platform {

// A Platform::Handle of this backend is the Win32 handle itself.
inline HANDLE ToWin32(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}
inline Handle FromWin32(HANDLE handle) {
    return reinterpret_cast<Handle>(handle);
}

// The OS handle behind a C runtime descriptor.
inline HANDLE OsHandleOf(int fd) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the runtime hands handles out as intptr_t.
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// A path in the form the W calls take: "\" separators.
inline std::wstring Win32Path(const std::wstring& path) {
    std::wstring out = path;
    for (wchar_t& c : out) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return out;
}

}  // namespace Platform
