// osmel-update: the patcher's sessions from a terminal, for servers, scripts and remote
// shells. The same modes and arguments as the window's command line, plus the terminal's
// own options; see UpdateUsage.
#pragma once

namespace BexoPatch {

// Runs the command with the program's arguments; returns its exit status (ExitStatus).
// wxWidgets' base library must be initialised.
int RunUpdateCommand(int argc, char** argv);

}  // namespace BexoPatch
