// osmel-mkbuilds: makes product builds and installations to patch, for tests,
// benchmarks and the demo.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BuildGenerator.h"
#include "UninstallLogWriter.h"
#include "platform/Files.h"

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

int Usage(const std::string& message) {
    std::fprintf(stderr, "osmel-mkbuilds: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "uninstall-log") {
        std::string error;
        if (!WriteUninstallLog(Platform::FromSystemPath(argv[2]), &error)) {
            std::fprintf(stderr, "osmel-mkbuilds: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (argc < 3 || std::string(argv[1]) != "chain") {
        return Usage("expected a command");
    }
    BuildChainOptions options;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        unsigned long long n = 0;
        if (i + 1 >= argc) {
            return Usage("missing value for " + arg);
        }
        const char* value = argv[++i];
        if (arg == "--builds") {
            options.builds.clear();
            std::string list = value;
            for (std::size_t start = 0; start <= list.size();) {
                const std::size_t comma = std::min(list.find(',', start), list.size());
                if (comma > start) {
                    options.builds.push_back(list.substr(start, comma - start));
                }
                start = comma + 1;
            }
        } else if (!Number(value, &n)) {
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
    if (!GenerateBuildChain(argv[2], options, &error)) {
        std::fprintf(stderr, "osmel-mkbuilds: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
