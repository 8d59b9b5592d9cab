#include "repair/FileTreeSummary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "kernel/FileUtil.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "repair/SegmentChecksum.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace fs = std::filesystem;

namespace {

TEST(SegmentKeyTest, FormatAndParse) {
    EXPECT_EQ(FormatSegmentKey(L"bin\\tool.dll", 0), L"bin\\tool.dll#000");
    EXPECT_EQ(FormatSegmentKey(L"bin\\tool.dll", 11), L"bin\\tool.dll#011");
    EXPECT_EQ(FormatSegmentKey(L"x", 1000), L"x#1000");
    struct Case {
        const wchar_t* key;
        const wchar_t* path;
        std::uint64_t index;
    };
    const Case cases[] = {
        {L"a#b.txt#002", L"a#b.txt", 2},
        {L"plain", L"plain", 0},
        {L"x#12a", L"x", 0},
        {L"x#", L"x", 0},
        {L"big#1234", L"big", 1234},
        {L"huge#99999999999999999999", L"huge", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SegmentKeyPath(c.key), c.path);
        EXPECT_EQ(SegmentKeyIndex(c.key), c.index) << std::string(c.key, c.key + 4);
    }
}

TEST(WildcardTest, Matching) {
    struct Case {
        const wchar_t* pattern;
        const wchar_t* text;
        bool match;
    };
    const Case cases[] = {
        {L"repair.cks", L"repair.cks", true},
        {L"repair.cks", L"Repair.cks", false},
        {L"*.log", L"logs\\a.log", true},
        {L"*.log", L"a.log.bak", false},
        {L"a*b*c", L"aXXbYYc", true},
        {L"a*b*c", L"aXXbYY", false},
        {L"a**", L"a", true},
        {L"*", L"", true},
        {L"", L"", true},
        {L"", L"x", false},
        {L"bin\\*\\x", L"bin\\a\\b\\x", true},
        {L"*aab", L"aaab", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchWildcard(c.pattern, c.text), c.match);
    }
    const SummaryPatternSet patterns{L"unins000.exe", L"*.tmp"};
    EXPECT_TRUE(IsExcluded(L"unins000.exe", patterns));
    EXPECT_TRUE(IsExcluded(L"x.tmp#000", patterns));
    EXPECT_FALSE(IsExcluded(L"bin\\unins000.exe", patterns));
}

class SummaryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("osmel-summary-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        m_wroot = Platform::FromSystemPath(m_root.string());
    }
    void TearDown() override { fs::remove_all(m_root); }

    // Names are UTF-8, also on Windows, where a narrow path is in the ANSI code page.
    static fs::path Name(const std::string& rel) {
        return fs::path(std::u8string(rel.begin(), rel.end()));
    }
    void Write(const std::string& rel, const std::string& content) {
        fs::create_directories((m_root / Name(rel)).parent_path());
        std::ofstream(m_root / Name(rel), std::ios::binary) << content;
    }
    void SetTime(const std::string& rel, int secondsAgo) {
        fs::last_write_time(m_root / rel,
                            fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
    }
    static std::uint32_t Crc(const std::string& s) {
        const std::uint32_t c = SegmentCrcBitwise(0, s.data(), s.size());
        return c == 0 ? 1 : c;
    }
    std::wstring Full(const std::wstring& key) { return m_wroot + L"\\" + key; }

    fs::path m_root;
    std::wstring m_wroot;
};

TEST_F(SummaryTest, ScanCutsFilesIntoSegmentsAndSkipsExclusions) {
    const std::string exact(kSegmentSize, 'e');
    Write("exact.bin", exact);
    Write("plus1.bin", exact + "x");
    Write("empty.bin", "");
    Write("sub/dir/a#b.txt", "hash");
    Write("repair.cks", "ignored");
    Write("unins000.exe", "ignored");
    FileTreeSummary summary;
    ASSERT_EQ(summary.Scan(m_wroot, {L"repair.cks", L"unins000.exe"}), BEXORESULT_OK);
    const auto entries = summary.Entries();
    std::vector<std::wstring> keys;
    for (const auto& [key, entry] : entries) {
        keys.push_back(key);
    }
    const std::vector<std::wstring> expected = {L"exact.bin#000", L"plus1.bin#000",
                                                L"plus1.bin#001", L"sub\\dir\\a#b.txt#000"};
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(entries.at(L"exact.bin#000").checksum, Crc(exact));
    EXPECT_EQ(entries.at(L"plus1.bin#001").checksum, Crc("x"));
    EXPECT_EQ(entries.at(L"sub\\dir\\a#b.txt#000").checksum, Crc("hash"));
}

TEST_F(SummaryTest, RescanTrustsUnchangedTimesAndDropsVanishedSegments) {
    Write("a.bin", "first");
    Write("shrinks.bin", std::string(kSegmentSize + 10, 's'));
    SetTime("a.bin", 100);
    FileTreeSummary summary;
    summary.Scan(m_wroot, {});
    ASSERT_EQ(summary.Count(), 3u);

    // Same size and time but other bytes: the stored checksum stays.
    const auto time = fs::last_write_time(m_root / "a.bin");
    Write("a.bin", "FIRST");
    fs::last_write_time(m_root / "a.bin", time);
    Write("shrinks.bin", "");
    summary.Scan(m_wroot, {});
    auto entries = summary.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.at(L"a.bin#000").checksum, Crc("first"));

