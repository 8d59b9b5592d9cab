#include "patch/UninstallLog.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace {

std::uint32_t Get32(const std::string& s, std::size_t at) {
    return std::uint32_t{static_cast<std::uint8_t>(s[at])} |
           (std::uint32_t{static_cast<std::uint8_t>(s[at + 1])} << 8) |
           (std::uint32_t{static_cast<std::uint8_t>(s[at + 2])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(s[at + 3])} << 24);
}

void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s[at + i] = static_cast<char>(v >> (8 * i));
    }
}

std::uint32_t Crc(const std::string& s, std::size_t at, std::size_t n) {
    return static_cast<std::uint32_t>(crc32(
        crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(s.data() + at), static_cast<uInt>(n)));
}

// A log as the product's setup writes it: header, then the record data in blocks.
std::string MakeLog(const std::string& records, std::uint32_t count, std::uint32_t endOffset) {
    std::string log(448, '\0');
    for (std::size_t i = 0; i < 444; ++i) {
        log[i] = static_cast<char>(i * 7);
    }
    Put32(log, 324, count);
    Put32(log, 328, endOffset);
    Put32(log, 444, Crc(log, 0, 444));
    for (std::size_t at = 0; at < records.size() || (at == 0 && records.empty()); at += 4096) {
        const std::string data = records.substr(at, 4096);
        std::string header(12, '\0');
        Put32(header, 0, static_cast<std::uint32_t>(data.size()));
        Put32(header, 4, ~static_cast<std::uint32_t>(data.size()));
        Put32(header, 8, Crc(data, 0, data.size()));
        log += header + data;
        if (records.empty()) {
            break;
        }
    }
    return log;
}

struct ParsedLog {
    std::string header;
    std::string data;  // all blocks' data, concatenated
    std::vector<std::uint32_t> blockSizes;
};

// An independent reader: checks every CRC and the block structure.
ParsedLog Parse(const std::string& log) {
    ParsedLog parsed;
    EXPECT_GE(log.size(), 448u);
    parsed.header = log.substr(0, 448);
    EXPECT_EQ(Get32(log, 444), Crc(log, 0, 444)) << "header CRC";
    std::size_t at = 448;
    while (at < log.size()) {
        const std::uint32_t n = Get32(log, at);
        EXPECT_EQ(Get32(log, at + 4), ~n);
        EXPECT_LE(n, 4096u);
        EXPECT_EQ(Get32(log, at + 8), Crc(log, at + 12, n)) << "block at " << at;
        parsed.blockSizes.push_back(n);
        parsed.data += log.substr(at + 12, n);
        at += 12 + n;
    }
    EXPECT_EQ(at, log.size());
    for (std::size_t i = 0; i + 1 < parsed.blockSizes.size(); ++i) {
        EXPECT_EQ(parsed.blockSizes[i], 4096u) << "block " << i;
    }
    return parsed;
}

std::string RecordData(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>(i * 13 + 1);
    }
    return data;
}

std::vector<std::pair<int, std::wstring>> g_lines;

void Capture(std::int32_t level, const std::wstring& text) {
    g_lines.emplace_back(level, text);
}

class UninstallLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-unins-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "install");
        fs::create_directories(m_dir / "patch");
        g_lines.clear();
        SetPatchCallbacks(nullptr, nullptr, Capture);
    }
    void TearDown() override {
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        fs::remove_all(m_dir);
    }
    void Added(const std::vector<std::string>& paths) {
        std::ofstream out(m_dir / "patch" / "addedFiles.txt", std::ios::binary);
        for (const std::string& p : paths) {
            out << p << "\r\n0123456789abcdef0123456789abcdef\r\n\r\n";
        }
    }
    void WriteLog(const std::string& log) {
        BexoPatch::testing::WriteFile(m_dir / "install" / "unins000.dat", log);
    }
    std::string ReadLog() {
        return BexoPatch::testing::ReadFile(m_dir / "install" / "unins000.dat");
    }
    bool Update() {
        return UpdateUninstallLog((m_dir / "install").wstring(), (m_dir / "patch").wstring());
    }
    std::string Record(const std::string& relative) const {
        return MakeUninstallDeleteRecord(
            ToNarrow(JoinPath((m_dir / "install").wstring(), Utf8ToWide(relative))));
    }
    fs::path m_dir;
};

