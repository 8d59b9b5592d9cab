#include "platform/System.h"

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/FileLimit.h"
#include "platform/Files.h"
#include "platform/Utf8.h"
#include "platform/win32/WinApi.h"

namespace Platform {

DWORD GetLastError() {
    return ::GetLastError();
}

void SetLastError(DWORD error) {
    ::SetLastError(error);
}

void SetLastErrorFromErrno(int errnoValue) {
    SetLastError(Win32ErrorFromErrno(errnoValue));
}

std::vector<std::string> GetCommandLineArguments(int /*argc*/, char** /*argv*/) {
    std::vector<std::string> arguments;
    for (const std::wstring& argument : SplitWindowsCommandLine(::GetCommandLineW())) {
        arguments.push_back(EncodeUtf8(argument));
    }
    return arguments;
}

void ReturnFreeMemory() {
    ::HeapCompact(::GetProcessHeap(), 0);
}

std::uint64_t RaiseOpenFileLimit() {
    return 0;
}

bool SetOpenFileLimitForTests(std::uint64_t /*limit*/) {
    return false;
}

std::uint64_t GetTickCount64() {
    return ::GetTickCount64();
}

DWORD GetTickCount() {
    return ::GetTickCount();
}

DWORD GetCurrentProcessId() {
    return ::GetCurrentProcessId();
}

bool IsProcessActive(DWORD processId) {
    if (processId == 0) {
        return false;
    }
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) {
        // A process that exists but is not ours to open is still running.
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

std::optional<std::string> GetEnvironmentVariable(const char* name) {
    const std::wstring wideName = DecodeUtf8(name);
    std::vector<wchar_t> value(256);
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const ::DWORD n = ::GetEnvironmentVariableW(wideName.c_str(), value.data(),
                                                    static_cast<::DWORD>(value.size()));
        if (n == 0) {
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            return std::string();
        }
        if (n < value.size()) {
            return EncodeUtf8(std::wstring_view(value.data(), n));
        }
        value.resize(n);
    }
}

bool SetEnvironmentVariable(const char* name, const char* value) {
    const std::wstring wideValue = value != nullptr ? DecodeUtf8(value) : std::wstring();
    return ::SetEnvironmentVariableW(DecodeUtf8(name).c_str(),
                                     value != nullptr ? wideValue.c_str() : nullptr) != 0;
}

bool GetVersionEx(OsVersion* version) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)) == 0) {
        return false;
    }
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    version->build = info.dwBuildNumber;
    version->servicePackMajor = info.wServicePackMajor;
    return true;
}

void* LoadLibrary(const std::wstring& name) {
    return ::LoadLibraryW(name.c_str());
}

bool IsDebuggerPresent() {
    return ::IsDebuggerPresent() != 0;
}

void OutputDebugString(const char* text) {
    ::OutputDebugStringW(DecodeUtf8(text).c_str());
}

bool WriteStdout(const void* data, std::size_t size) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::DWORD written = 0;
    return ::WriteFile(out, data, static_cast<::DWORD>(size), &written, nullptr) != 0 &&
           written == size;
}

bool RedirectStdoutToParentPipe() {
    // The parent serves "\\.\pipe\<pid>cout" when it wants this process's output.
    const std::wstring name = L"\\\\.\\pipe\\" + std::to_wstring(::GetCurrentProcessId()) + L"cout";
    const HANDLE pipe = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return false;
    }
    // The C runtime's descriptor 1 takes a duplicate of the pipe, and the process's
    // standard output handle follows it, for code that prints either way.
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(pipe), 0);
    if (fd < 0) {
        ::CloseHandle(pipe);
        return false;
    }
    std::fflush(stdout);
    const bool ok = ::_dup2(fd, ::_fileno(stdout)) == 0;
    ::_close(fd);
    return ok && ::SetStdHandle(STD_OUTPUT_HANDLE, OsHandleOf(::_fileno(stdout))) != 0;
}

std::wstring GetStateDirectory() {
    const std::optional<std::string> local = GetEnvironmentVariable("LOCALAPPDATA");
    if (!local || local->empty()) {
        return {};
    }
    return DecodeUtf8(*local) + L"\\Osmel";
}

std::wstring GetTempDirectory() {
    wchar_t path[MAX_PATH + 1] = {};
    const ::DWORD n = ::GetTempPathW(MAX_PATH + 1, path);
    if (n == 0 || n > MAX_PATH) {
        return L".";
    }
    std::wstring directory(path, n);
    // The layers above add their own separator.
    if (directory.size() > 3 && directory.back() == L'\\') {
        directory.pop_back();
    }
    return directory;
}

}  // namespace Platform
