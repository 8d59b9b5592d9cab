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
// line tail), in this process's current directory. On success *process is the started
// process's handle. The POSIX backend asks pkexec (polkit; the action file installed with
// the program lets the desktop's agent ask for the password) to run the program by its
// absolute path, and hands over the current directory and the settings the copy needs,
// which pkexec would clear (the display, the temporary directory, the registry store's
// path...), as the copy's first arguments; AdoptElevatedStart takes them back. Without
// pkexec the start fails (Error::FileNotFound), as it does for a program that is not there.
bool ShellExecuteRunAs(const std::wstring& program, const std::wstring& parameters,
                       Handle* process);

// After the process of ShellExecuteRunAs has ended: whether the elevation was refused or
// cancelled, so that the program never ran. Windows refuses in ShellExecuteRunAs itself:
// false there. On POSIX, pkexec's own statuses for a dismissed prompt or a failed
// authorisation.
bool ElevationRefused(Handle process);

// At the very start of a program that ShellExecuteRunAs may have started, before anything
// reads the arguments or the environment: enters the first process's directory, takes
// back its settings and removes those arguments from argv (argc shrinks). Nothing
// happens for a program started otherwise, nor on Windows.
void AdoptElevatedStart(int* argc, char** argv);

bool SetCurrentDirectory(const std::wstring& path);

}  // namespace Platform
