// The MD5 digest of RFC 1321, computed incrementally; file identity in patch data is its
// 32 lowercase hexadecimal digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class MD5 {
public:
    MD5();
    // Digests the whole stream, closes it and finalizes.
    explicit MD5(std::FILE* stream);

    // Adds bytes to the message; after finalize it adds nothing and complains on stderr.
    void update(const unsigned char* input, std::uint32_t length);
    // Adds the rest of the stream, then closes it. Reading stops at the first read that
    // returns nothing (end of file or an error).
    void update(std::FILE* stream);
    // Pads, appends the bit length and stores the digest; a second call changes nothing.
    void finalize();
    // The 16 digest bytes as 32 lowercase hex digits and a NUL, or an empty text before
    // finalize.
    std::unique_ptr<char[]> hex_digest() const;
    // The 16 digest bytes once finalized.
    const unsigned char* raw_digest() const { return digest; }

private:
    void transform(const unsigned char block[64]);

    std::uint32_t state[4];
    std::uint32_t count[2];  // message length in bits, low word first
    unsigned char buffer[64];
    unsigned char digest[16];
    bool finalized;
};

// The MD5 of the file as lowercase hex. False, with result unchanged, when the file does
// not open, is a directory or a device, or cannot be read whole, and when the file system
// would be given another path (IsExactFileSystemPath), which names another file.
bool FileMD5Hex(const std::wstring& path, std::wstring* result);
