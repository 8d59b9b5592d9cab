// ParsePatchList of the input: every accepted path stays inside the installation.
#include <cstdlib>
#include <string>
#include <vector>

#include "patch/PatchList.h"
#include "patch/SafePath.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<PatchListEntry> entries;
    std::string error;
    if (ParsePatchList(text, &entries, &error) == BEXORESULT_OK) {
        for (const PatchListEntry& entry : entries) {
            if (!IsContainedRelativePath(entry.path)) {
                std::abort();
            }
        }
    }
    return 0;
}
