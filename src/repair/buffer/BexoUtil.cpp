#include "repair/buffer/BexoUtil.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

#include "kernel/SystemLog.h"

#if OSMEL_INFLATE_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

// Each symbol of a deflate stream takes at least one bit, and a match, whose length and
// distance symbols are two of them, yields at most 258 bytes: no stream expands more
// than 1032 times its own length.
constexpr std::uint64_t kMaxExpansion = 1032;

// A heap area that grows to the largest size asked of it and is reused between chunks.
class Scratch {
public:
    std::uint8_t* Get(std::uint32_t size) {
        if (size > m_capacity || m_bytes == nullptr) {
            m_bytes.reset();
            m_capacity = 0;
            m_bytes.reset(new (std::nothrow) std::uint8_t[std::max<std::uint32_t>(size, 1)]);
            if (m_bytes == nullptr) {
                return nullptr;
            }
            m_capacity = size;
        }
        return m_bytes.get();
    }

private:
    std::unique_ptr<std::uint8_t[]> m_bytes;
    std::uint32_t m_capacity = 0;
};

// One zlib stream into exactly `rawLength` bytes of room. Returns the zlib code (Z_OK,
// Z_BUF_ERROR when the room is too small, Z_DATA_ERROR for damaged data) and the number
// of bytes produced.
class Inflater {
public:
    Inflater() = default;
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
#if OSMEL_INFLATE_WITH_LIBDEFLATE
    ~Inflater() {
        if (m_decompressor != nullptr) {
            libdeflate_free_decompressor(m_decompressor);
        }
    }

    int Inflate(const std::uint8_t* in, std::uint32_t inLength, std::uint8_t* out,
                std::uint32_t rawLength, std::uint32_t* produced) {
        *produced = 0;
        if (m_decompressor == nullptr) {
            m_decompressor = libdeflate_alloc_decompressor();
            if (m_decompressor == nullptr) {
                return Z_MEM_ERROR;
            }
        }
        std::size_t actual = 0;
        switch (libdeflate_zlib_decompress(m_decompressor, in, inLength, out, rawLength, &actual)) {
            case LIBDEFLATE_SUCCESS:
                *produced = static_cast<std::uint32_t>(actual);
                return Z_OK;
            case LIBDEFLATE_INSUFFICIENT_SPACE:
                // zlib fills the room before it gives up.
                *produced = rawLength;
                return Z_BUF_ERROR;
            default:
                return Z_DATA_ERROR;
        }
    }

private:
    libdeflate_decompressor* m_decompressor = nullptr;
#else
    ~Inflater() = default;

    static int Inflate(const std::uint8_t* in, std::uint32_t inLength, std::uint8_t* out,
                       std::uint32_t rawLength, std::uint32_t* produced) {
        uLongf outLength = rawLength;
        const int err = uncompress(out, &outLength, in, inLength);
        *produced = static_cast<std::uint32_t>(outLength);
        return err;
    }
#endif
};

