// ShellExecute (the desktop's handler for an address), ShellExecuteEx with the verb
// "runas", and SetCurrentDirectory.
#pragma once

#include <string>

#include "platform/Process.h"

namespace Platform {

// SW_SHOWNORMAL, the one show command the system uses.
constexpr int kShowNormal = 1;

// Opens the file or address with the desktop's handler for it, as ShellExecuteW does;
// `operation` empty is the default verb, the only one the POSIX backend knows (others
// fail with Error::NotSupported). The POSIX backend starts `xdg-open` from the search
// path with the file and the parameters (a Windows command line tail) in `directory`
// (empty: this process's own) and does not wait for it; the show command has no
// meaning there. False (last error set) when the handler cannot be started: without
// `xdg-open` on the path that is Error::FileNotFound.
bool ShellExecute(const std::wstring& operation, const std::wstring& file,
                  const std::wstring& parameters, const std::wstring& directory, int showCommand);

// Starts the program with administrator rights and the parameters (a Windows command
// line tail). The POSIX backend asks pkexec; without pkexec the start fails
// (Error::FileNotFound). On success *process is the started process's handle.
bool ShellExecuteRunAs(const std::wstring& program, const std::wstring& parameters,
                       Handle* process);

bool SetCurrentDirectory(const std::wstring& path);

}  // namespace Platform
