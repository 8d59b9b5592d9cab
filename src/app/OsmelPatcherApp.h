// The application object: start-up, the command line, the rights check and elevation,
// the window and the run mode, and the program started on exit.
#pragma once

#include <wx/app.h>

#include <array>
#include <string>
#include <vector>

#include "app/AppWindow.h"
#include "app/CommandLine.h"
#include "app/Startup.h"
#include "kernel/MessageCatalogue.h"
#include "patch/StepJournal.h"

namespace BexoPatch {

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
    // What recovery found of a step cut off half-way, for the window's log.
    struct RecoveryResult {
        StepRecovery recovery = StepRecovery::kNone;
        std::wstring report;
    };

    // The steps of OnInit, in their order.
    // Crash handlers, the fatal-exception guard, the socket manager, the parser's output.
    void InstallProcessGuards();
    // Parses the command line into PatchSettings and `options`; the installation from the
    // registry when none was named. Returns the arguments.
    std::vector<std::wstring> ReadCommandLine();
    // Finishes or undoes a patch step that was cut off, before anything reads the files.
    RecoveryResult FinishInterruptedStep();
    // Replaces the program argument by the executable's path and makes its directory the
    // working directory.
    void MoveToProgramDirectory(std::vector<std::wstring>* arguments);
    // The rights check: false when this process must end (refused, or an elevated copy
    // ran instead).
    bool MayPatch();
    // The clean-up of a start that ends in OnInit.
    void RefuseStart();
    // The main window, its log callbacks, and the lines start-up kept for it.
    void OpenWindow(const RecoveryResult& recovery);
    // Standalone when the appended archive applies; otherwise a session starts at once
    // in download and repair modes, and without a mode the window says so. After a
    // recovery that failed, nothing but a repair starts.
    void ChooseRunMode(const std::wstring& executablePath, StepRecovery recovery);

    void OnClearRunOnExit(wxCommandEvent& event);

    CommandLineOptions options;
    std::array<wchar_t, kMessageBufferUnits> messageText{};
    std::array<wchar_t, kMessageBufferUnits> messageCaption{};

    wxDECLARE_EVENT_TABLE();
};

}  // namespace BexoPatch
