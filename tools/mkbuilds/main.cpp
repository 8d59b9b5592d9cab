// osmel-mkbuilds: makes product builds and installations to patch, for tests,
// benchmarks and the demo.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BuildGenerator.h"
#include "UninstallLogWriter.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace {

const char kUsage[] =
    "usage: osmel-mkbuilds chain OUT [options]\n"
    "       osmel-mkbuilds uninstall-log INSTALLDIR\n"
    "\n"
    "chain writes OUT/<build>/ for each build: the first generated, each later one made\n"
    "from the one before by small edits, deletions and additions. Options:\n"
    "  --builds A,B,...   build numbers (default 41590,41600,41610)\n"
    "  --files N          files in the first build (default 300)\n"
    "  --size-mib N       bytes in the first build (default 200)\n"
    "  --changed P        percent of files edited per step (default 10)\n"
    "  --deleted P        percent deleted per step (default 2)\n"
    "  --added P          percent added per step (default 2)\n"
    "  --seed N           the same seed gives the same bytes (default 1)\n"
    "uninstall-log writes INSTALLDIR/unins000.dat naming every file, as setup does.\n";

bool Number(const char* text, unsigned long long* value) {
    char* end = nullptr;
    *value = std::strtoull(text, &end, 10);
    return end != text && *end == '\0';
}

// The arguments are UTF-8 on every system; a narrow path would be the ANSI code page's
// on Windows.
std::filesystem::path Utf8Path(const std::string& text) {
    return std::u8string(text.begin(), text.end());
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "osmel-mkbuilds: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = Platform::GetCommandLineArguments(argc, argv);
    if (args.size() >= 2 && (args[1] == "--help" || args[1] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.size() == 3 && args[1] == "uninstall-log") {
        std::string error;
        if (!WriteUninstallLog(Platform::FromSystemPath(args[2]), &error)) {
            std::fprintf(stderr, "osmel-mkbuilds: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (args.size() < 3 || args[1] != "chain") {
        return Usage("expected a command");
    }
    BuildChainOptions options;
    for (std::size_t i = 3; i < args.size(); ++i) {
        const std::string& arg = args[i];
        unsigned long long n = 0;
        if (i + 1 >= args.size()) {
            return Usage("missing value for " + arg);
        }
        const std::string& value = args[++i];
        if (arg == "--builds") {
            options.builds.clear();
            for (std::size_t start = 0; start <= value.size();) {
                const std::size_t comma = std::min(value.find(',', start), value.size());
                if (comma > start) {
                    options.builds.push_back(value.substr(start, comma - start));
                }
                start = comma + 1;
            }
        } else if (!Number(value.c_str(), &n)) {
            return Usage(arg + " needs a number");
        } else if (arg == "--files") {
            options.files = n;
        } else if (arg == "--size-mib") {
            options.totalBytes = n << 20;
        } else if (arg == "--changed") {
            options.changedPercent = static_cast<unsigned>(n);
        } else if (arg == "--deleted") {
            options.deletedPercent = static_cast<unsigned>(n);
        } else if (arg == "--added") {
            options.addedPercent = static_cast<unsigned>(n);
        } else if (arg == "--seed") {
            options.seed = n;
        } else {
            return Usage("unknown option " + arg);
        }
    }
    std::string error;
    if (!GenerateBuildChain(Utf8Path(args[2]), options, &error)) {
        std::fprintf(stderr, "osmel-mkbuilds: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
