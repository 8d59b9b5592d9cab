// FileTreeSummary::Load over a checksum file ("repair.cks") from disk or an uploaded
// summary. Whatever it keeps must survive a save and a second load unchanged.
// Seeds: fuzz/repair/corpus/checksum_file.
#include <cstdint>
#include <cstdio>

#include "repair/FileTreeSummary.h"
#include "repair/buffer/BexoDataBuffer.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return std::freopen("/dev/null", "w", stdout) == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0xFFFFFu) {
        return 0;
    }
    BexoDataBufferMemoryDynamic file;
    if (file.WriteData(data, static_cast<std::uint32_t>(size)) != BEXORESULT_OK ||
        file.Seek(0) != BEXORESULT_OK) {
        return 0;
    }
    FileTreeSummary summary;
    summary.Load(&file);
    const FileTreeSummary::EntryMap kept = summary.Entries();

    BexoDataBufferMemoryDynamic saved;
    if (summary.Save(&saved) != BEXORESULT_OK || saved.Seek(0) != BEXORESULT_OK) {
        __builtin_trap();
    }
    FileTreeSummary again;
    if (again.Load(&saved) != BEXORESULT_OK) {
        __builtin_trap();
    }
    const FileTreeSummary::EntryMap reloaded = again.Entries();
    if (reloaded.size() != kept.size()) {
        __builtin_trap();
    }
    for (auto a = kept.begin(), b = reloaded.begin(); a != kept.end(); ++a, ++b) {
        if (a->first != b->first || a->second.checksum != b->second.checksum ||
            a->second.modificationTime != b->second.modificationTime) {
            __builtin_trap();
        }
    }
    return 0;
}
