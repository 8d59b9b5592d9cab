#include "patch/MD5.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include "platform/Files.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace {

std::string Hex(const std::string& message) {
    MD5 md5;
    md5.update(reinterpret_cast<const unsigned char*>(message.data()),
               static_cast<std::uint32_t>(message.size()));
    md5.finalize();
    return md5.hex_digest().get();
}

struct Vector {
    const char* message;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
const Vector kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(MD5Test, Rfc1321Suite) {
    for (const Vector& v : kRfc1321) {
        EXPECT_EQ(Hex(v.message), v.digest) << '"' << v.message << '"';
    }
}

TEST(MD5Test, PiecesOfAnySizeGiveTheSameDigest) {
    std::string message(1000, '\0');
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<char>(i * 7 + 3);
    }
    const std::string whole = Hex(message);
    for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u}) {
        MD5 md5;
        for (std::size_t at = 0; at < message.size(); at += piece) {
            const std::size_t n = std::min(piece, message.size() - at);
            md5.update(reinterpret_cast<const unsigned char*>(message.data() + at),
                       static_cast<std::uint32_t>(n));
        }
        md5.finalize();
        EXPECT_EQ(md5.hex_digest().get(), whole) << piece;
    }
    // Lengths around the padding boundary (55, 56 and 64 bytes).
    EXPECT_EQ(Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(MD5Test, MisuseOnlyComplains) {
    MD5 md5;
    testing::internal::CaptureStderr();
    EXPECT_STREQ(md5.hex_digest().get(), "");
    md5.finalize();
    md5.update(reinterpret_cast<const unsigned char*>("x"), 1);
    md5.finalize();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MD5::hex_digest:  Can't get digest if you haven't finalized the digest!\n"
              "MD5::update:  Can't update a finalized digest!\n"
              "MD5::finalize:  Already finalized this digest!\n");
    EXPECT_STREQ(md5.hex_digest().get(), "d41d8cd98f00b204e9800998ecf8427e");
}

class FileMD5HexTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-md5-" + std::to_string(Platform::GetCurrentProcessId()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

TEST_F(FileMD5HexTest, FilesAcrossTheReadPieces) {
    struct Case {
        std::size_t size;
        const char* digest;
    };
    // Bytes i % 251; digests from an independent MD5.
    const Case cases[] = {
        {0, "d41d8cd98f00b204e9800998ecf8427e"},     {1024, "9ee0a0e0c0bc0f1ff29d663d1fdf0743"},
        {1025, "3f3789452b88cb32b8cbfbafe715e29a"},  {65536, "9cc60713923528a1dd94e1c1ab0ebc9e"},
        {65537, "4c2641c7fe5c93d3aed7c406629ff0ab"},
    };
    for (const Case& c : cases) {
        std::string bytes(c.size, '\0');
        for (std::size_t i = 0; i < c.size; ++i) {
            bytes[i] = static_cast<char>(i % 251);
        }
        const fs::path path = m_dir / ("f" + std::to_string(c.size) + ".bin");
        std::ofstream(path, std::ios::binary) << bytes;
        std::wstring digest;
        ASSERT_TRUE(FileMD5Hex(path.wstring(), &digest));
        const std::string expected = c.digest;
        EXPECT_EQ(digest, std::wstring(expected.begin(), expected.end())) << c.size;
    }
}

TEST_F(FileMD5HexTest, FilesThatDoNotOpenLeaveTheResult) {
    std::ofstream(m_dir / fs::path(u8"\u4E2D.bin")) << "x";
    std::wstring digest = L"unchanged";
    EXPECT_FALSE(FileMD5Hex((m_dir / "missing.bin").wstring(), &digest));
    // A directory is no file: on POSIX it would read as empty and get the empty digest.
    fs::create_directories(m_dir / "folder");
    EXPECT_FALSE(FileMD5Hex((m_dir / "folder").wstring(), &digest));
    EXPECT_EQ(digest, L"unchanged");
    // Windows' narrow entry points cannot carry the name; a POSIX file system takes it.
    if (Platform::WindowsFileNames()) {
        EXPECT_FALSE(FileMD5Hex(m_dir.wstring() + L"/\x4E2D.bin", &digest));
        EXPECT_EQ(digest, L"unchanged");
    } else {
        EXPECT_TRUE(FileMD5Hex(m_dir.wstring() + L"/\x4E2D.bin", &digest));
        EXPECT_EQ(digest, L"9dd4e461268c8034f5c8564e155c67a6");
    }
    std::ofstream(m_dir / "a.txt") << "abc";
    EXPECT_TRUE(FileMD5Hex(m_dir.wstring() + L"\\a.txt", &digest));
    EXPECT_EQ(digest, L"900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
