#include "repair/buffer/BexoDataBuffer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include "TestFiles.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace fs = std::filesystem;
using BexoPatch::testing::ReadFile;
using BexoPatch::testing::WriteFile;

namespace {

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-buffer-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::wstring Path(const char* name) const { return (m_dir / name).wstring(); }
    fs::path m_dir;
};

TEST(MemoryBufferTest, SeekAndReadAtTheEnd) {
    BexoDataBufferMemoryDynamic buffer;
    const char ten[] = "0123456789";
    ASSERT_EQ(buffer.WriteData(ten, 10), BEXORESULT_OK);
    EXPECT_EQ(buffer.GetSize(), 10u);
    EXPECT_EQ(buffer.Seek(10), BEXORESULT_OK);
    EXPECT_EQ(buffer.GetPosition(), 10u);
    EXPECT_EQ(buffer.Seek(11), BEXORESULT_END_OF_DATA);
    EXPECT_EQ(buffer.GetPosition(), 10u);
    EXPECT_EQ(buffer.Seek(0x100000000ull), BEXORESULT_END_OF_DATA);
    EXPECT_EQ(buffer.GetPosition(), 10u);

    ASSERT_EQ(buffer.Seek(8), BEXORESULT_OK);
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(buffer.ReadData(out, 4), BEXORESULT_END_OF_DATA);
    EXPECT_EQ(std::string(out, 4), "89xx");
    EXPECT_EQ(buffer.GetPosition(), 10u);
    EXPECT_EQ(buffer.ReadData(out, 0), BEXORESULT_OK);
}

TEST(MemoryBufferTest, WritesGrowAndOverwriteAndSetSizeClampsThePosition) {
    BexoDataBufferMemoryDynamic buffer;
    ASSERT_EQ(buffer.WriteData("abcdef", 6), BEXORESULT_OK);
    ASSERT_EQ(buffer.Seek(4), BEXORESULT_OK);
    ASSERT_EQ(buffer.WriteData("XYZ", 3), BEXORESULT_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.GetData()), 7), "abcdXYZ");
    EXPECT_EQ(buffer.GetPosition(), 7u);

    ASSERT_EQ(buffer.SetSize(10), BEXORESULT_OK);
    EXPECT_EQ(buffer.GetData()[9], 0);
    EXPECT_EQ(buffer.GetPosition(), 7u);
    ASSERT_EQ(buffer.Seek(5), BEXORESULT_OK);
    ASSERT_EQ(buffer.SetSize(0), BEXORESULT_OK);
    EXPECT_EQ(buffer.GetPosition(), 0u);
    EXPECT_EQ(buffer.GetSize(), 0u);
    // The 32-bit position bounds the data.
    EXPECT_EQ(buffer.SetSize(0x100000000ull), BEXORESULT_OUT_OF_MEMORY);
    EXPECT_EQ(buffer.GetSize(), 0u);
}

using FileBufferTest = TempDir;

TEST_F(FileBufferTest, AccessModes) {
    struct Case {
        std::int32_t mode;
        bool existing;  // the file exists before opening
        bool opens;
        BEXORESULT write;     // result of writing "NEW"
        BEXORESULT read;      // result of reading 1 byte at 0 (after a seek)
        const char* content;  // the file afterwards, nullptr when missing
    };
    const Case cases[] = {
        {0, true, true, BEXORESULT_WRONG_MODE, BEXORESULT_OK, "old content"},
        {0, false, false, BEXORESULT_INVALID_STATE, BEXORESULT_INVALID_STATE, nullptr},
        {1, true, true, BEXORESULT_OK, BEXORESULT_WRONG_MODE, "NEW"},
        {1, false, true, BEXORESULT_OK, BEXORESULT_WRONG_MODE, "NEW"},
        {2, true, true, BEXORESULT_OK, BEXORESULT_WRONG_MODE, "NEW content"},
        {2, false, true, BEXORESULT_OK, BEXORESULT_WRONG_MODE, "NEW"},
        {3, true, true, BEXORESULT_OK, BEXORESULT_OK, "NEW content"},
        {3, false, false, BEXORESULT_INVALID_STATE, BEXORESULT_INVALID_STATE, nullptr},
        {4, true, false, BEXORESULT_INVALID_STATE, BEXORESULT_INVALID_STATE, "old content"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " existing " << c.existing);
        const std::wstring path = Path("f.bin");
        fs::remove(path);
        if (c.existing) {
            WriteFile(path, "old content");
        }
        {
            BexoDataBufferFile buffer(path, c.mode);
            EXPECT_EQ(buffer.IsOpen(), c.opens);
            const std::uint64_t expectedSize = c.opens && c.existing && c.mode != 1 ? 11u : 0u;
            EXPECT_EQ(buffer.GetSize(), expectedSize);
            EXPECT_EQ(buffer.WriteData("NEW", 3), c.write);
            EXPECT_EQ(buffer.WriteData("", 0), c.write == BEXORESULT_OK ? BEXORESULT_OK : c.write);
            char byte = 0;
            if (c.opens) {
                ASSERT_EQ(buffer.Seek(0), BEXORESULT_OK);
            }
            EXPECT_EQ(buffer.ReadData(&byte, 1), c.read);
        }
        if (c.content == nullptr) {
            EXPECT_FALSE(fs::exists(path));
        } else {
            EXPECT_EQ(ReadFile(path), c.content);
        }
    }
}

