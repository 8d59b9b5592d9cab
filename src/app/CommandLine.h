// The command line of the patcher: its option table, the parse into PatchSettings, the
// server list file, and the parameters of the elevated relaunch.
#pragma once

#include <string>
#include <vector>

namespace BexoPatch {

struct CommandLineOptions {
    std::wstring onExitCommand;
    bool runOnExit = false;
    bool adminSwitch = false;
};

// Parses the arguments (the first is the program) into PatchSettings and `options`.
// A syntax error shows the usage and changes nothing; false then, and also when no
// positional parameter was given ("server", "list" and "admin" are then not read).
bool ParseCommandLine(const std::vector<std::wstring>& arguments, CommandLineOptions* options);

// Adds every line of the file as a patch server; false when it cannot be read or is empty.
bool ReadServerList(const std::string& path);

// A quoted directory ending in a backslash arrives as `dir\"`: the quote is dropped.
void RepairArguments(std::vector<std::wstring>* arguments);

// The parameters the elevated copy is started with, from the current settings.
std::string ElevationParameters();

// Where the usage text goes; standard error unless replaced (tests, the window).
void SetUsageOutput(void (*output)(const std::wstring& text));

}  // namespace BexoPatch
