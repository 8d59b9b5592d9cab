// osmel-patcher: the patch installer and repair client.
#include "app/OsmelPatcherApp.h"

wxIMPLEMENT_APP(BexoPatch::OsmelPatcherApp);
