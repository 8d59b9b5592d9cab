// summary: the checksum file of a tree, as the repair client would write it.
#include <algorithm>
#include <cstdio>

#include "Commands.h"
#include "OutputFile.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "platform/Files.h"
#include "repair/FileTreeSummary.h"

namespace Mkpatch {

int RunSummary(const Args& args) {
    std::string directory;
    std::string output;
    bool fresh = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--fresh") {
            fresh = true;
        } else if (args[i] == "-o") {
            if (i + 1 == args.size()) {
                return UsageError("summary", "-o needs a FILE");
            }
            output = args[++i];
        } else if (directory.empty()) {
            directory = args[i];
        } else {
            return UsageError("summary", "unexpected argument '" + args[i] + "'");
        }
    }
    if (directory.empty()) {
        return UsageError("summary", "no DIR given");
    }
    const std::wstring root = Platform::FromSystemPath(directory);
    if (!IsDirectory(root)) {
        Error("summary", "'" + directory + "' is not a directory");
        return kExitFailed;
    }
    const std::wstring file =
        output.empty() ? JoinPath(root, L"repair.cks") : Platform::FromSystemPath(output);
    // The checksum file and the per-machine uninstaller files never describe the product.
    SummaryPatternSet exclusions{L"repair.cks", L"repair.cks.tmp", L"unins000.exe",
                                 L"unins000.dat"};
    const std::wstring inside = RelativePath(file, root);
    if (inside.size() < file.size()) {
        exclusions.insert(inside);
    }
    FileTreeSummary summary;
    // As the repair client does: checksums of files whose time has not changed are taken
    // from the existing file instead of being computed again.
    BexoDataBufferMemoryDynamic previous;
    if (!fresh) {
        BexoDataBufferFile existing(file, BexoDataBufferFile::kModeRead);
        if (existing.IsOpen() && CopyRemainingData(&previous, &existing) == BEXORESULT_OK) {
            previous.Seek(0);
            summary.Load(&previous);
        }
    }
    summary.Scan(root, exclusions);
    BexoDataBufferMemoryDynamic current;
    summary.Save(&current);
    const std::string shown = output.empty() ? directory + "/repair.cks" : output;
    // An unchanged file is not rewritten: nothing to sync, and its time stays.
    if (!fresh && current.GetSize() == previous.GetSize() &&
        std::equal(current.GetData(), current.GetData() + current.GetSize(), previous.GetData())) {
        std::fprintf(stderr, "osmel-mkpatch summary: %zu segments, %s unchanged\n", summary.Count(),
                     shown.c_str());
        return kExitOk;
    }
    OutputFile out(file);
    current.Seek(0);
    if (!out.IsOpen() || CopyRemainingData(out.Buffer(), &current) != BEXORESULT_OK ||
        !out.Commit()) {
        Error("summary", "cannot write '" + WideToUtf8(file) + "'");
        return kExitFailed;
    }
    std::fprintf(stderr, "osmel-mkpatch summary: %zu segments written to %s\n", summary.Count(),
                 shown.c_str());
    return kExitOk;
}

}  // namespace Mkpatch
