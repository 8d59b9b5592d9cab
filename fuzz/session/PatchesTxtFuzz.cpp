// PatchDirectory::ParsePatchList over a "patches.txt" from a server.
// Seeds: fuzz/session/corpus/patches_txt.
#include <cstdint>
#include <cstdio>

#include "session/PatchDiscovery.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refused records write system log lines to standard output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0xFFFFFu) {
        return 0;
    }
    BexoDataBufferMemoryDynamic list;
    if (list.WriteData(data, static_cast<std::uint32_t>(size)) != BEXORESULT_OK ||
        list.Seek(0) != BEXORESULT_OK) {
        return 0;
    }
    BexoPatch::PatchDirectory directory;
    const bool accepted = directory.ParsePatchList(&list, L"http://server/base");
    // Accepted means an entry exists, and every entry has its required fields and a
    // target that cannot name another directory.
    if (accepted != !directory.Patches().empty()) {
        __builtin_trap();
    }
    for (const auto& [source, entry] : directory.Patches()) {
        if (source.empty() || entry.targetVersion.empty() || entry.exeUrl.empty() ||
            entry.dataUrl.empty() || entry.targetVersion.find('/') != std::string::npos ||
            entry.targetVersion == "..") {
            __builtin_trap();
        }
    }
    return 0;
}
