// ShellExecuteEx with the verb "runas", and SetCurrentDirectory.
#pragma once

#include <string>

#include "platform/Process.h"

namespace Platform {

// Starts the program with administrator rights and the parameters (a Windows command
// line tail). The POSIX backend asks pkexec; without pkexec the start fails
// (Error::FileNotFound). On success *process is the started process's handle.
bool ShellExecuteRunAs(const std::wstring& program, const std::wstring& parameters,
                       Handle* process);

bool SetCurrentDirectory(const std::wstring& path);

}  // namespace Platform