TEST(UninstallRecordTest, LengthPrefixes) {
    struct Case {
        std::size_t length;
        std::string prefix;
    };
    const Case cases[] = {
        {1, "\x01"},
        {252, "\xFC"},
        {253, std::string("\xFD\xFD\x00", 3)},
        {65535, "\xFD\xFF\xFF"},
        {65536, std::string("\xFE\x00\x00\x01\x00", 5)},
    };
    for (const Case& c : cases) {
        const std::string path(c.length, 'p');
        const std::string record = MakeUninstallDeleteRecord(path);
        const std::uint32_t d = Get32(record, 6);
        EXPECT_EQ(record.substr(0, 6), std::string("\x82\x00\x00\x00\x00\x00", 6));
        EXPECT_EQ(d, c.length + c.prefix.size() + 1) << c.length;
        EXPECT_EQ(record.size(), 10 + d);
        EXPECT_EQ(record.substr(10, c.prefix.size()), c.prefix);
        EXPECT_EQ(record.back(), '\xFF');
    }
}

TEST_F(UninstallLogTest, TwoShortPathsInTheFinalBlock) {
    const std::string records = RecordData(4096 + 1000);
    WriteLog(MakeLog(records, 50, 123456));
    Added({"bin\\a.exe", "data\\b.txt"});
    ASSERT_TRUE(Update());
    const ParsedLog log = Parse(ReadLog());
    const std::string r1 = Record("bin\\a.exe");
    const std::string r2 = Record("data\\b.txt");
    ASSERT_EQ(log.blockSizes, (std::vector<std::uint32_t>{
                                  4096, static_cast<std::uint32_t>(1000 + r1.size() + r2.size())}));
    EXPECT_EQ(log.data, records.substr(0, records.size() - 28) + r1 + r2 +
                            records.substr(records.size() - 28));
    EXPECT_EQ(Get32(log.header, 324), 52u);
    EXPECT_EQ(Get32(log.header, 328), 123456u + r1.size() + r2.size() + 12);
    EXPECT_EQ(log.header.substr(0, 324), MakeLog(records, 50, 123456).substr(0, 324));
    EXPECT_FALSE(fs::exists(m_dir / "install" / "unins000_temp.dat"));
}

TEST_F(UninstallLogTest, RecordsThatCrossBlocks) {
    // 4000 data bytes in the final block: the records fill it and spill into new blocks.
    const std::string records = RecordData(4000);
    WriteLog(MakeLog(records, 7, 1000));
    std::vector<std::string> names;
    std::string expected = records.substr(0, records.size() - 28);
    std::size_t lengths = 0;
    for (int i = 0; i < 40; ++i) {
        names.push_back("data\\maps\\" + std::string(240, static_cast<char>('a' + i % 26)) +
                        std::to_string(i) + ".map");
        const std::string r = Record(names.back());
        expected += r;
        lengths += r.size();
    }
    expected += records.substr(records.size() - 28);
    Added(names);
    ASSERT_TRUE(Update());
    const ParsedLog log = Parse(ReadLog());
    EXPECT_EQ(log.data, expected);
    const std::size_t blocks = log.blockSizes.size();
    ASSERT_EQ(blocks, (expected.size() + 4095) / 4096);
    EXPECT_EQ(Get32(log.header, 324), 47u);
    // Every block header written, the final one included, counts 12 bytes.
    EXPECT_EQ(Get32(log.header, 328), 1000u + lengths + 12 * blocks);
    // Paths of 253 bytes and more use the 0xFD prefix.
    EXPECT_NE(expected.find(Record(names[0]).substr(0, 13)), std::string::npos);
    EXPECT_EQ(static_cast<std::uint8_t>(Record(names[0])[10]), 0xFD);
}

