#include "patch/Package.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestFiles.h"
#include "patch/SafePath.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "repair/buffer/BexoUtil.h"

namespace fs = std::filesystem;

namespace {

class PackageBuilder {
public:
    explicit PackageBuilder(std::uint32_t version = 1) { Put32(version); }
    PackageBuilder& Name(const std::u16string& name) {
        std::string raw;
        AppendU32(raw, static_cast<std::uint32_t>(name.size()));
        for (const char16_t u : name) {
            raw += static_cast<char>(u & 0xFF);
            raw += static_cast<char>(u >> 8);
        }
        return Container(raw);
    }
    PackageBuilder& Container(const std::string& raw) {
        BexoDataBufferMemoryDynamic in;
        in.WriteData(raw.data(), static_cast<std::uint32_t>(raw.size()));
        in.Seek(0);
        BexoDataBufferMemoryDynamic out;
        EXPECT_EQ(BexoUtil::CompressData(&out, &in), BEXORESULT_OK);
        bytes.append(reinterpret_cast<const char*>(out.GetData()), out.GetSize());
        return *this;
    }
    PackageBuilder& File(const std::u16string& name, const std::string& content) {
        return Name(name).Container(content);
    }
    std::string bytes;

private:
    static void AppendU32(std::string& s, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            s += static_cast<char>(v >> (8 * i));
        }
    }
    void Put32(std::uint32_t v) { AppendU32(bytes, v); }
};

class PackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-package-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "out");
    }
    void TearDown() override { fs::remove_all(m_dir); }
    bool Unpack(const std::string& package) {
        BexoPatch::testing::WriteFile(m_dir / "p.zip", package);
        return UnpackPackage((m_dir / "p.zip").wstring(), (m_dir / "out").wstring());
    }
    std::string Read(const fs::path& relative) {
        return BexoPatch::testing::ReadFile(m_dir / "out" / relative);
    }
    std::size_t Count() {
        std::size_t n = 0;
        for (auto it = fs::recursive_directory_iterator(m_dir / "out");
             it != fs::recursive_directory_iterator(); ++it) {
            ++n;
        }
        return n;
    }
    fs::path m_dir;
};

TEST(PackageNameTest, EntryKinds) {
    struct Case {
        const wchar_t* name;
        bool directory;
    };
    const Case cases[] = {
        {L".\\data\\bin", true},
        {L".\\data\\bin\\kelvor.exe.diff", false},
        {L".\\data\\README", true},
        {L".\\data\\maps.v2\\", true},
        {L".\\data\\maps.v2", false},
        {L".\\addedFiles.txt", false},
        {L"", true},
        {L"a.b/c", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsDirectoryEntryName(c.name), c.directory) << c.name;
    }
}

TEST(SafePathTest, PathsThatLeaveTheirDirectory) {
    struct Case {
        const wchar_t* path;
        bool contained;
    };
    const Case cases[] = {
        {L".\\data\\bin\\a.exe", true},
        {L"bin\\kelvor.exe", true},
        {L"a..b\\c", true},
        {L"..\\x", false},
        {L".\\..\\x", false},
        {L"a\\..\\..\\b", false},
        {L"a/../b", false},
        {L"..", false},
        {L"\\abs", false},
        {L"/etc/passwd", false},
        {L"C:\\x", false},
        {L"C:x", false},
        {L"", false},
        {L"a\\\x01x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsContainedRelativePath(c.path), c.contained) << c.path;
    }
    // ":" opens a stream on Windows and is an ordinary name character on POSIX.
    EXPECT_EQ(IsContainedRelativePath(L"a\\b:stream"), !Platform::WindowsFileNames());
    EXPECT_EQ(IsContainedRelativePath(L"data\\x:y.txt"), !Platform::WindowsFileNames());
}

TEST(PackageNameTest, FilesWithoutAnExtensionTravelWithOneDotMore) {
    struct Case {
        const wchar_t* file;
        const wchar_t* entry;
    };
    const Case cases[] = {
        {L".\\data\\a.txt", L".\\data\\a.txt"},
        {L".\\data\\bin\\LICENSE", L".\\data\\bin\\LICENSE."},
        {L".\\data\\odd.", L".\\data\\odd.."},
        {L".\\data\\v1.2\\prog", L".\\data\\v1.2\\prog."},
    };
    for (const Case& c : cases) {
        const std::wstring entry = PackageFileEntryName(c.file);
        EXPECT_EQ(entry, c.entry);
        EXPECT_FALSE(IsDirectoryEntryName(entry)) << c.file;
        // Windows' file system drops the trailing "." by itself.
        EXPECT_EQ(UnpackedFileName(entry), Platform::WindowsFileNames() ? entry : c.file);
    }
}

TEST_F(PackageTest, UnpacksEntriesInOrder) {
    const std::string big(300000, 'z');
    PackageBuilder p;
    p.Name(u".\\data")
        .Name(u".\\data\\bin")
        .File(u".\\data\\bin\\kelvor.exe.diff", "diff bytes")
        .Name(u".\\data\\maps.v2\\")
        .File(u".\\data\\maps.v2\\big.map", big)
        .File(u".\\data\\empty.txt", "")
        .File(u".\\addedFiles.txt", "bin\\x.exe\r\nabc\r\n\r\n");
    ASSERT_TRUE(Unpack(p.bytes));
    EXPECT_EQ(Read("data/bin/kelvor.exe.diff"), "diff bytes");
    EXPECT_EQ(Read("data/maps.v2/big.map"), big);
    EXPECT_TRUE(fs::is_regular_file(m_dir / "out" / "data" / "empty.txt"));
    EXPECT_EQ(Read("data/empty.txt"), "");
    EXPECT_EQ(Read("addedFiles.txt"), "bin\\x.exe\r\nabc\r\n\r\n");
}

TEST_F(PackageTest, VersionAndEmptyPackages) {
    EXPECT_FALSE(Unpack(PackageBuilder(2).File(u".\\a.txt", "x").bytes));
    EXPECT_EQ(Count(), 0u);
    EXPECT_FALSE(Unpack(""));
    EXPECT_FALSE(Unpack("\x01\x00"));
    EXPECT_TRUE(Unpack(PackageBuilder().bytes));
    EXPECT_EQ(Count(), 0u);
}

TEST_F(PackageTest, BrokenPackagesFail) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::string truncated = PackageBuilder().File(u".\\a.txt", std::string(5000, 'a')).bytes;
    truncated.resize(truncated.size() - 3);
    std::string tooLong;
    {
        PackageBuilder p;
        p.Name(std::u16string(kMaxPackageNameUnits + 1, u'a'));
        tooLong = p.bytes;
    }
    std::string countTooLarge;
    {
        PackageBuilder p;
        p.Container(
            std::string("\x10\x00\x00\x00"
                        "a\0",
                        6));
        countTooLarge = p.bytes;
    }
    const Case cases[] = {
        {"missing directory", PackageBuilder().File(u".\\nodir\\a.txt", "x").bytes},
        {"no content after the last file name", PackageBuilder().Name(u".\\a.txt").bytes},
        {"truncated content", truncated},
        {"name too long", tooLong},
        {"name count beyond its bytes", countTooLarge},
        {"name with NUL", PackageBuilder().File(std::u16string(u"a\0b.txt", 7), "x").bytes},
        {"garbage after the version", PackageBuilder().bytes + "garbage!"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Unpack(c.bytes)) << c.name;
    }
}

