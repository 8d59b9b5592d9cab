// The application object with its window: OsmelPatcherApp with the patcher's main frame
// and the window's reporting callbacks.
#pragma once

#include "app/OsmelPatcherApp.h"

namespace BexoPatch {

class PatcherGuiApp : public OsmelPatcherApp {
protected:
    AppWindow* CreateMainWindow() override;
    void RegisterReportingCallbacks() override;
};

}  // namespace BexoPatch
