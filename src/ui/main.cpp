#include "kernel/SystemLog.h"
#include "ui/PatcherGuiApp.h"

namespace {

// A parent that wants the system log serves its pipe before this process starts; it is
// taken before the application object exists, so that no line goes elsewhere.
[[maybe_unused]] const bool g_systemLogRedirected = SystemLogRedirectStdout();

}  // namespace

wxIMPLEMENT_APP(BexoPatch::PatcherGuiApp);