// Wherever the record data ends in its block, the log keeps its format (every block but
// the last full, none over 4096 bytes) and the next step can append to it again.
TEST_F(UninstallLogTest, EveryFillOfTheLastBlock) {
    Added({"bin\\a.exe"});
    const std::string r = Record("bin\\a.exe");
    struct Case {
        const char* name;
        std::size_t records;  // record bytes in the log before the first step
    };
    const Case cases[] = {
        {"the new data ends 28 bytes short of a full block", 4096 + 4068 + 28 - r.size()},
        {"the new data ends at byte 4069", 4096 + 4069 + 28 - r.size()},
        {"the new data ends at byte 4095", 4096 + 4095 + 28 - r.size()},
        {"the new data fills the block", 4096 + 4096 + 28 - r.size()},
        {"the last block is full", 8192},
        {"the last block holds 1 byte", 4096 + 1},
        {"the last block holds 27 bytes", 4096 + 27},
        {"the last block holds 28 bytes", 28},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string records = RecordData(c.records);
        WriteLog(MakeLog(records, 3, 1000));
        std::string expected = records.substr(0, records.size() - 28);
        for (int step = 1; step <= 2; ++step) {
            g_lines.clear();
            ASSERT_TRUE(Update());
            EXPECT_TRUE(g_lines.empty());
            expected += r;
            const ParsedLog log = Parse(ReadLog());
            EXPECT_EQ(log.data, expected + records.substr(records.size() - 28));
            EXPECT_EQ(Get32(log.header, 324), 3u + static_cast<std::uint32_t>(step));
        }
    }
}

TEST_F(UninstallLogTest, PathsOutsideTheNarrowSetGetQuestionMarks) {
    WriteLog(MakeLog(RecordData(100), 1, 1));
    Added({"data\\\xe4\xb8\xad.txt"});
    ASSERT_TRUE(Update());
    const ParsedLog log = Parse(ReadLog());
    EXPECT_NE(log.data.find("data\\?.txt\xFF"), std::string::npos);
}

TEST_F(UninstallLogTest, LogsLeftAlone) {
    struct Case {
        const char* name;
        std::string log;
        const wchar_t* note;  // nullptr: nothing logged
    };
    std::string damaged = MakeLog(RecordData(5000), 1, 1);
    damaged[448 + 12 + 100] ^= 1;
    std::string damagedFinal = MakeLog(RecordData(5000), 1, 1);
    damagedFinal[damagedFinal.size() - 1] ^= 1;
    const Case cases[] = {
        {"no block", MakeLog("", 0, 0).substr(0, 448), L"no block"},
        {"empty block", MakeLog("", 0, 0), L"fewer than 28"},
        {"damaged block", damaged, L"block 0 is damaged"},
        {"damaged final block", damagedFinal, L"last block is damaged"},
        {"shorter than the header", std::string(100, 'x'), L"shorter than its header"},
    };
    Added({"bin\\a.exe"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_lines.clear();
        WriteLog(c.log);
        EXPECT_TRUE(Update());
        EXPECT_EQ(ReadLog(), c.log);
        ASSERT_EQ(g_lines.size(), 1u);
        EXPECT_EQ(g_lines[0].first, LOG_NOTE);
        EXPECT_NE(g_lines[0].second.find(c.note), std::wstring::npos)
            << WideToUtf8(g_lines[0].second);
        EXPECT_FALSE(fs::exists(m_dir / "install" / "unins000_temp.dat"));
    }
}

TEST_F(UninstallLogTest, NothingToDo) {
    // No added files: the log is not touched.
    const std::string log = MakeLog(RecordData(100), 1, 1);
    WriteLog(log);
    Added({});
    EXPECT_TRUE(Update());
    EXPECT_EQ(ReadLog(), log);
    // No log: nothing is created.
    fs::remove(m_dir / "install" / "unins000.dat");
    Added({"a.txt"});
    EXPECT_TRUE(Update());
    EXPECT_FALSE(fs::exists(m_dir / "install" / "unins000.dat"));
    EXPECT_TRUE(g_lines.empty());
    // No list: an error line and nothing to record.
    fs::remove(m_dir / "patch" / "addedFiles.txt");
    EXPECT_TRUE(ReadAddedFileNames((m_dir / "patch").wstring()).empty());
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].first, LOG_ERROR);
    EXPECT_EQ(g_lines[0].second, L"Could not open: " + (m_dir / "patch").wstring() +
                                     L"/addedFiles.txt for reading. The file might not be present");
}

TEST_F(UninstallLogTest, ATemporaryFileThatCannotBeMadeFailsAndKeepsTheLog) {
    const std::string log = MakeLog(RecordData(100), 1, 1);
    WriteLog(log);
    Added({"a.txt"});
    fs::create_directories(m_dir / "install" / "unins000_temp.dat" / "x");
    EXPECT_FALSE(Update());
    EXPECT_EQ(ReadLog(), log);
    ASSERT_FALSE(g_lines.empty());
    EXPECT_EQ(g_lines.back().first, LOG_ERROR);
}

}  // namespace
