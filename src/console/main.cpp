#include <wx/init.h>

#include <cstdio>

#include "console/UpdateCommand.h"

int main(int argc, char** argv) {
    // wxBase alone: threads and the command-line parser, no display.
    wxInitializer wx;
    if (!wx.IsOk()) {
        std::fputs("osmel-update: wxWidgets could not be initialised.\n", stderr);
        return 1;
    }
    return BexoPatch::RunUpdateCommand(argc, argv);
}
