// The difference files of kpatchl-w32.exe and osmel-mkpatch diff, of three kinds, told
// apart by their first bytes:
// - Prefix: one zstd frame of the new file, compressed with the old file as its prefix
//   ("patch-from"), long distance matching on and a window that spans both files, with
//   zstd's content checksum. Every difference made before the other kinds is one.
// - Whole and Matches: the "ODIF" header, then the new file compressed on its own, or
//   approximate matches against the old file (MatchDiff.h).
#pragma once

#include <string>

namespace Delta {

// Default compression level of MakeDiff: small differences matter more than speed.
constexpr int kDefaultLevel = 19;
// Files are limited to what one zstd window can span in a 64-bit process. A 32-bit
// process has a window half that size, which only costs matches, and refuses an old file
// it cannot hold in memory.
constexpr unsigned long long kMaxFileSize = 1ull << 31;

enum class Status {
    Ok,
    OldUnreadable,     // the old file cannot be opened or read
    DiffUnreadable,    // the difference file cannot be opened or read
    OutputUnwritable,  // the output file cannot be created or written
    Corrupt,           // the difference does not decode against this old file
};

enum class Kind {
    Prefix,
    Whole,
    Matches,
    // Matches on x86 code whose branch targets were made absolute over the whole file
    // first. It came out larger than plain matches; only made on request.
    BranchMatches,
    // Matches on files whose executable sections had their calls and RIP-relative
    // operands made absolute first (BranchFilter.h).
    CodeMatches,
};

// "prefix", "whole", "matches", "branch-matches" or "code-matches".
const char* KindName(Kind kind);

// Writes to diffPath the difference of that kind that turns oldPath into newPath. Errors
// name the file.
Status MakeDiff(const std::wstring& oldPath, const std::wstring& newPath,
                const std::wstring& diffPath, Kind kind, int level, std::string* error);

// Makes the prefix, matches (or code matches, whichever ranks smaller) and whole kinds
// and keeps the smallest at diffPath; *chosen tells which. On a tie the prefix kind wins,
// which older tools apply too.
Status MakeSmallestDiff(const std::wstring& oldPath, const std::wstring& newPath,
                        const std::wstring& diffPath, int level, Kind* chosen, std::string* error);

// Writes newPath from oldPath and a difference of any kind; on failure newPath is removed.
// A prefix difference needs the whole old file in memory; the others read it by offset
// and need a few tens of MiB at most. The output
// is not synced: the engine runs the tool for many files of one step, and a sync per file
// would cost more than the patching.
Status ApplyDiff(const std::wstring& oldPath, const std::wstring& diffPath,
                 const std::wstring& newPath, std::string* error);

}  // namespace Delta
