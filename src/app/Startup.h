// Start-up steps that every front end takes the same way, with no window involved.
#pragma once

#include <string>

#include "patch/StepJournal.h"

namespace BexoPatch {

// Whether this process may patch the installation in the directory: the product key
// is writable, the temporary directory exists, and the product is not running.
bool HasPatchRights(const std::wstring& directory);

// Finishes a patch step that a kill, a crash or a power cut cut off, before anything else
// looks at the installation, and clears the "IsPatching" marker once the installation is
// one whole build again. `report` says what was done, for the log.
StepRecovery RecoverInstallation(const std::wstring& installPath, std::wstring* report);

// Keeps the session's log lines in "patcher.log" of the user's state folder too, so that
// they can be read after the front end has closed; says on the log when it cannot.
void KeepSessionLogFile();

// Starts the program that --onexit names and waits for it up to a second; when it cannot
// be started, says so on standard error.
void StartOnExitProgram(const std::wstring& commandLine);

}  // namespace BexoPatch
