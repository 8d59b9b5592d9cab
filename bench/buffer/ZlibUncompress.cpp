// Reference decompressor for the benchmarks: reads a compressed container with plain C
// stdio and zlib's uncompress, chunk by chunk, and writes the raw data to OUT.
// Usage: osmel_bench_zlib_uncompress IN OUT
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

bool Read32(std::FILE* in, std::uint32_t* value) {
    unsigned char b[4];
    if (std::fread(b, 1, 4, in) != 4) {
        return false;
    }
    *value = b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t{b[3]} << 24);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (in == nullptr || out == nullptr) {
        std::perror("open");
        return 1;
    }
    std::uint32_t count = 0;
    if (!Read32(in, &count)) {
        return 0;
    }
    std::vector<unsigned char> packed;
    std::vector<unsigned char> raw;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t packedLength = 0;
        std::uint32_t rawLength = 0;
        if (!Read32(in, &packedLength) || !Read32(in, &rawLength)) {
            return 1;
        }
        packed.resize(packedLength);
        raw.resize(rawLength);
        if (std::fread(packed.data(), 1, packedLength, in) != packedLength) {
            return 1;
        }
        uLongf produced = rawLength;
        if (uncompress(raw.data(), &produced, packed.data(), packedLength) != Z_OK ||
            produced != rawLength || std::fwrite(raw.data(), 1, rawLength, out) != rawLength) {
            return 1;
        }
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
