// The compressed container: a 4-byte chunk count, then per chunk its compressed length,
// its raw length (4 bytes each, little-endian) and one complete zlib stream. Packages and
// repair segments carry their data in it.
#pragma once

#include <cstdint>

#include "repair/buffer/BexoDataBuffer.h"

namespace BexoUtil {

// The largest chunk the producer cuts; a reader accepts any chunk size.
constexpr std::uint32_t kMaxChunkSize = 0x10000000;

// Reads one container from the source's position and appends the raw bytes at the
// destination's position, one chunk at a time: memory holds the largest chunk's
// compressed and raw bytes, never the whole data. Bytes of earlier chunks stay written
// when a later chunk fails. The source must know its size (file and memory buffers do):
// a chunk that claims more compressed bytes than the source still holds (END_OF_DATA), or
// more raw bytes than a zlib stream of that length can produce (BAD_DATA), is refused
// before anything is allocated for it. A damaged stream gives OUT_OF_MEMORY, a stream
// shorter than announced END_OF_DATA; each failure writes system log lines.
BEXORESULT DecompressData(BexoDataBuffer* destination, BexoDataBuffer* source);

// Walks the chunk headers of the container at the source's position without decompressing
// and tells the total raw length and the container's own length, leaving the source where
// it was. Fails with the code DecompressData would give for a truncated container or an
// impossible raw length.
BEXORESULT MeasureContainer(BexoDataBuffer* source, std::uint64_t* rawLength,
                            std::uint64_t* storedLength = nullptr);

// Compresses the source from its position to its end into one container written at the
// destination's position, in chunks of at most maxChunkSize bytes, and leaves the
// destination positioned at its end.
BEXORESULT CompressData(BexoDataBuffer* destination, BexoDataBuffer* source,
                        std::uint32_t maxChunkSize = kMaxChunkSize);

}  // namespace BexoUtil
