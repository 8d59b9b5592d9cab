// The "matches" difference: the new file as a sequence of (add, copy, seek) steps over
// the old file. add bytes are old bytes plus a difference byte each; copy bytes come
// whole from the difference; seek moves the place in the old file. Matches are found on
// a suffix array of the old file and extended both ways while most bytes agree, so code
// whose addresses all shifted still turns into differences that are mostly zeros. The
// control, difference and copied bytes are three zstd frames, each compressed on its
// own. Optionally both files pass through the x86 branch filter first (BranchMatches).
//
// Layout (little-endian), after the 48-byte header:
//   "ODIF", kind (1 whole file, 2 matches), flags (bit 0: branch filter), 2 zero bytes,
//   old size (8), new size (8), CRC-32 of the new file (4), 4 zero bytes,
//   control frame size (8), difference frame size (8), then the control, difference
//   and copied frames. A whole-file difference is the header and one frame of the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeltaCodec.h"

class BexoDataBufferFile;

namespace Delta {

constexpr std::size_t kHeaderSize = 48;

// Whether the bytes start the header of this format.
bool IsMatchFormat(const std::uint8_t* data, std::size_t size);

// Writes the difference of kind Matches, BranchMatches or Whole from the files' contents.
Status WriteMatchDiff(const std::vector<std::uint8_t>& oldData,
                      const std::vector<std::uint8_t>& newData, Kind kind, int level,
                      const std::wstring& diffPath, std::string* error);

// Applies such a difference, reading the old file by offset and writing the new one as
// it goes: memory stays within a few MiB plus the three decoders' windows (at most
// 16 MiB each). diff is open at offset 0.
Status ApplyMatchDiff(const std::wstring& oldPath, BexoDataBufferFile& diff,
                      const std::wstring& diffPath, const std::wstring& newPath,
                      std::string* error);

}  // namespace Delta
