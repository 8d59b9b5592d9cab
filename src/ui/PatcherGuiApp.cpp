#include "ui/PatcherGuiApp.h"

#include "patch/PatchCallbacks.h"
#include "session/PatchThread.h"
#include "ui/PatchMainFrame.h"
#include "ui/Reporting.h"

namespace BexoPatch {

AppWindow* PatcherGuiApp::CreateMainWindow() {
    return new PatchMainFrame(this);
}

void PatcherGuiApp::RegisterReportingCallbacks() {
    SetPatchCallbacks(nullptr, ContinueQuery, PostLogLine);
}

}  // namespace BexoPatch
