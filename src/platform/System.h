// Process-wide facts and services of the OS: last error, clocks, process ids, the
// command line, the environment, the debugger, standard output and the temporary
// directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Win32Types.h"

namespace Platform {

// The calling thread's last error, in Win32 numbers (see Win32Types.h).
DWORD GetLastError();
void SetLastError(DWORD error);
// Sets the last error from the C library's errno value.
void SetLastErrorFromErrno(int errnoValue);
// The Win32 number for an errno value.
DWORD Win32ErrorFromErrno(int errnoValue);

// Milliseconds since boot; wraps after 49.7 days as the Win32 call does.
DWORD GetTickCount();
std::uint64_t GetTickCount64();

DWORD GetCurrentProcessId();
// True while the process exists and has not ended; a process that has exited but not
// yet been reaped by its parent is not running.
bool IsProcessActive(DWORD processId);

// The program's arguments in UTF-8, its own name first. On Windows they come from the
// Unicode command line (GetCommandLineW): main's argv is in the ANSI code page, which
// cannot name every file. Elsewhere they are main's argv as the OS passed it.
std::vector<std::string> GetCommandLineArguments(int argc, char** argv);

std::optional<std::string> GetEnvironmentVariable(const char* name);
// Sets the variable for this process and the children it starts; a null value removes it.
bool SetEnvironmentVariable(const char* name, const char* value);

bool IsDebuggerPresent();
// The debugger output stream: standard error, written only while a debugger is attached.
void OutputDebugString(const char* text);

// One write of the bytes to the current standard output; false on a failed or short write.
bool WriteStdout(const void* data, std::size_t size);
// Makes the FIFO "<temp>/<pid>cout" the process's standard output when a reader
// already holds it open. Returns whether standard output was redirected.
bool RedirectStdoutToParentPipe();

// The Windows version, shaped after GetVersionExW with OSVERSIONINFOEXW (so Windows 8.1
// and later report 6.2, as they do to a program that does not declare them). False
// with Error::NotSupported on POSIX, which has no Windows version.
struct OsVersion {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    DWORD servicePackMajor = 0;
};
bool GetVersionEx(OsVersion* version);

// Loads a Windows library and keeps it loaded, shaped after LoadLibraryW: the module
// handle, or null (last error set) when it cannot be loaded. The POSIX backend loads no
// Windows library: null with Error::NotSupported.
void* LoadLibrary(const std::wstring& name);

// The temporary directory in internal form ("\" separators): TEMP, then TMPDIR, then /tmp.
std::wstring GetTempDirectory();

// This system's folder for what outlives a run (the log file, crash reports), in internal
// form and not made here: on POSIX $XDG_STATE_HOME/osmel, else ~/.local/state/osmel; on
// Windows %LOCALAPPDATA%\Osmel. Empty when the environment names no such place.
std::wstring GetStateDirectory();

// Gives the memory the allocator holds free back to the system, so that a server's size
// falls again after a large request instead of staying at its peak.
void ReturnFreeMemory();

}  // namespace Platform