TEST_F(FileBufferTest, ReadWriteModeSwitchesDirectionAtThePosition) {
    const std::wstring path = Path("rw.bin");
    WriteFile(path, "0123456789");
    BexoDataBufferFile buffer(path, BexoDataBufferFile::kModeReadWrite);
    ASSERT_TRUE(buffer.IsOpen());
    ASSERT_EQ(buffer.WriteData("abcd", 4), BEXORESULT_OK);
    char out[3] = {};
    ASSERT_EQ(buffer.ReadData(out, 3), BEXORESULT_OK);
    EXPECT_EQ(std::string(out, 3), "456");
    ASSERT_EQ(buffer.WriteData("X", 1), BEXORESULT_OK);
    EXPECT_EQ(buffer.GetPosition(), 8u);
    // Reading past the end moves the position by what came.
    char tail[4] = {};
    EXPECT_EQ(buffer.ReadData(tail, 4), BEXORESULT_IO_ERROR);
    EXPECT_EQ(buffer.GetPosition(), 10u);
    buffer.Flush();
    EXPECT_EQ(ReadFile(path), "abcd456X89");
}

TEST_F(FileBufferTest, SeekPastTheEndThenWriteExtends) {
    const std::wstring path = Path("sparse.bin");
    {
        BexoDataBufferFile buffer(path, BexoDataBufferFile::kModeCreate);
        ASSERT_EQ(buffer.WriteData("ab", 2), BEXORESULT_OK);
        ASSERT_EQ(buffer.Seek(6), BEXORESULT_OK);
        EXPECT_EQ(buffer.GetSize(), 2u);
        ASSERT_EQ(buffer.WriteData("z", 1), BEXORESULT_OK);
        EXPECT_EQ(buffer.GetSize(), 7u);
        EXPECT_TRUE(buffer.Commit());
    }
    EXPECT_EQ(ReadFile(path), std::string("ab\0\0\0\0z", 7));
}

TEST_F(FileBufferTest, SetSizeTruncatesAndClampsThePosition) {
    const std::wstring path = Path("size.bin");
    WriteFile(path, "0123456789");
    BexoDataBufferFile buffer(path, BexoDataBufferFile::kModeReadWrite);
    ASSERT_EQ(buffer.Seek(8), BEXORESULT_OK);
    ASSERT_EQ(buffer.SetSize(4), BEXORESULT_OK);
    EXPECT_EQ(buffer.GetSize(), 4u);
    EXPECT_EQ(buffer.GetPosition(), 4u);
    ASSERT_EQ(buffer.WriteData("!", 1), BEXORESULT_OK);
    ASSERT_EQ(buffer.SetSize(6), BEXORESULT_OK);
    EXPECT_EQ(buffer.GetPosition(), 5u);
    ASSERT_EQ(buffer.WriteData("?", 1), BEXORESULT_OK);
    // Written through to the file while the buffer stays open.
    EXPECT_TRUE(buffer.FlushStream());
    EXPECT_EQ(ReadFile(path), "0123!?");
}

