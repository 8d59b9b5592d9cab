// What the Win32 backend tests need from Windows beyond the platform layer. Kept in a
// file of its own so that windows.h's A/W macros never meet the platform's names.
#pragma once

#include <string>

namespace Win32Support {

// Removes a key below HKEY_LOCAL_MACHINE with everything under it.
bool DeleteLocalMachineTree(const std::wstring& subKey);

// Serves "\\.\pipe\<this process's id>cout", runs `write` with this process's standard
// output redirected by the platform layer, restores standard output and returns what
// arrived through the pipe; `redirected` gets RedirectStdoutToParentPipe's answer.
std::string CaptureThroughParentPipe(bool (*write)(), bool* redirected);

// Starts the program suspended, serves "\\.\pipe\<its process id>cout" as its parent
// would, lets it run and returns what it wrote there; `exitCode` gets its exit code.
// "<...>" texts say what failed.
std::string RunWithParentPipe(const std::wstring& commandLine, unsigned long* exitCode);

}  // namespace Win32Support
