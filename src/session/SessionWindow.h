// The narrow view a patch session has of its window. The window implements it; every
// operation may be called from the session's thread, and the window carries it over to
// the GUI thread where a control is touched.
#pragma once

#include <cstdint>

namespace BexoPatch {

class SessionWindow {
public:
    SessionWindow() = default;
    SessionWindow(const SessionWindow&) = delete;
    SessionWindow& operator=(const SessionWindow&) = delete;
    virtual ~SessionWindow() = default;

    // The user has chosen to cancel or leave.
    virtual bool CancelRequested() const = 0;
    // The finished event (id 2) and the patch-installed event (id 16).
    virtual void PostSessionFinished() = 0;
    virtual void PostPatchInstalled() = 0;
    // Lets the user start again, after the product's files were found in use.
    virtual void EnableApplyButton() = 0;
    // Gauge updates, applied on the GUI thread in the order of the calls.
    virtual void SetProgressRange(std::int32_t range) = 0;
    virtual void SetProgressValue(std::int32_t value) = 0;
    // Shows PatchSettings' installation path again.
    virtual void ShowInstallPath() = 0;
    // Enters and at once leaves the window's session lock; the exiting session calls it.
    virtual void PassSessionLock() = 0;
};

// The one window of the process, or null; the window registers itself while it exists.
void SetSessionWindow(SessionWindow* window);
SessionWindow* GetSessionWindow();

}  // namespace BexoPatch
