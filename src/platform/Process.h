// Child processes and anonymous pipes, shaped after CreateProcess, CreatePipe, ReadFile,
// TerminateProcess and GetExitCodeProcess. Process and pipe handles are ordinary
// handles: WaitForSingleObject on a process returns when it has ended, and CloseHandle
// releases them.
#pragma once

#include <string>

#include "platform/Sync.h"
#include "platform/Win32Types.h"

namespace Platform {

// An anonymous pipe. Neither end is inherited by a child unless it is named as one of
// the child's standard handles. False (last error set) when the pipe cannot be made.
bool CreatePipe(Handle* readEnd, Handle* writeEnd);

// One blocking read of up to `size` bytes from a pipe's read end. A read that returns
// nothing because every write end is closed fails with Error::BrokenPipe, as a Win32
// pipe read does.
bool ReadFile(Handle file, void* buffer, DWORD size, DWORD* bytesRead);

struct ProcessStartup {
    // The child's standard output and error; null keeps this process's own. Standard
    // input is always this process's own.
    Handle stdOutput = nullptr;
    Handle stdError = nullptr;
    // Whether the child also receives this process's other inheritable handles. The
    // POSIX backend opens its own descriptors close-on-exec, so only descriptors that
    // someone made inheritable on purpose pass.
    bool inheritHandles = false;
    // The child's current directory; empty for this process's own.
    std::wstring currentDirectory;
    // The child is killed when this process (on POSIX: the creating thread) ends, as a
    // Windows job object with kill-on-close does, so that a tool cannot outlive an
    // interrupted patcher and change files after the patcher's recovery has run.
    bool endWithParent = false;
};

struct ProcessInformation {
    Handle process = nullptr;
    // The child's primary thread. On POSIX the process stands for it: it is another
    // handle to the same object.
    Handle thread = nullptr;
    DWORD processId = 0;
    DWORD threadId = 0;
};

// Starts the program named by the command line's first argument, as CreateProcessW
// without an application name does: the command line is split into arguments by the
// Windows rules, a relative program path is taken from this process's current
// directory, and a bare name is looked up on the search path. The child gets this
// process's environment and no console window. False (last error set) when the program
// cannot be started; `information` is then untouched.
bool CreateProcess(const std::wstring& commandLine, const ProcessStartup& startup,
                   ProcessInformation* information);

// Ends the process at once; its exit code becomes `exitCode`. Fails with
// Error::AccessDenied when the process has already ended.
bool TerminateProcess(Handle process, DWORD exitCode);

// The exit code, or kStillActive while the process runs. A POSIX child ended by a
// signal it did not handle reports 128 + the signal number, as a shell does.
bool GetExitCodeProcess(Handle process, DWORD* exitCode);

}  // namespace Platform
