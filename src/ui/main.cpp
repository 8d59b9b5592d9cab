#include <cstdio>
#include <cstring>
#include <string>

#include "app/CommandLine.h"
#include "kernel/ProgramVersion.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "platform/Shell.h"
#include "ui/PatcherGuiApp.h"

namespace {

// A parent that wants the system log serves its pipe before this process starts; it is
// taken before the application object exists, so that no line goes elsewhere.
[[maybe_unused]] const bool g_systemLogRedirected = SystemLogRedirectStdout();

void UsageToStandardOutput(const std::wstring& text) {
    std::fputs(WideToUtf8(text).c_str(), stdout);
}

}  // namespace

#ifdef _WIN32
wxIMPLEMENT_APP(BexoPatch::PatcherGuiApp);
#else
wxIMPLEMENT_APP_NO_MAIN(BexoPatch::PatcherGuiApp);

// "--version" or "--help" alone is a question from a terminal, a package tool or
// help2man: answered before the window library starts, so that it needs no display.
int main(int argc, char** argv) {
    // An elevated copy takes back its first process's directory and settings (the display
    // among them) before the toolkit or the command line parser sees anything.
    Platform::AdoptElevatedStart(&argc, argv);
    if (AsksForVersion(argc, argv)) {
        return PrintVersion("osmel-patcher");
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        BexoPatch::SetUsageOutput(UsageToStandardOutput);
        BexoPatch::CommandLineOptions options;
        BexoPatch::ParseCommandLine({L"osmel-patcher", L"--help"}, &options);
        return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
    }
    return wxEntry(argc, argv);
}
#endif
