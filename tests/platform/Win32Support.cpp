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

std::string RunWithParentPipe(const std::wstring& commandLine, unsigned long* exitCode) {
    std::wstring mutableLine = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE,
                         CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                         &child) == 0) {
        return "<not started>";
    }
    const std::wstring name = L"\\\\.\\pipe\\" + std::to_wstring(child.dwProcessId) + L"cout";
    const HANDLE server =
        ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string received;
    bool connected = false;
    if (server != INVALID_HANDLE_VALUE) {
        connected = ::ConnectNamedPipe(server, &overlapped) != 0 ||
                    ::GetLastError() == ERROR_PIPE_CONNECTED;
        const bool pending = !connected && ::GetLastError() == ERROR_IO_PENDING;
        ::ResumeThread(child.hThread);
        if (pending) {
            // Connected, or the child ended without ever opening the pipe.
            const HANDLE events[] = {overlapped.hEvent, child.hProcess};
            connected = ::WaitForMultipleObjects(2, events, FALSE, 60000) == WAIT_OBJECT_0;
        }
        while (connected) {
            char buffer[256];
            DWORD n = 0;
            ::ResetEvent(overlapped.hEvent);
            if (::ReadFile(server, buffer, sizeof buffer, nullptr, &overlapped) == 0 &&
                ::GetLastError() != ERROR_IO_PENDING) {
                break;
            }
            if (::GetOverlappedResult(server, &overlapped, &n, TRUE) == 0 || n == 0) {
                break;
            }
            received.append(buffer, n);
        }
        ::CancelIo(server);
        ::CloseHandle(server);
    } else {
        received = "<no pipe>";
        ::ResumeThread(child.hThread);
    }
    ::WaitForSingleObject(child.hProcess, 60000);
    DWORD code = 0;
    ::GetExitCodeProcess(child.hProcess, &code);
    *exitCode = code;
    ::CloseHandle(overlapped.hEvent);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    return connected ? received : "<not connected>";
}

}  // namespace Win32Support
