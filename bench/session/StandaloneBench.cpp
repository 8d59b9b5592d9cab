// Runs one standalone session over a fixture made by scripts/standalone-fixture.sh: the
// installation in FIXTURE/install is brought to the last build by the patcher's appended
// steps, through the session thread, with a window that draws nothing. Prints the
// session's wall time in seconds and the number of steps applied.
// Usage: osmel_bench_standalone FIXTURE_DIR
#include <wx/init.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "QuietWindow.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "patch/PatchArchive.h"
#include "session/PatchThread.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: osmel_bench_standalone FIXTURE_DIR\n");
        return 2;
    }
    const std::string fixture = argv[1];
    if (!wxInitialize()) {
        return 1;
    }
    BexoPatch::PatchSettings& settings = BexoPatch::PatchSettings::Instance();
    settings.SetInstallPath(Utf8ToWide(fixture + "/install"));
    if (StandaloneArchive().Open(Utf8ToWide(fixture + "/patcher")) != BEXORESULT_OK) {
        std::fprintf(stderr, "no archive in %s/patcher\n", fixture.c_str());
        return 1;
    }
    for (const std::string& build :
         StandaloneArchive().MatchingSourceBuilds(settings.GetInstallPath())) {
        settings.PushBuild(build);
    }
    settings.SetStandaloneMode(true);

    QuietWindow window;
    const auto start = std::chrono::steady_clock::now();
    {
        BexoPatch::PatchThread session(&window);
        if (session.Create() != wxTHREAD_NO_ERROR || session.Run() != wxTHREAD_NO_ERROR) {
            return 1;
        }
        session.Wait(wxTHREAD_WAIT_BLOCK);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    StandaloneArchive().Close();
    wxUninitialize();
    std::printf("%.3f %d\n", seconds, window.installed);
    return window.installed > 0 ? 0 : 1;
}
