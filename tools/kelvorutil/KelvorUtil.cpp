// KelvorUtil.exe, the test double of the product's utility tool, installed as
// bin/KelvorUtil.exe in test and demo installations. It does what the patcher relies
// on and nothing more:
//
//   KelvorUtil.exe listbuilds "<list path>"    writes the build list ("41590,41600,")
//   KelvorUtil.exe repairdatabase patcher      attaches to the asset database lock and
//                                              prints progress lines for a while
//   KelvorUtil.exe hold [exclusive]            attaches to the asset database lock as
//                                              the simulator does and holds it until
//                                              it is ended; "exclusive" also takes the
//                                              database for itself
//
// bin/KelvorUtil.cfg, when present, sets it up, one key=value per line:
//   builds=41590,41600,     the text listbuilds writes (default: empty)
//   repairseconds=2         how long repairdatabase runs (default 2)
//   repairlines=10          how many progress lines it prints (default 10)
//   exitcode=0              the exit status of listbuilds and repairdatabase
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "assetdb/AssetDbLock.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/System.h"
#include "platform/Utf8.h"

namespace {

struct Setup {
    std::string builds;
    double repairSeconds = 2;
    int repairLines = 10;
    int exitCode = 0;
};

Setup ReadSetup(const std::filesystem::path& binDirectory) {
    Setup setup;
    std::ifstream file(binDirectory / "KelvorUtil.cfg");
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "builds") {
            setup.builds = value;
        } else if (key == "repairseconds") {
            setup.repairSeconds = std::strtod(value.c_str(), nullptr);
        } else if (key == "repairlines") {
            setup.repairLines = std::max(1, std::atoi(value.c_str()));
        } else if (key == "exitcode") {
            setup.exitCode = std::atoi(value.c_str());
        }
    }
    return setup;
}

// Straight to standard output, without the C runtime's line-end translation: the same
// bytes on every platform.
void Say(const std::string& text) {
    Platform::WriteStdout(text.data(), text.size());
}

// The database path as the product's programs build it: narrow text in internal form.
std::string DatabasePath(const std::filesystem::path& installDirectory) {
    return NarrowFileSystemPath(
        Platform::FromSystemPath((installDirectory / "assets.tdx").string()));
}

int ListBuilds(const Setup& setup, const std::string& listPath) {
    // The path arrives as a Windows program would get it.
    const std::string path = Platform::ToSystemPath(Platform::DecodeUtf8(listPath));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << setup.builds;
    out.close();
    if (!out) {
        Say("KelvorUtil: cannot write " + path + "\n");
        return 1;
    }
    return setup.exitCode;
}

int RepairDatabase(const Setup& setup, const std::filesystem::path& installDirectory) {
    if (!AssetDbOpen(DatabasePath(installDirectory), true)) {
        Say("The asset database is in use by another program.\n");
        return 2;
    }
    Say("Repairing the Kelvor asset database.\n");
    const auto pause =
        static_cast<Platform::DWORD>(setup.repairSeconds * 1000.0 / setup.repairLines);
    for (int i = 1; i <= setup.repairLines; ++i) {
        Platform::Sleep(pause);
        Say("Checked " + std::to_string(i * 100 / setup.repairLines) + "% of the assets.\n");
    }
    Say("The asset database is up to date.\n");
    AssetDbClose();
    return setup.exitCode;
}

int Hold(const std::filesystem::path& installDirectory, bool exclusive) {
    if (!AssetDbOpen(DatabasePath(installDirectory), false) ||
        (exclusive && !AssetDbTryTakeExclusive())) {
        Say("The asset database is in use by another program.\n");
        return 2;
    }
    Say("holding\n");
    for (;;) {
        Platform::Sleep(60000);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path binDirectory = std::filesystem::absolute(argv[0]).parent_path();
    const std::filesystem::path installDirectory = binDirectory.parent_path();
    const Setup setup = ReadSetup(binDirectory);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "listbuilds" && argc == 3) {
        return ListBuilds(setup, argv[2]);
    }
    if (command == "repairdatabase" && argc == 3 && std::string(argv[2]) == "patcher") {
        return RepairDatabase(setup, installDirectory);
    }
    if (command == "hold" && (argc == 2 || (argc == 3 && std::string(argv[2]) == "exclusive"))) {
        return Hold(installDirectory, argc == 3);
    }
    Say("usage: KelvorUtil.exe listbuilds \"<path>\" | repairdatabase patcher | hold "
        "[exclusive]\n");
    return 1;
}
