// File names a POSIX file system takes and the patcher must reach exactly, one table for
// every layer's test: listings, summary keys, repair writes, packages, the engine, diff.
#pragma once

#include <string>
#include <vector>

namespace BexoPatch::testing {

// UTF-8 names. "caf?.txt" is what "café.txt" became through the narrow conversion: the
// two side by side catch a helper that acts on the wrong one.
inline std::vector<std::string> PosixFileNames() {
    return {
        "plain.txt",
        "caf\xC3\xA9.txt",
        "caf?.txt",
        "\xC3\xA9t\xC3\xA9.txt",
        "\xD0\x9A\xD0\xB5\xD0\xBB\xD1\x8C\xD0\xB2\xD0\xBE\xD1\x80.dat",
        "\xE4\xB8\xAD\xE6\x96\x87.txt",
        "a:b.txt",
        "star*.dat",
        "q\"<>|.txt",
        "trailing dot.",
        "trailing space ",
        "LICENSE",
        std::string(251, 'n') + ".txt",
    };
}

// A folder name in Cyrillic with an "é", for installations that are not in plain ASCII.
inline const char* const kUnusualFolder =
    "\xD0\x9A\xD0\xB5\xD0\xBB\xD1\x8C\xD0\xB2\xD0\xBE\xD1\x80 Jos\xC3\xA9";

}  // namespace BexoPatch::testing