TEST_F(FileBufferTest, PathsAreNormalisedAndOpenOnlyTheNamedFile) {
    WriteFile(m_dir / "sub" / "a.txt", "x");
    const std::wstring mixed = m_dir.wstring() + L"\\sub/a.txt";
    EXPECT_TRUE(BexoDataBufferFile(mixed, BexoDataBufferFile::kModeRead).IsOpen());

    // On Windows a name the narrow entry points cannot carry does not open, even when the
    // file exists ("?" would name another); a POSIX file system takes it as it is.
    WriteFile(m_dir / fs::path(u8"\u4E2D.txt"), "x");
    const std::wstring wide = Path("") + L"\x4E2D.txt";
    EXPECT_EQ(BexoDataBufferFile(wide, BexoDataBufferFile::kModeRead).IsOpen(),
              !Platform::WindowsFileNames());
    EXPECT_FALSE(
        BexoDataBufferFile(Path("missing/x.bin"), BexoDataBufferFile::kModeCreate).IsOpen());
}

// Records the size of every read and write, and can fail the Nth write.
class RecordingBuffer : public BexoDataBufferMemoryDynamic {
public:
    BEXORESULT WriteData(const void* data, std::uint32_t count) override {
        writes.push_back(count);
        if (failWrite != 0 && writes.size() == failWrite) {
            return BEXORESULT_IO_ERROR;
        }
        return BexoDataBufferMemoryDynamic::WriteData(data, count);
    }
    BEXORESULT ReadData(void* data, std::uint32_t count) override {
        reads.push_back(count);
        return BexoDataBufferMemoryDynamic::ReadData(data, count);
    }
    std::vector<std::uint32_t> reads;
    std::vector<std::uint32_t> writes;
    std::size_t failWrite = 0;
};

TEST(CopyDataTest, RoundsFollowTheStagingArea) {
    struct Case {
        std::uint64_t count;
        std::vector<std::uint32_t> rounds;
    };
    const Case cases[] = {
        {0, {}}, {100, {100}}, {8192, {4096, 4096}}, {8193, {8193}}, {200000, {131072, 68928}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        RecordingBuffer source;
        std::vector<std::uint8_t> bytes(c.count + 7);
        std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
        ASSERT_EQ(source.BexoDataBufferMemoryDynamic::WriteData(
                      bytes.data(), static_cast<std::uint32_t>(bytes.size())),
                  BEXORESULT_OK);
        ASSERT_EQ(source.Seek(7), BEXORESULT_OK);
        RecordingBuffer destination;
        ASSERT_EQ(CopyData(&destination, &source, c.count), BEXORESULT_OK);
        EXPECT_EQ(source.reads, c.rounds);
        EXPECT_EQ(destination.writes, c.rounds);
        ASSERT_EQ(destination.GetSize(), c.count);
        EXPECT_TRUE(std::equal(bytes.begin() + 7, bytes.end(), destination.GetData()));
    }
}

TEST(CopyDataTest, TheFirstFailureEndsTheCopy) {
    BexoDataBufferMemoryDynamic source;
    ASSERT_EQ(source.SetSize(300000), BEXORESULT_OK);
    RecordingBuffer destination;
    destination.failWrite = 2;
    EXPECT_EQ(CopyRemainingData(&destination, &source), BEXORESULT_IO_ERROR);
    EXPECT_EQ(destination.writes.size(), 2u);

    // A source shorter than the count ends with its own code.
    ASSERT_EQ(source.Seek(299990), BEXORESULT_OK);
    BexoDataBufferMemoryDynamic sink;
    EXPECT_EQ(CopyData(&sink, &source, 20), BEXORESULT_END_OF_DATA);
    EXPECT_EQ(CopyRemainingData(&sink, &source), BEXORESULT_OK);
}

TEST_F(FileBufferTest, CopyRemainingDataFileToFile) {
    std::string content(300001, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 131 + (i >> 9));
    }
    WriteFile(m_dir / "in.bin", content);
    BexoDataBufferFile in(Path("in.bin"), BexoDataBufferFile::kModeRead);
    ASSERT_EQ(in.Seek(1), BEXORESULT_OK);
    {
        BexoDataBufferFile out(Path("out.bin"), BexoDataBufferFile::kModeCreate);
        ASSERT_EQ(CopyRemainingData(&out, &in), BEXORESULT_OK);
        EXPECT_EQ(out.GetSize(), content.size() - 1);
    }
    EXPECT_EQ(ReadFile(m_dir / "out.bin"), content.substr(1));
}

}  // namespace
