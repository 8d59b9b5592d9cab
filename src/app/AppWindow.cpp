#include "app/AppWindow.h"

namespace BexoPatch {

namespace {

// Set and read on the GUI thread only.
AppWindow* g_appWindow = nullptr;

}  // namespace

void SetAppWindow(AppWindow* window) {
    g_appWindow = window;
}

AppWindow* GetAppWindow() {
    return g_appWindow;
}

}  // namespace BexoPatch