TEST_F(PackageTest, AnExtensionlessNameIsADirectory) {
    // README is taken for a directory, so its content container is read as the next name.
    PackageBuilder p;
    p.Name(u".\\README").Name(u".\\b.txt").Container("content");
    ASSERT_TRUE(Unpack(p.bytes));
    EXPECT_TRUE(fs::is_directory(m_dir / "out" / "README"));
    EXPECT_EQ(Read("b.txt"), "content");
}

TEST_F(PackageTest, NamesThatLeaveTheDirectoryAreRefused) {
    for (const std::u16string name :
         {u"..\\escaped.txt", u".\\..\\escaped.txt", u".\\data\\..\\..\\escaped.txt",
          u"/tmp/escaped.txt", u"\\escaped.txt", u"C:\\escaped.txt", u"..\\escapeddir"}) {
        PackageBuilder p;
        p.File(u".\\first.txt", "ok").File(name, "bad");
        EXPECT_FALSE(Unpack(p.bytes));
        EXPECT_FALSE(fs::exists(m_dir / "escaped.txt"));
        EXPECT_FALSE(fs::exists(m_dir / "escapeddir"));
    }
}

TEST_F(PackageTest, ReaderWalksWithoutUnpacking) {
    PackageBuilder p;
    p.Name(u".\\data").File(u".\\data\\a.bin", std::string(100000, 'a')).File(u".\\b.txt", "bb");
    std::ofstream(m_dir / "p.zip", std::ios::binary) << p.bytes;
    PackageReader reader;
    ASSERT_EQ(reader.Open((m_dir / "p.zip").wstring()), BEXORESULT_OK);
    std::vector<std::wstring> names;
    std::uint64_t total = 0;
    while (!reader.AtEnd()) {
        PackageEntry entry;
        ASSERT_EQ(reader.Next(&entry), BEXORESULT_OK);
        names.push_back(entry.name);
        if (!entry.directory) {
            std::uint64_t raw = 0;
            std::uint64_t stored = 0;
            ASSERT_EQ(reader.SkipContent(&raw, &stored), BEXORESULT_OK);
            total += raw;
        }
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L".\\data", L".\\data\\a.bin", L".\\b.txt"}));
    EXPECT_EQ(total, 100002u);
}

TEST_F(PackageTest, APackageLargerThanTheFreeSpaceIsNotUnpacked) {
    const std::string package =
        PackageBuilder().File(u".\\a.txt", std::string(3000, 'a')).File(u".\\b.txt", "bb").bytes;
    std::uint64_t size = 0;
    BexoPatch::testing::WriteFile(m_dir / "p.zip", package);
    ASSERT_EQ(PackageUnpackedSize((m_dir / "p.zip").wstring(), &size), BEXORESULT_OK);
    EXPECT_EQ(size, 3002u);
    Platform::SetFreeDiskSpaceForTests(3001);
    EXPECT_FALSE(Unpack(package));
    EXPECT_EQ(Count(), 0u);
    Platform::SetFreeDiskSpaceForTests(3002);
    EXPECT_TRUE(Unpack(package));
    Platform::SetFreeDiskSpaceForTests(std::nullopt);
    EXPECT_EQ(Read("a.txt"), std::string(3000, 'a'));
}

}  // namespace
