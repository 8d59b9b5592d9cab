// The "matches" difference: the new file as a sequence of (add, copy, seek) steps over
// the old file. add bytes are old bytes plus a difference byte each; copy bytes come
// whole from the difference; seek moves the place in the old file. Matches are found on
// a suffix array of the old file and extended both ways while most bytes agree, so code
// whose addresses all shifted still turns into differences that are mostly zeros. The
// control, difference and copied bytes are three streams, each compressed on its own.
// Optionally both files' executable sections pass through the code filter first
// (CodeMatches, BranchFilter.h).
//
// Layout (little-endian), after the 48-byte header:
//   "ODIF", kind (1 whole file, 2 matches), flags (bit 0: the first branch filter over
//   the whole file; bit 1: the code filter, whose ranges follow the header; bit 2: the
//   code is x86-64), codec (0: zstd frames, the first differences of this format;
//   1: raw LZMA2), a zero byte, old size (8), new size (8), CRC-32 of the new file (4),
//   the LZMA2 dictionary size of each stream as a power of two (3, else zeros), a zero
//   byte, control stream size (8), difference stream size (8); with bit 1 the code
//   ranges [start, end) of the old and the new file (4 x 8); then the control,
//   difference and copied streams. A whole-file difference is the header and one stream
//   of the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BranchFilter.h"
#include "DeltaCodec.h"

class BexoDataBufferFile;

namespace Delta {

constexpr std::size_t kHeaderSize = 48;

// Whether the bytes start the header of this format.
bool IsMatchFormat(const std::uint8_t* data, std::size_t size);

// Writes the difference of kind Matches, CodeMatches, BranchMatches or Whole from the
// files' contents.
Status WriteMatchDiff(const std::vector<std::uint8_t>& oldData,
                      const std::vector<std::uint8_t>& newData, Kind kind, int level,
                      const std::wstring& diffPath, std::string* error);

// A Matches or CodeMatches difference whose streams are made but not compressed yet.
struct MatchPlan {
    Kind kind = Kind::Matches;
    std::uint8_t flags = 0;
    CodeRange oldCode;
    CodeRange newCode;
    std::vector<std::uint8_t> control;
    std::vector<std::uint8_t> difference;
    std::vector<std::uint8_t> copied;
    // The streams' size at a fast zstd level: ranks plans and kinds before the slow
    // compressor runs.
    std::size_t quickSize = 0;
};

// The Matches plan or, where both files hold x86 code and it ranks smaller, the
// CodeMatches one.
Status PlanBestMatches(const std::vector<std::uint8_t>& oldData,
                       const std::vector<std::uint8_t>& newData, MatchPlan* plan,
                       std::string* error);

// Compresses a plan's streams into a difference file.
Status WriteMatchPlan(const std::vector<std::uint8_t>& oldData,
                      const std::vector<std::uint8_t>& newData, const MatchPlan& plan, int level,
                      const std::wstring& diffPath, std::string* error);

// Applies such a difference, reading the old file by offset and writing the new one as
// it goes: memory stays within a few MiB plus the three decoders' windows (at most
// 16 MiB each). diff is open at offset 0.
Status ApplyMatchDiff(const std::wstring& oldPath, BexoDataBufferFile& diff,
                      const std::wstring& diffPath, const std::wstring& newPath,
                      std::string* error);

}  // namespace Delta
