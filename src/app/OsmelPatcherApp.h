// The application object: start-up (command line, rights, the window, the run mode),
// exit (the on-exit program) and fatal exceptions.
#pragma once

#include <wx/wx.h>

#include <string>
#include <vector>

namespace BexoPatch {

// The command line's effect on the settings, separated from the application object so
// that it can be tested without a display. Returns false on a syntax error (nothing is
// changed then, and the usage is shown) and when no positional parameter was given.
struct CommandLineResult {
    bool syntaxError = false;
    bool help = false;
    bool admin = false;
    bool runOnExit = false;
    std::wstring onExitCommand;
};
bool ParseCommandLine(const std::vector<std::wstring>& arguments, CommandLineResult* result);

// Adds every line of the file as a server; false when it cannot be read or is empty.
bool ReadServerList(const std::string& path);

// Arguments ending in a backslash and a double quote lose the quote, as a quoted
// directory ending in a backslash arrives from the Windows shell.
void RepairArguments(std::vector<std::wstring>* arguments);

class OsmelPatcherApp : public wxApp {
public:
    bool OnInit() override;
    int OnExit() override;
    void OnFatalException() override;

private:
    void RunOnExitProgram();

    std::wstring m_onExitCommand;
    bool m_runOnExit = false;
    bool m_adminSwitch = false;
};

}  // namespace BexoPatch
