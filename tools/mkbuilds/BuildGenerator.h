// Deterministic product builds: a first build of generated files, then each later build
// made from the one before it by small edits to some files (as a recompiled binary or a
// reworked asset changes), a few files deleted and a few added. The same seed gives the
// same bytes on every machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct BuildChainOptions {
    std::vector<std::string> builds{"41590", "41600", "41610"};
    std::size_t files = 300;
    std::uint64_t totalBytes = 200ull << 20;
    // Percent of the files changed, deleted and added per step.
    unsigned changedPercent = 10;
    unsigned deletedPercent = 2;
    unsigned addedPercent = 2;
    std::uint64_t seed = 1;
};

// Writes OUT/<build>/ for every build. Returns false with a message on failure.
bool GenerateBuildChain(const std::filesystem::path& out, const BuildChainOptions& options,
                        std::string* error);
