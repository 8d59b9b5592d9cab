#include "patch/PatchArchive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "TestFiles.h"
#include "patch/MD5.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace {

struct StepSpec {
    std::string from;
    std::string to;
    std::string package;
    std::string probePath = "bin\\Portico.exe";
    std::string probeMD5 = "00000000000000000000000000000000";
};

// image, padding to headerOffset, header, packages, directory.
std::string MakeArchive(const std::string& image, std::uint64_t headerOffset,
                        const std::vector<StepSpec>& steps) {
    std::string file = image;
    file.resize(headerOffset, '\0');
    std::uint64_t offset = headerOffset + ArchiveHeader::kSize;
    std::vector<ArchiveEntry> entries;
    std::string packages;
    for (const StepSpec& step : steps) {
        ArchiveEntry entry;
        std::strncpy(entry.probePath, step.probePath.c_str(), sizeof entry.probePath - 1);
        std::strncpy(entry.probeMD5, step.probeMD5.c_str(), sizeof entry.probeMD5 - 1);
        std::strncpy(entry.fromBuild, step.from.c_str(), sizeof entry.fromBuild - 1);
        std::strncpy(entry.toBuild, step.to.c_str(), sizeof entry.toBuild - 1);
        entry.dataOffset = offset;
        entry.dataSize = step.package.size();
        offset += step.package.size();
        packages += step.package;
        entries.push_back(entry);
    }
    ArchiveHeader header;
    header.entryCount = static_cast<std::uint32_t>(steps.size());
    header.directoryOffset = offset;
    header.fileSize = static_cast<std::uint32_t>(offset + entries.size() * ArchiveEntry::kSize);
    std::uint8_t bytes[ArchiveEntry::kSize];
    header.Serialize(bytes);
    file.append(reinterpret_cast<char*>(bytes), ArchiveHeader::kSize);
    file += packages;
    for (const ArchiveEntry& entry : entries) {
        entry.Serialize(bytes);
        file.append(reinterpret_cast<char*>(bytes), ArchiveEntry::kSize);
    }
    return file;
}

std::string Magic() {
    std::uint8_t magic[8];
    ArchiveMagic(magic);
    return {reinterpret_cast<char*>(magic), 8};
}

class PatchArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-archive-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::wstring Write(const char* name, const std::string& bytes) {
        BexoPatch::testing::WriteFile(m_dir / name, bytes);
        return (m_dir / name).wstring();
    }
    std::string Read(const char* name) { return BexoPatch::testing::ReadFile(m_dir / name); }
    fs::path m_dir;
};

TEST_F(PatchArchiveTest, TheLayoutOfTheExample) {
    // A 2,242,059-byte executable with its header at 1,687,552 and a 554,011-byte package.
    const std::string package(554011, 'p');
    const std::string file =
        MakeArchive(std::string(1687000, 'x'), 1687552, {{"41590", "41861", package}});
    ASSERT_EQ(file.size(), 2242059u);
    PatchArchive archive;
    ASSERT_EQ(archive.Open(Write("patcher.exe", file)), BEXORESULT_OK);
    EXPECT_EQ(archive.GetHeaderOffset(), 1687552u);
    EXPECT_EQ(archive.GetHeader()->directoryOffset, 2241591u);
    ArchiveEntry entry;
    ASSERT_EQ(archive.ReadEntry(0, &entry), BEXORESULT_OK);
    EXPECT_EQ(entry.dataOffset, 1687580u);
    EXPECT_EQ(entry.dataSize, 554011u);

    // One byte appended: the header's size no longer matches.
    EXPECT_EQ(archive.Open(Write("longer.exe", file + "!")), BEXORESULT_IO_ERROR);
    EXPECT_EQ(archive.GetHeaderOffset(), PatchArchive::kNoHeader);
}

