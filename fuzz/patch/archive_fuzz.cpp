// PatchArchive::Open on the input as a file (a header at offset 0 is at a multiple of
// 4096), then every directory walk: MatchingSourceBuilds, TargetFor, Extract.
#include "FuzzFiles.h"
#include "patch/PatchArchive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return FuzzFiles::QuietStdout();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring path = FuzzFiles::Write("archive.exe", data, size);
    PatchArchive archive;
    if (archive.Open(path) != BEXORESULT_OK) {
        return 0;
    }
    const std::filesystem::path install = FuzzFiles::Scratch() / "install";
    for (const std::string& build : archive.MatchingSourceBuilds(install.wstring())) {
        archive.TargetFor(build);
    }
    const std::optional<ArchiveHeader> header = archive.GetHeader();
    for (std::uint32_t i = 0; header && i < header->entryCount && i < 64; ++i) {
        ArchiveEntry entry;
        if (archive.ReadEntry(i, &entry) != BEXORESULT_OK) {
            break;
        }
        archive.TargetFor(entry.fromBuild);
        archive.Extract(entry.fromBuild, (FuzzFiles::Scratch() / "package.zip").wstring());
    }
    return 0;
}
