#include "Win32Support.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/System.h"

namespace Win32Support {

bool DeleteLocalMachineTree(const std::wstring& subKey) {
    return ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey.c_str()) == ERROR_SUCCESS;
}

std::string CaptureThroughParentPipe(bool (*write)(), bool* redirected) {
    const std::wstring name = L"\\\\.\\pipe\\" + std::to_wstring(::GetCurrentProcessId()) + L"cout";
    const HANDLE server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                             PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) {
        return "<no pipe>";
    }
    std::fflush(stdout);
    const HANDLE savedHandle = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const int savedFd = ::_dup(::_fileno(stdout));
    *redirected = Platform::RedirectStdoutToParentPipe();
    const bool wrote = *redirected && write();
    std::fflush(stdout);
    // Standard output back as it was; the redirected one closes, ending the pipe.
    ::_dup2(savedFd, ::_fileno(stdout));
    ::_close(savedFd);
    ::SetStdHandle(STD_OUTPUT_HANDLE, savedHandle);
    std::string received;
    if (wrote) {
        char buffer[256];
        DWORD n = 0;
        while (::ReadFile(server, buffer, sizeof buffer, &n, nullptr) != 0 && n > 0) {
            received.append(buffer, n);
        }
    }
    ::CloseHandle(server);
    return received;
}

}  // namespace Win32Support