TEST_F(PatchArchiveTest, FilesWithoutAnArchive) {
    struct Case {
        const char* name;
        std::string bytes;
        BEXORESULT result;
    };
    std::string offBoundary(3 * 4096, 'x');
    offBoundary.replace(4100, 8, Magic());
    const Case cases[] = {
        {"empty", "", BEXORESULT_NOT_SUPPORTED},
        {"short", std::string(27, 'x'), BEXORESULT_NOT_SUPPORTED},
        {"short-magic", Magic() + std::string(19, '\0'), BEXORESULT_NOT_SUPPORTED},
        {"plain", std::string(10000, 'x'), BEXORESULT_NOT_SUPPORTED},
        {"off-boundary", offBoundary, BEXORESULT_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        PatchArchive archive;
        EXPECT_EQ(archive.Open(Write(c.name, c.bytes)), c.result) << c.name;
        EXPECT_TRUE(archive.TargetFor("1").empty());
        EXPECT_EQ(archive.Extract("1", (m_dir / "out").wstring()), BEXORESULT_INVALID_STATE);
    }
    PatchArchive archive;
    EXPECT_EQ(archive.Open((m_dir / "missing").wstring()), BEXORESULT_IO_ERROR);
}

TEST_F(PatchArchiveTest, TheFirstEntryOfABuildWins) {
    const std::string file =
        MakeArchive("image", 4096,
                    {{"100", "101", "first"}, {"100", "102", "second"}, {"101", "102", "third!"}});
    PatchArchive archive;
    ASSERT_EQ(archive.Open(Write("a.exe", file)), BEXORESULT_OK);
    EXPECT_EQ(archive.TargetFor("100"), "101");
    EXPECT_EQ(archive.TargetFor("101"), "102");
    EXPECT_EQ(archive.TargetFor("10"), "");
    ASSERT_EQ(archive.Extract("100", (m_dir / "p100.zip").wstring()), BEXORESULT_OK);
    EXPECT_EQ(Read("p100.zip"), "first");
    ASSERT_EQ(archive.Extract("101", (m_dir / "p101.zip").wstring()), BEXORESULT_OK);
    EXPECT_EQ(Read("p101.zip"), "third!");
    EXPECT_EQ(archive.Extract("999", (m_dir / "none.zip").wstring()), BEXORESULT_NOT_FOUND);
    EXPECT_EQ(archive.Extract("100", (m_dir / "no" / "dir.zip").wstring()), BEXORESULT_WRONG_MODE);
}

TEST_F(PatchArchiveTest, ProbesMatchByChecksum) {
    fs::create_directories(m_dir / "install" / "bin");
    std::ofstream(m_dir / "install" / "bin" / "Portico.exe") << "abc";
    const std::string abc = "900150983cd24fb0d6963f7d28e17f72";
    const std::string file =
        MakeArchive("image", 8192,
                    {{"1", "2", "x", "bin\\Portico.exe", abc},
                     {"3", "4", "x", "bin\\Portico.exe", "900150983CD24FB0D6963F7D28E17F72"},
                     {"5", "6", "x", "bin\\missing.exe", abc},
                     {"7", "8", "x", "bin/Portico.exe", abc},
                     {"9", "10", "x", "..\\install\\bin\\Portico.exe", abc}});
    PatchArchive archive;
    ASSERT_EQ(archive.Open(Write("a.exe", file)), BEXORESULT_OK);
    EXPECT_EQ(archive.MatchingSourceBuilds((m_dir / "install").wstring()),
              (std::vector<std::string>{"1", "7"}));
    EXPECT_TRUE(archive.MatchingSourceBuilds((m_dir / "elsewhere").wstring()).empty());
}

TEST_F(PatchArchiveTest, RangesOutsideTheFileAreRefused) {
    std::string file = MakeArchive("image", 4096, {{"1", "2", "package"}});
    // The directory offset moved past the end.
    std::string bad = file;
    bad[4096 + 16] = static_cast<char>(0xF0);
    PatchArchive archive;
    EXPECT_EQ(archive.Open(Write("dir.exe", bad)), BEXORESULT_BAD_DATA);
    // An entry count that the file cannot hold.
    bad = file;
    bad[4096 + 12] = 2;
    EXPECT_EQ(archive.Open(Write("count.exe", bad)), BEXORESULT_BAD_DATA);
    // A package range that runs into the directory.
    bad = file;
    const std::size_t entry = file.size() - ArchiveEntry::kSize;
    bad[entry + 460] = 100;
    ASSERT_EQ(archive.Open(Write("range.exe", bad)), BEXORESULT_OK);
    EXPECT_EQ(archive.Extract("1", (m_dir / "out.zip").wstring()), BEXORESULT_BAD_DATA);
    EXPECT_FALSE(fs::exists(m_dir / "out.zip"));
}

TEST_F(PatchArchiveTest, TextFieldsAreCutAtTheirLastByte) {
    std::string file = MakeArchive("image", 4096, {{"1", "2", "package"}});
    const std::size_t entry = file.size() - ArchiveEntry::kSize;
    std::memset(&file[entry + 388], '7', 32);  // fromBuild without a NUL
    PatchArchive archive;
    ASSERT_EQ(archive.Open(Write("a.exe", file)), BEXORESULT_OK);
    EXPECT_EQ(archive.TargetFor(std::string(31, '7')), "2");
}

}  // namespace
