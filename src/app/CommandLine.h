// The command line of the patcher: its option table, the parse into PatchSettings, the
// server list file, and the parameters of the elevated relaunch.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace BexoPatch {

// An option that one front end adds to the shared ones: a switch, or a long option with a
// value (given after "=" or as the next argument). The parse fills in `found` and `value`.
struct ExtraOption {
    const char* longName = nullptr;
    const char* help = nullptr;
    bool takesValue = false;
    bool found = false;
    std::wstring value;
};

struct CommandLineOptions {
    std::wstring onExitCommand;
    bool runOnExit = false;
    bool adminSwitch = false;
    // Log lines of the parse (usage, syntax errors, an unreadable server list) with their
    // levels: the command line is read before the window exists, which shows them later.
    std::vector<std::pair<std::int32_t, std::wstring>> startupLines;
    // The front end's own options, parsed with the shared ones.
    std::vector<ExtraOption> extra;
    // The arguments broke the option table: the usage was shown with the error.
    bool syntaxError = false;
    // The usage was asked for, and shown.
    bool helpAsked = false;
};

// Parses the arguments (the first is the program) into PatchSettings and `options`.
// A syntax error shows the usage and changes nothing; false then, and also when no
// positional parameter was given ("server", "list" and "admin" are then not read).
// A relative directory is taken from `workingDirectory`.
bool ParseCommandLine(const std::vector<std::wstring>& arguments, CommandLineOptions* options,
                      const std::wstring& workingDirectory = std::wstring());

// The most a server list file may hold; a longer one is not a server list.
constexpr std::uint64_t kMaxServerListBytes = 64 * 1024;
// Adds every line of the file as a patch server; false when it cannot be read, is empty
// or is longer than kMaxServerListBytes (then nothing is added).
bool ReadServerList(const std::string& path);

// A quoted directory ending in a backslash arrives as `dir\"`: the quote is dropped.
void RepairArguments(std::vector<std::wstring>* arguments);

// The parameters the elevated copy is started with, from the current settings; every
// value is quoted so that the copy's command line splits back into the same values.
std::wstring ElevationParameters();
// One argument of a Windows command line, quoted when it needs to be.
std::wstring QuoteArgument(const std::wstring& value);

// Where the usage text goes; standard error unless replaced (tests, the window).
void SetUsageOutput(void (*output)(const std::wstring& text));

}  // namespace BexoPatch