    SetTime("a.bin", 50);
    summary.Scan(m_wroot, {});
    EXPECT_EQ(summary.Entries().at(L"a.bin#000").checksum, Crc("FIRST"));
}

TEST_F(SummaryTest, KnownChecksumsMarkTheFilesOtherSegmentsCurrent) {
    Write("f.bin", std::string(2 * kSegmentSize + 1, 'f'));
    SetTime("f.bin", 100);
    FileTreeSummary summary;
    summary.Scan(m_wroot, {});
    SetTime("f.bin", 10);
    ASSERT_TRUE(summary.RegisterSegment(Full(L"f.bin#001"), L"f.bin#001", 0xABCD));
    const auto entries = summary.Entries();
    std::int64_t now = 0;
    GetFileTime(Full(L"f.bin"), &now);
    for (const auto& [key, entry] : entries) {
        EXPECT_EQ(entry.modificationTime, now) << std::string(key.begin(), key.end());
    }
    EXPECT_EQ(entries.at(L"f.bin#001").checksum, 0xABCDu);
    EXPECT_FALSE(summary.RegisterSegment(Full(L"gone.bin#000"), L"gone.bin#000", 5));

    summary.RemoveFollowingSegments(L"f.bin#000");
    EXPECT_EQ(summary.Count(), 1u);
    summary.Remove(L"f.bin#000");
    EXPECT_EQ(summary.Count(), 0u);
}

TEST_F(SummaryTest, SaveAndLoadRoundTripTheChecksumFile) {
    Write("b\\x.txt", "x");
    Write("\xC3\xA9t\xC3\xA9.txt", "unicode names keep their narrow form");
    FileTreeSummary summary;
    summary.Scan(m_wroot, {});
    const std::wstring file = m_wroot + L"\\repair.cks";
    {
        BexoDataBufferFile out(file, BexoDataBufferFile::kModeCreate);
        ASSERT_EQ(summary.Save(&out), BEXORESULT_OK);
    }
    FileTreeSummary loaded;
    BexoDataBufferFile in(file, BexoDataBufferFile::kModeRead);
    ASSERT_EQ(loaded.Load(&in), BEXORESULT_OK);
    const auto a = summary.Entries();
    const auto b = loaded.Entries();
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [key, entry] : a) {
        ASSERT_TRUE(b.count(key));
        EXPECT_EQ(b.at(key).checksum, entry.checksum);
        EXPECT_EQ(b.at(key).modificationTime, entry.modificationTime);
        EXPECT_FALSE(b.at(key).seen);
    }

    BexoDataBufferMemoryDynamic empty;
    ASSERT_EQ(FileTreeSummary().Save(&empty), BEXORESULT_OK);
    ASSERT_EQ(empty.GetSize(), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(empty.GetData()), 8),
              std::string("0stf\0\0\0\0", 8));
}

TEST(SummaryLoadTest, DamagedFilesStopAndKeepWhatWasRead) {
    const std::string good =
        std::string("\x02\0\0\0a\0", 6) + std::string("\x07\0\0\0", 4) + std::string(8, '\0');
    struct Case {
        const char* name;
        std::string bytes;
        BEXORESULT result;
        std::size_t kept;
    };
    const Case cases[] = {
        {"bad magic", std::string("1stf\0\0\0\0", 8), BEXORESULT_BAD_DATA, 0},
        {"short magic", "0st", BEXORESULT_END_OF_DATA, 0},
        {"count beyond the data",
         std::string("0stf\xFF\xFF\xFF\xFF", 8) + std::string("\x01\0\0\0", 4) +
             std::string("a\0", 2) + std::string(12, '\0'),
         BEXORESULT_END_OF_DATA, 1},
        {"absurd key length",
         std::string("0stf\x02\0\0\0", 8) + std::string("\x01\0\0\0", 4) + std::string("a\0", 2) +
             std::string(12, '\0') + std::string("\xFF\xFF\xFF\x7F", 4),
         BEXORESULT_BAD_DATA, 1},
    };
    for (const Case& c : cases) {
        BexoDataBufferMemoryDynamic buffer;
        buffer.WriteData(c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size()));
        buffer.Seek(0);
        FileTreeSummary summary;
        EXPECT_EQ(summary.Load(&buffer), c.result) << c.name;
        EXPECT_EQ(summary.Count(), c.kept) << c.name;
    }
}

TEST_F(SummaryTest, ReadFileSegmentReadsOneSegmentAndRefusesPastTheEnd) {
    Write("f.bin", std::string(kSegmentSize, 'a') + "tail");
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(ReadFileSegment(Full(L"f.bin#001"), &bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "tail");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadFileSegment(Full(L"f.bin#003"), &bytes));
    EXPECT_EQ(ComputeSegmentChecksum(Full(L"missing.bin#000")), 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ReadFileSegment> segment past end of file for: "), std::string::npos);
    EXPECT_NE(out.find("ReadFileSegment> unabled to open file: "), std::string::npos);
}

}  // namespace
