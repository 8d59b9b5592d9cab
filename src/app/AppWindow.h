// What start-up and installation discovery need of the main window; the window layer
// implements it and registers the one window while it exists. Every call is made on the
// GUI thread.
#pragma once

#include <string>

namespace BexoPatch {

class AppWindow {
public:
    AppWindow() = default;
    AppWindow(const AppWindow&) = delete;
    AppWindow& operator=(const AppWindow&) = delete;
    virtual ~AppWindow() = default;

    virtual void ShowAsTopWindow() = 0;
    virtual void RefreshInstallPath() = 0;
    virtual void StopRefreshTimer() = 0;
    // As if "Apply Update" had been pressed.
    virtual void StartSessionNow() = 0;
    virtual void DisableApplyButton() = 0;
    // A local patch is ready: "Apply Update" may be pressed.
    virtual void ReadyToApply() = 0;
    virtual void EnableBrowseButton() = 0;
    // The locate dialog for the product's executable; false when the user cancels.
    virtual bool LocateProductExecutable(std::wstring* chosenPath) = 0;
};

void SetAppWindow(AppWindow* window);
AppWindow* GetAppWindow();

}  // namespace BexoPatch
