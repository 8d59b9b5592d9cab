// What a patch session needs from the main window: the log goes through the process-wide
// log callback; everything else crosses here. The window implements it; tests fake it.
// Every call may come from the session thread; the window applies them on its own thread
// in the order they were made.
#pragma once

#include <string>

#include "assetdb/AssetDbWindow.h"

class SessionWindow : public AssetDbWindow {
public:
    // The session has ended: "Cancel" becomes "Exit".
    virtual void PostSessionFinished() = 0;
    // One patch step was installed.
    virtual void PostPatchInstalled() = 0;
    // Lets the user retry after closing the product.
    virtual void EnableApplyButton() = 0;
    // A message box with an OK button; returns once it is queued, not when it is closed.
    virtual void ShowMessage(const std::wstring& text, const std::wstring& caption) = 0;
};