BEXORESULT ReadU32(BexoDataBuffer* source, std::uint32_t* value) {
    std::uint8_t bytes[4];
    const BEXORESULT result = source->ReadData(bytes, sizeof bytes);
    if (result == BEXORESULT_OK) {
        *value = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
                 (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
    }
    return result;
}

BEXORESULT WriteU32(BexoDataBuffer* destination, std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return destination->WriteData(bytes, sizeof bytes);
}

// Reads a chunk's two lengths and refuses those that the source or deflate cannot back.
BEXORESULT ReadChunkHeader(BexoDataBuffer* source, std::uint32_t* compressedLength,
                           std::uint32_t* rawLength) {
    BEXORESULT result = ReadU32(source, compressedLength);
    if (result == BEXORESULT_OK) {
        result = ReadU32(source, rawLength);
    }
    if (result != BEXORESULT_OK) {
        SystemLog("BexoUtil::DecompressData> ReadData returned %d", result);
        return result;
    }
    const std::uint64_t size = source->GetSize();
    const std::uint64_t position = source->GetPosition();
    const std::uint64_t left = size > position ? size - position : 0;
    if (*compressedLength > left) {
        SystemLog("BexoUtil::DecompressData> chunk of %u compressed bytes, only %llu left",
                  *compressedLength, static_cast<unsigned long long>(left));
        return BEXORESULT_END_OF_DATA;
    }
    if (*rawLength > *compressedLength * kMaxExpansion) {
        SystemLog("BexoUtil::DecompressData> raw length %u cannot come from %u compressed bytes",
                  *rawLength, *compressedLength);
        return BEXORESULT_BAD_DATA;
    }
    return BEXORESULT_OK;
}

BEXORESULT DecompressChunk(BexoDataBuffer* destination, BexoDataBuffer* source, Inflater& inflater,
                           Scratch& input, Scratch& output) {
    std::uint32_t compressedLength = 0;
    std::uint32_t rawLength = 0;
    BEXORESULT result = ReadChunkHeader(source, &compressedLength, &rawLength);
    if (result != BEXORESULT_OK) {
        return result;
    }
    std::uint8_t* in = input.Get(compressedLength);
    std::uint8_t* out = output.Get(rawLength);
    if (in == nullptr || out == nullptr) {
        return BEXORESULT_OUT_OF_MEMORY;
    }
    result = source->ReadData(in, compressedLength);
    if (result != BEXORESULT_OK) {
        SystemLog("BexoUtil::DecompressData> ReadData returned %d", result);
        return result;
    }
    std::uint32_t produced = 0;
    const int err = inflater.Inflate(in, compressedLength, out, rawLength, &produced);
    if (err != Z_OK) {
        SystemLog("BexoUtil::DecompressData> err %d", err);
        SystemLog("BexoUtil::DecompressData> srcLen=%u, dstLen=%u, actualDstLen=%u",
                  compressedLength, rawLength, produced);
        return BEXORESULT_OUT_OF_MEMORY;
    }
    if (produced != rawLength) {
        return BEXORESULT_END_OF_DATA;
    }
    return destination->WriteData(out, rawLength);
}

BEXORESULT CompressChunk(BexoDataBuffer* destination, BexoDataBuffer* source,
                         std::uint32_t length) {
    const uLong bound = compressBound(length);
    std::unique_ptr<std::uint8_t[]> in(new (std::nothrow) std::uint8_t[length]);
    std::unique_ptr<std::uint8_t[]> out(new (std::nothrow) std::uint8_t[bound]);
    if (in == nullptr || out == nullptr) {
        SystemLog("BexoUtil::CompressData> Insufficient memory to allocate buffers");
        return BEXORESULT_OUT_OF_MEMORY;
    }
    BEXORESULT result = source->ReadData(in.get(), length);
    if (result != BEXORESULT_OK) {
        return result;
    }
    uLongf compressedLength = bound;
    const int err = compress(out.get(), &compressedLength, in.get(), length);
    if (err != Z_OK) {
        SystemLog("BexoUtil::CompressData> err %d", err);
        return BEXORESULT_OUT_OF_MEMORY;
    }
    result = WriteU32(destination, static_cast<std::uint32_t>(compressedLength));
    if (result == BEXORESULT_OK) {
        result = WriteU32(destination, length);
    }
    if (result == BEXORESULT_OK) {
        result = destination->WriteData(out.get(), static_cast<std::uint32_t>(compressedLength));
    }
    return result;
}

}  // namespace

namespace BexoUtil {

BEXORESULT DecompressData(BexoDataBuffer* destination, BexoDataBuffer* source) {
    std::uint32_t count = 0;
    if (ReadU32(source, &count) != BEXORESULT_OK) {
        count = 0;
    }
    Inflater inflater;
    Scratch input;
    Scratch output;
    BEXORESULT result = BEXORESULT_OK;
    for (std::uint32_t i = 0; i < count && result == BEXORESULT_OK; ++i) {
        result = DecompressChunk(destination, source, inflater, input, output);
    }
    return result;
}

BEXORESULT MeasureContainer(BexoDataBuffer* source, std::uint64_t* rawLength,
                            std::uint64_t* storedLength) {
    const std::uint64_t start = source->GetPosition();
    std::uint32_t count = 0;
    if (ReadU32(source, &count) != BEXORESULT_OK) {
        count = 0;
    }
    std::uint64_t total = 0;
    BEXORESULT result = BEXORESULT_OK;
    for (std::uint32_t i = 0; i < count && result == BEXORESULT_OK; ++i) {
        std::uint32_t compressedLength = 0;
        std::uint32_t chunkRawLength = 0;
        result = ReadChunkHeader(source, &compressedLength, &chunkRawLength);
        if (result == BEXORESULT_OK) {
            total += chunkRawLength;
            result = source->Seek(source->GetPosition() + compressedLength);
        }
    }
    const std::uint64_t end = source->GetPosition();
    const BEXORESULT restored = source->Seek(start);
    if (result == BEXORESULT_OK) {
        result = restored;
    }
    if (result == BEXORESULT_OK) {
        *rawLength = total;
        if (storedLength != nullptr) {
            *storedLength = end - start;
        }
    }
    return result;
}

BEXORESULT CompressData(BexoDataBuffer* destination, BexoDataBuffer* source,
                        std::uint32_t maxChunkSize) {
    maxChunkSize = std::clamp<std::uint32_t>(maxChunkSize, 1, kMaxChunkSize);
    const std::uint64_t start = destination->GetPosition();
    BEXORESULT result = WriteU32(destination, 0);
    std::uint32_t chunks = 0;
    while (result == BEXORESULT_OK && source->GetPosition() < source->GetSize()) {
        const auto length = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(source->GetSize() - source->GetPosition(), maxChunkSize));
        result = CompressChunk(destination, source, length);
        if (result == BEXORESULT_OK) {
            ++chunks;
        }
    }
    BEXORESULT patched = destination->Seek(start);
    if (patched == BEXORESULT_OK) {
        patched = WriteU32(destination, chunks);
    }
    const BEXORESULT ended = destination->Seek(destination->GetSize());
    if (result == BEXORESULT_OK) {
        result = patched != BEXORESULT_OK ? patched : ended;
    }
    return result;
}

}  // namespace BexoUtil
