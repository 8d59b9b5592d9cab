#include "patch/MD5.h"

#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/Text.h"
#include "platform/Files.h"

namespace {

// Large pieces keep the stream's reads few; the digest does not depend on them.
constexpr std::size_t kReadPiece = 1 << 16;

// The four round functions, written so that the compiler can overlap their terms.
inline void FF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               int s, std::uint32_t t) {
    a += (d ^ (b & (c ^ d))) + x + t;
    a = std::rotl(a, s) + b;
}
inline void GG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               int s, std::uint32_t t) {
    a += (c & ~d) + x + t;
    a += b & d;
    a = std::rotl(a, s) + b;
}
inline void HH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               int s, std::uint32_t t) {
    a += (b ^ c ^ d) + x + t;
    a = std::rotl(a, s) + b;
}
inline void II(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               int s, std::uint32_t t) {
    a += (c ^ (b | ~d)) + x + t;
    a = std::rotl(a, s) + b;
}

void Complain(const char* text) {
    std::fputs(text, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace

MD5::MD5()
    : state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u},
      count{0, 0},
      buffer{},
      digest{},
      finalized(false) {}

MD5::MD5(std::FILE* stream) : MD5() {
    update(stream);
    finalize();
}

void MD5::update(const unsigned char* input, std::uint32_t length) {
    if (finalized) {
        Complain("MD5::update:  Can't update a finalized digest!");
        return;
    }
    const std::uint32_t index = (count[0] >> 3) & 0x3F;
    const std::uint32_t bits = length << 3;
    count[0] += bits;
    if (count[0] < bits) {
        ++count[1];
    }
    count[1] += length >> 29;

    std::uint32_t used = 0;
    if (index != 0) {
        const std::uint32_t fill = 64 - index;
        if (length < fill) {
            std::memcpy(buffer + index, input, length);
            return;
        }
        std::memcpy(buffer + index, input, fill);
        transform(buffer);
        used = fill;
    }
    for (; used + 64 <= length; used += 64) {
        transform(input + used);
    }
    std::memcpy(buffer, input + used, length - used);
}

void MD5::update(std::FILE* stream) {
    std::vector<unsigned char> piece(kReadPiece);
    for (;;) {
        const std::size_t n = Platform::ReadFileStream(stream, piece.data(), piece.size());
        if (n == 0) {
            break;
        }
        update(piece.data(), static_cast<std::uint32_t>(n));
    }
    std::fclose(stream);
}

void MD5::finalize() {
    if (finalized) {
        Complain("MD5::finalize:  Already finalized this digest!");
        return;
    }
    unsigned char bitCount[8];
    StoreLittleEndian<std::uint32_t>(bitCount, count[0]);
    StoreLittleEndian<std::uint32_t>(bitCount + 4, count[1]);
    const std::uint32_t index = (count[0] >> 3) & 0x3F;
    const std::uint32_t padding = index < 56 ? 56 - index : 120 - index;
    static const unsigned char kPadding[64] = {0x80};
    update(kPadding, padding);
    update(bitCount, 8);
    for (int i = 0; i < 4; ++i) {
        StoreLittleEndian<std::uint32_t>(digest + 4 * i, state[i]);
    }
    std::memset(buffer, 0, sizeof buffer);
    finalized = true;
}

std::unique_ptr<char[]> MD5::hex_digest() const {
    auto text = std::make_unique<char[]>(33);
    if (!finalized) {
        Complain("MD5::hex_digest:  Can't get digest if you haven't finalized the digest!");
        return text;
    }
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    text[32] = '\0';
    return text;
}

void MD5::transform(const unsigned char block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = LoadLittleEndian<std::uint32_t>(block + 4 * i);
    }
    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];

    FF(a, b, c, d, x[0], 7, 0xd76aa478);
    FF(d, a, b, c, x[1], 12, 0xe8c7b756);
    FF(c, d, a, b, x[2], 17, 0x242070db);
    FF(b, c, d, a, x[3], 22, 0xc1bdceee);
    FF(a, b, c, d, x[4], 7, 0xf57c0faf);
    FF(d, a, b, c, x[5], 12, 0x4787c62a);
    FF(c, d, a, b, x[6], 17, 0xa8304613);
    FF(b, c, d, a, x[7], 22, 0xfd469501);
    FF(a, b, c, d, x[8], 7, 0x698098d8);
    FF(d, a, b, c, x[9], 12, 0x8b44f7af);
    FF(c, d, a, b, x[10], 17, 0xffff5bb1);
    FF(b, c, d, a, x[11], 22, 0x895cd7be);
    FF(a, b, c, d, x[12], 7, 0x6b901122);
    FF(d, a, b, c, x[13], 12, 0xfd987193);
    FF(c, d, a, b, x[14], 17, 0xa679438e);
    FF(b, c, d, a, x[15], 22, 0x49b40821);

    GG(a, b, c, d, x[1], 5, 0xf61e2562);
    GG(d, a, b, c, x[6], 9, 0xc040b340);
    GG(c, d, a, b, x[11], 14, 0x265e5a51);
    GG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    GG(a, b, c, d, x[5], 5, 0xd62f105d);
    GG(d, a, b, c, x[10], 9, 0x02441453);
    GG(c, d, a, b, x[15], 14, 0xd8a1e681);
    GG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    GG(a, b, c, d, x[9], 5, 0x21e1cde6);
    GG(d, a, b, c, x[14], 9, 0xc33707d6);
    GG(c, d, a, b, x[3], 14, 0xf4d50d87);
    GG(b, c, d, a, x[8], 20, 0x455a14ed);
    GG(a, b, c, d, x[13], 5, 0xa9e3e905);
    GG(d, a, b, c, x[2], 9, 0xfcefa3f8);
    GG(c, d, a, b, x[7], 14, 0x676f02d9);
    GG(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    HH(a, b, c, d, x[5], 4, 0xfffa3942);
    HH(d, a, b, c, x[8], 11, 0x8771f681);
    HH(c, d, a, b, x[11], 16, 0x6d9d6122);
    HH(b, c, d, a, x[14], 23, 0xfde5380c);
    HH(a, b, c, d, x[1], 4, 0xa4beea44);
    HH(d, a, b, c, x[4], 11, 0x4bdecfa9);
    HH(c, d, a, b, x[7], 16, 0xf6bb4b60);
    HH(b, c, d, a, x[10], 23, 0xbebfbc70);
    HH(a, b, c, d, x[13], 4, 0x289b7ec6);
    HH(d, a, b, c, x[0], 11, 0xeaa127fa);
    HH(c, d, a, b, x[3], 16, 0xd4ef3085);
    HH(b, c, d, a, x[6], 23, 0x04881d05);
    HH(a, b, c, d, x[9], 4, 0xd9d4d039);
    HH(d, a, b, c, x[12], 11, 0xe6db99e5);
    HH(c, d, a, b, x[15], 16, 0x1fa27cf8);
    HH(b, c, d, a, x[2], 23, 0xc4ac5665);

    II(a, b, c, d, x[0], 6, 0xf4292244);
    II(d, a, b, c, x[7], 10, 0x432aff97);
    II(c, d, a, b, x[14], 15, 0xab9423a7);
    II(b, c, d, a, x[5], 21, 0xfc93a039);
    II(a, b, c, d, x[12], 6, 0x655b59c3);
    II(d, a, b, c, x[3], 10, 0x8f0ccc92);
    II(c, d, a, b, x[10], 15, 0xffeff47d);
    II(b, c, d, a, x[1], 21, 0x85845dd1);
    II(a, b, c, d, x[8], 6, 0x6fa87e4f);
    II(d, a, b, c, x[15], 10, 0xfe2ce6e0);
    II(c, d, a, b, x[6], 15, 0xa3014314);
    II(b, c, d, a, x[13], 21, 0x4e0811a1);
    II(a, b, c, d, x[4], 6, 0xf7537e82);
    II(d, a, b, c, x[11], 10, 0xbd3af235);
    II(c, d, a, b, x[2], 15, 0x2ad7d2bb);
    II(b, c, d, a, x[9], 21, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

bool FileMD5Hex(const std::wstring& path, std::wstring* result) {
    // A path the file system would be given in another form names another file.
    std::wstring normalised = path;
    NormaliseSeparators(normalised, L'\\');
    if (!IsExactFileSystemPath(normalised)) {
        return false;
    }
    // A directory opens for reading on POSIX and reads as empty: it would get the empty
    // file's digest. A device could be endless.
    const std::optional<Platform::FileAttributes> attributes =
        Platform::GetFileAttributes(normalised);
    if (!attributes || attributes->directory || attributes->device) {
        return false;
    }
    Platform::FileStatus status;
    if (!Platform::GetFileStatus(normalised, &status)) {
        return false;
    }
    std::FILE* stream = Platform::OpenFileStream(normalised, "rb");
    if (stream == nullptr) {
        return false;
    }
    // A read that fails part way must not pass for the digest of a shorter file: the
    // digest decides whether a file is restored or removed.
    MD5 md5;
    std::vector<unsigned char> piece(kReadPiece);
    std::int64_t total = 0;
    for (;;) {
        const std::size_t n = Platform::ReadFileStream(stream, piece.data(), piece.size());
        if (n == 0) {
            break;
        }
        md5.update(piece.data(), static_cast<std::uint32_t>(n));
        total += static_cast<std::int64_t>(n);
    }
    const bool whole = std::ferror(stream) == 0 && total == status.size;
    std::fclose(stream);
    if (!whole) {
        return false;
    }
    md5.finalize();
    *result = Utf8ToWide(md5.hex_digest().get());
    return !result->empty();
}
