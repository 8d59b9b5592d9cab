// The application object: start-up, the command line, the rights check and elevation,
// the window and the run mode, and the program started on exit.
#pragma once

#include <wx/app.h>

#include <array>
#include <string>

#include "app/AppWindow.h"
#include "app/CommandLine.h"
#include "kernel/MessageCatalogue.h"

namespace BexoPatch {

// Whether this process may patch the installation in the directory: the product key
// is writable, the temporary directory exists, and the product is not running.
bool HasPatchRights(const std::wstring& directory);

// A message box with an OK button and no owner; tests replace it.
void ShowMessageBox(const std::wstring& text, const std::wstring& caption);
void SetMessageBoxHandler(void (*handler)(const std::wstring& text, const std::wstring& caption));

class OsmelPatcherApp : public wxApp {
public:
    bool OnInit() override;
    int OnExit() override;
    void OnFatalException() override;

    // Starts the on-exit program, if one was asked for, and waits for it up to a second.
    void RunOnExitProgram();
    // True when this process must end: an elevated copy ran, or could not be started.
    bool ElevateIfNeeded();

    const CommandLineOptions& Options() const { return options; }

protected:
    // The window layer builds the main window and names its log callback.
    virtual AppWindow* CreateMainWindow() = 0;
    virtual void RegisterReportingCallbacks() = 0;

private:
    void OnClearRunOnExit(wxCommandEvent& event);

    CommandLineOptions options;
    std::array<wchar_t, kMessageBufferUnits> messageText{};
    std::array<wchar_t, kMessageBufferUnits> messageCaption{};

    wxDECLARE_EVENT_TABLE();
};

}  // namespace BexoPatch
