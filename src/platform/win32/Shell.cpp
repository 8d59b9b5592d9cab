#include "platform/Shell.h"

#include <string>

#include "platform/win32/WinApi.h"

// After windows.h, which they need.
#include <objbase.h>
#include <shellapi.h>
// After shellapi.h, whose ShellExecute macros it drops.
#include "platform/win32/PlatformNames.h"

namespace Platform {

namespace {

const wchar_t* OrNull(const std::wstring& text) {
    return text.empty() ? nullptr : text.c_str();
}

// The shell may hand the start to an extension that needs COM on the calling thread.
class ComForShell {
public:
    ComForShell()
        : m_initialised(SUCCEEDED(
              ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    ~ComForShell() {
        if (m_initialised) {
            ::CoUninitialize();
        }
    }
    ComForShell(const ComForShell&) = delete;
    ComForShell& operator=(const ComForShell&) = delete;

private:
    bool m_initialised;
};

}  // namespace

bool ShellExecute(const std::wstring& operation, const std::wstring& file,
                  const std::wstring& parameters, const std::wstring& directory, int showCommand) {
    const ComForShell com;
    ::SetLastError(ERROR_SUCCESS);
    const auto result = reinterpret_cast<std::intptr_t>(
        ::ShellExecuteW(nullptr, OrNull(operation), file.c_str(), OrNull(parameters),
                        OrNull(directory.empty() ? directory : Win32Path(directory)), showCommand));
    if (result > 32) {
        return true;
    }
    // The result is an old-style error number; the last error usually says more.
    if (::GetLastError() == ERROR_SUCCESS) {
        ::SetLastError(result == SE_ERR_NOASSOC || result == SE_ERR_ASSOCINCOMPLETE
                           ? ERROR_NO_ASSOCIATION
                       : result == 0 ? ERROR_NOT_ENOUGH_MEMORY
                                     : static_cast<::DWORD>(result));
    }
    return false;
}

bool ShellExecuteRunAs(const std::wstring& program, const std::wstring& parameters,
                       Handle* process) {
    const ComForShell com;
    const std::wstring path = Win32Path(program);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = path.c_str();
    info.lpParameters = OrNull(parameters);
    info.nShow = SW_SHOWNORMAL;
    if (::ShellExecuteExW(&info) == 0) {
        return false;
    }
    if (info.hProcess == nullptr) {
        // Handed to something that started no process of its own to wait for.
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    *process = FromWin32(info.hProcess);
    return true;
}

bool ElevationRefused(Handle /*process*/) {
    return false;
}

void AdoptElevatedStart(int* /*argc*/, char** /*argv*/) {}

bool SetCurrentDirectory(const std::wstring& path) {
    return ::SetCurrentDirectoryW(Win32Path(path).c_str()) != 0;
}

}  // namespace Platform
