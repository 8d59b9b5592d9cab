#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "BuildGenerator.h"
#include "TestFiles.h"
#include "UninstallLogWriter.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace fs = std::filesystem;
using BexoPatch::testing::ReadFile;

namespace {

std::uint32_t U32(const std::string& s, std::size_t at) {
    return static_cast<std::uint8_t>(s[at]) | (static_cast<std::uint8_t>(s[at + 1]) << 8) |
           (static_cast<std::uint8_t>(s[at + 2]) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 3])) << 24);
}

std::uint32_t Crc(const std::string& s, std::size_t at, std::size_t n) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(s.data() + at), static_cast<uInt>(n)));
}

class MkbuildsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-mkbuilds-" + std::to_string(Platform::GetCurrentProcessId()));
        fs::remove_all(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

TEST_F(MkbuildsTest, TheSameSeedGivesTheSameBuildsAndStepsDiffer) {
    BuildChainOptions options;
    options.files = 40;
    options.totalBytes = 2 << 20;
    options.changedPercent = 30;
    std::string error;
    ASSERT_TRUE(GenerateBuildChain(m_dir / "a", options, &error)) << error;
    ASSERT_TRUE(GenerateBuildChain(m_dir / "b", options, &error)) << error;
    std::size_t same = 0;
    std::size_t changed = 0;
    for (const auto& entry : fs::recursive_directory_iterator(m_dir / "a" / "41590")) {
        if (!entry.is_regular_file()) {
            continue;
        }
        const fs::path relative = fs::relative(entry.path(), m_dir / "a" / "41590");
        EXPECT_EQ(ReadFile(entry.path()), ReadFile(m_dir / "b" / "41590" / relative));
        const fs::path next = m_dir / "a" / "41600" / relative;
        if (fs::exists(next)) {
            (ReadFile(next) == ReadFile(entry.path()) ? same : changed) += 1;
        }
        EXPECT_TRUE(relative.has_extension()) << relative;
    }
    EXPECT_GT(same, 0u);
    EXPECT_GE(changed, 3u) << "the programs change in every build";
    EXPECT_NE(ReadFile(m_dir / "a" / "41590" / "bin" / "Portico.exe"),
              ReadFile(m_dir / "a" / "41600" / "bin" / "Portico.exe"));
}

TEST_F(MkbuildsTest, TheUninstallLogHasValidChecksumsAndARecordPerFile) {
    fs::create_directories(m_dir / "inst" / "bin");
    std::ofstream(m_dir / "inst" / "bin" / "a.exe") << "a";
    for (int i = 0; i < 200; ++i) {
        std::ofstream(m_dir / "inst" /
                      ("long-file-name-to-fill-blocks-" + std::to_string(i) + ".txt"))
            << i;
    }
    std::string error;
    ASSERT_TRUE(WriteUninstallLog(Platform::FromSystemPath((m_dir / "inst").string()), &error));
    const std::string log = ReadFile(m_dir / "inst" / "unins000.dat");
    ASSERT_GT(log.size(), 448u);
    EXPECT_EQ(U32(log, 444), Crc(log, 0, 444));
    EXPECT_EQ(U32(log, 324), 202u);
    EXPECT_EQ(U32(log, 328), log.size());
    std::size_t at = 448;
    std::size_t blocks = 0;
    std::uint32_t last = 0;
    while (at < log.size()) {
        const std::uint32_t n = U32(log, at);
        EXPECT_EQ(U32(log, at + 4), ~n);
        EXPECT_EQ(U32(log, at + 8), Crc(log, at + 12, n));
        at += 12 + n;
        last = n;
        ++blocks;
    }
    EXPECT_EQ(at, log.size());
    EXPECT_GT(blocks, 2u);
    EXPECT_GE(last, 28u);
}

}  // namespace
