#include "ui/PatcherGuiApp.h"

wxIMPLEMENT_APP(BexoPatch::PatcherGuiApp);
