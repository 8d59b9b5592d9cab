#include "kernel/FileUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "FileNames.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace {

TEST(PathTest, JoinPath) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        const wchar_t* joined;
    };
    const Case cases[] = {
        {L"", L"x\\y", L"x\\y"},      {L"C:\\Kelvor\\", L"bin\\a.exe", L"C:\\Kelvor\\bin\\a.exe"},
        {L"dir/", L"a", L"dir/a"},    {L"dir", L"a", L"dir/a"},
        {L"dir", L"\\a", L"dir/\\a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JoinPath(c.a, c.b), c.joined);
    }
}

TEST(PathTest, NamesAndExtensions) {
    struct Case {
        const wchar_t* path;
        const char* name;
        const char* withoutExtension;
        const char* extension;
    };
    const Case cases[] = {
        {L"C:\\dir.v2\\file", "file", "C:\\dir.v2\\file", ""},
        {L"dumps/Kelvor-41861.dmp", "Kelvor-41861.dmp", "dumps/Kelvor-41861", "dmp"},
        {L"a\\b.tar.gz", "b.tar.gz", "a\\b.tar", "gz"},
        {L"plain", "plain", "plain", ""},
        {L"dir\\", "", "dir\\", ""},
        {L"x\\\x4E2D.txt", "?.txt", "x\\?", "txt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileNamePart(c.path), c.name);
        EXPECT_EQ(PathWithoutExtension(c.path), c.withoutExtension);
        EXPECT_EQ(PathExtension(c.path), c.extension);
    }
}

TEST(PathTest, RelativePathAndSeparators) {
    EXPECT_EQ(RelativePath(L"C:/Kelvor/data/maps/a.ka", L"C:\\Kelvor"), L"data\\maps\\a.ka");
    EXPECT_EQ(RelativePath(L"C:\\Kelvor\\x", L"C:\\Kelvor\\"), L"x");
    std::wstring p = L"a/b\\c";
    NormaliseSeparators(p, L'/');
    EXPECT_EQ(p, L"a/b/c");
}

TEST(PathTest, TempFileNamesAreUniqueAndJoined) {
    const std::wstring a = MakeTempFileName(L"C:/temp");
    const std::wstring b = MakeTempFileName(L"C:/temp");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind(L"C:\\temp/file", 0), 0u) << std::string(a.begin(), a.end());
}

class FileUtilTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("osmel-fileutil-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root);
    }
    void TearDown() override {
        std::error_code ec;
        for (auto& e : fs::recursive_directory_iterator(m_root, ec)) {
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(m_root, ec);
    }
    std::wstring W(const std::string& rel) const {
        return Platform::FromSystemPath((m_root / rel).string());
    }
    // `rel` is UTF-8 on every platform (a narrow path is the ANSI code page on Windows).
    void Write(const std::string& rel, const std::string& content) const {
        const fs::path path = m_root / fs::path(std::u8string(rel.begin(), rel.end()));
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    fs::path m_root;
};

TEST_F(FileUtilTest, MakeDirectoryCreatesMissingLevels) {
    fs::create_directories(m_root / "one");
    EXPECT_TRUE(MakeDirectory(W("one") + L"\\two\\three\\"));
    EXPECT_TRUE(fs::is_directory(m_root / "one/two/three"));
    EXPECT_TRUE(MakeDirectory(W("one/two")));
    EXPECT_FALSE(MakeDirectory(L""));
}

TEST_F(FileUtilTest, MakeDirectoryRefusesAFileInTheWay) {
    Write("f", "x");
    EXPECT_FALSE(MakeDirectory(W("f")));
    EXPECT_EQ(Platform::GetLastError(), 80u);
    EXPECT_FALSE(MakeDirectory(W("f/sub")));
}

TEST_F(FileUtilTest, AttributesSizesAndTimes) {
    Write("a.bin", std::string(1234, 'z'));
    std::int64_t size = -1;
    std::int64_t time = -1;
    EXPECT_EQ(GetFileSize(W("a.bin"), &size), BEXORESULT_OK);
    EXPECT_EQ(size, 1234);
    EXPECT_EQ(GetFileTime(W("a.bin"), &time), BEXORESULT_OK);
    EXPECT_GT(time, 1600000000);
    EXPECT_EQ(GetFileSize(W("missing"), &size), BEXORESULT_IO_ERROR);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(GetFileTime(W("missing"), &time), BEXORESULT_IO_ERROR);
    EXPECT_EQ(time, 0);
    EXPECT_TRUE(FileExists(W("a.bin")));
    EXPECT_TRUE(FileExists(W("")));
    EXPECT_FALSE(FileExists(W("missing")));
    EXPECT_TRUE(IsDirectory(W("")));
    EXPECT_FALSE(IsDirectory(W("a.bin")));
    EXPECT_FALSE(IsDirectory(W("missing")));
}

TEST_F(FileUtilTest, LargeFilesReportTheirWholeSize) {
    { std::ofstream f(m_root / "sparse", std::ios::binary); }
    fs::resize_file(m_root / "sparse", 5'000'000'000LL);
    std::int64_t size = 0;
    EXPECT_EQ(GetFileSize(W("sparse"), &size), BEXORESULT_OK);
    EXPECT_EQ(size, 5'000'000'000LL);
}

TEST_F(FileUtilTest, ReadOnlyFilesAreNeitherMovedNorDeleted) {
    Write("ro.txt", "x");
    fs::permissions(m_root / "ro.txt", fs::perms::owner_read | fs::perms::group_read);
    EXPECT_FALSE(DeleteFile(W("ro.txt")));
    EXPECT_FALSE(MoveFile(W("ro.txt"), W("moved.txt")));
    EXPECT_TRUE(fs::exists(m_root / "ro.txt"));
    EXPECT_TRUE(ClearReadOnly(W("ro.txt")));
    EXPECT_TRUE(ClearReadOnly(W("ro.txt")));
    EXPECT_TRUE(MoveFile(W("ro.txt"), W("moved.txt")));
    EXPECT_TRUE(DeleteFile(W("moved.txt")));
    EXPECT_FALSE(DeleteFile(L""));
}

TEST_F(FileUtilTest, MoveFileNeverReplacesItsTarget) {
    Write("a", "first");
    Write("b", "second");
    EXPECT_FALSE(MoveFile(W("a"), W("b")));
    EXPECT_FALSE(MoveFile(W("missing"), W("c")));
    std::ifstream in(m_root / "b");
    std::string content;
    in >> content;
    EXPECT_EQ(content, "second");
}

TEST_F(FileUtilTest, DeleteDirectoryTreeStopsAtAReadOnlyFile) {
    Write("tree/a/b/keep.txt", "x");
    Write("tree/a/gone.txt", "x");
    Write("tree/other/gone.txt", "x");
    fs::permissions(m_root / "tree/a/b/keep.txt", fs::perms::owner_read);
    EXPECT_FALSE(DeleteDirectoryTree(W("tree")));
    EXPECT_TRUE(fs::exists(m_root / "tree/a/b/keep.txt"));

    fs::permissions(m_root / "tree/a/b/keep.txt", fs::perms::owner_write, fs::perm_options::add);
    EXPECT_TRUE(DeleteDirectoryTree(W("tree")));
    EXPECT_FALSE(fs::exists(m_root / "tree"));
    EXPECT_FALSE(DeleteDirectoryTree(W("tree")));
}

TEST_F(FileUtilTest, ListDirectoryListsFilesAndDirectoriesInUnitOrder) {
    Write("d/b.txt", "");
    Write("d/A.txt", "");
    Write("d/sub/x", "");
    Write("d/\xC3\xA9.txt", "");
    WidePathSet paths;
    ASSERT_EQ(ListDirectory(W("d"), &paths), BEXORESULT_OK);
    std::vector<std::wstring> names;
    for (const auto& p : paths) {
        names.push_back(p.substr(W("d").size() + 1));
    }
    // Through Windows' narrow entry points "é" is "?"; elsewhere the name is kept.
    const std::vector<std::wstring> expected =
        Platform::WindowsFileNames()
            ? std::vector<std::wstring>{L"?.txt", L"A.txt", L"b.txt", L"sub"}
            : std::vector<std::wstring>{L"A.txt", L"b.txt", L"sub", L"\u00E9.txt"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(ListDirectory(W("none"), &paths), BEXORESULT_NOT_FOUND);
    EXPECT_TRUE(paths.empty());
}

TEST_F(FileUtilTest, EveryHelperActsOnTheNamedFileAndNoOther) {
    if (Platform::WindowsFileNames()) {
        GTEST_SKIP() << "Windows names none of these files";
    }
    const std::vector<std::string> names = BexoPatch::testing::PosixFileNames();
    // Each file holds its own name, so sizes tell "café.txt" (9 bytes) from "caf?.txt" (8).
    for (const std::string& name : names) {
        Write("d/" + name, name);
    }
    WidePathSet paths;
    ASSERT_EQ(ListDirectory(W("d"), &paths), BEXORESULT_OK);
    std::set<std::wstring> listed;
    for (const std::wstring& path : paths) {
        listed.insert(path.substr(W("d").size() + 1));
    }
    fs::create_directories(m_root / "moved");
    for (const std::string& name : names) {
        const std::wstring wide = Utf8ToWide(name);
        const std::wstring path = W("d") + L"\\" + wide;
        const fs::path file = m_root / "d" / fs::path(std::u8string(name.begin(), name.end()));
        EXPECT_EQ(listed.count(wide), 1u) << name;
        EXPECT_TRUE(FileExists(path)) << name;
        EXPECT_FALSE(IsDirectory(path)) << name;
        std::int64_t size = 0;
        std::int64_t time = 0;
        EXPECT_EQ(GetFileSize(path, &size), BEXORESULT_OK) << name;
        EXPECT_EQ(size, static_cast<std::int64_t>(name.size())) << name;
        EXPECT_EQ(GetFileTime(path, &time), BEXORESULT_OK) << name;
        EXPECT_GT(time, 1600000000) << name;

        const std::wstring moved = W("moved") + L"\\" + wide;
        ASSERT_TRUE(MoveFile(path, moved)) << name;
        EXPECT_FALSE(fs::exists(file)) << name;
        EXPECT_EQ(std::filesystem::file_size(m_root / "moved" /
                                             fs::path(std::u8string(name.begin(), name.end()))),
                  name.size())
            << name;
        EXPECT_FALSE(FileExists(path)) << name;
        ASSERT_TRUE(MoveFile(moved, path)) << name;
    }
    std::size_t left = names.size();
    for (const std::string& name : names) {
        ASSERT_TRUE(DeleteFile(W("d") + L"\\" + Utf8ToWide(name))) << name;
        --left;
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(m_root / "d"),
                                                         fs::directory_iterator())),
                  left)
            << name;
        EXPECT_FALSE(fs::exists(m_root / "d" / fs::path(std::u8string(name.begin(), name.end()))))
            << name;
    }
}

TEST_F(FileUtilTest, NamesThePathsCannotCarryAreLeftAlone) {
    if (Platform::WindowsFileNames()) {
        GTEST_SKIP() << "POSIX names";
    }
    // "\\" in a POSIX name would read as a separator, bytes that are not UTF-8 as U+FFFD:
    // either way the path would name another file.
    Write("d/ok.txt", "");
    Write("d/sub\\..\\..\\x", "");
    std::ofstream(m_root / "d" / "bad\xFF.txt") << "";
    WidePathSet paths;
    ASSERT_EQ(ListDirectory(W("d"), &paths), BEXORESULT_OK);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths.begin()->substr(W("d").size() + 1), L"ok.txt");
    EXPECT_FALSE(DeleteDirectoryTree(W("d")));
    EXPECT_TRUE(fs::exists(m_root / "d" / "bad\xFF.txt"));
}

TEST_F(FileUtilTest, DeleteDirectoryTreeRemovesLinksNotWhatTheyPointTo) {
    if (Platform::WindowsFileNames()) {
        GTEST_SKIP() << "POSIX links";
    }
    Write("outside/keep.txt", "x");
    Write("tree/sub/gone.txt", "x");
    fs::create_directory_symlink(m_root / "outside", m_root / "tree/sub/to-dir");
    fs::create_symlink(m_root / "outside/keep.txt", m_root / "tree/to-file");
    fs::permissions(m_root / "outside/keep.txt", fs::perms::owner_read);
    fs::create_symlink(m_root / "nowhere", m_root / "tree/dangling");
    EXPECT_TRUE(DeleteDirectoryTree(W("tree")));
    EXPECT_FALSE(fs::exists(m_root / "tree"));
    EXPECT_TRUE(fs::exists(m_root / "outside/keep.txt"));
}

TEST_F(FileUtilTest, LinksOnTheWayAreFound) {
    if (Platform::WindowsFileNames()) {
        GTEST_SKIP() << "POSIX links";
    }
    Write("outside/x.txt", "x");
    Write("root/dir/a.txt", "a");
    fs::create_directory_symlink(m_root / "outside", m_root / "root/link");
    fs::create_symlink(m_root / "outside/x.txt", m_root / "root/dir/file-link");
    EXPECT_FALSE(LeadsThroughLink(W("root"), L"dir\\a.txt"));
    EXPECT_FALSE(LeadsThroughLink(W("root"), L"dir\\new\\b.txt"));
    EXPECT_TRUE(LeadsThroughLink(W("root"), L"link\\x.txt"));
    EXPECT_TRUE(LeadsThroughLink(W("root"), L"link/new.txt"));
    EXPECT_TRUE(LeadsThroughLink(W("root"), L"dir\\file-link"));
}

TEST(PathTest, ColonsThatAreOnlyPartOfNames) {
    struct Case {
        const wchar_t* path;
        bool posix;
    };
    const Case cases[] = {
        {L"plain\\a.txt", true}, {L"data\\a:b.txt", true}, {L"ab:c", true},
        {L"C:x", false},         {L"c:\\x", false},        {L"1:x", true},
    };
    for (const Case& c : cases) {
        const bool expected = Platform::WindowsFileNames()
                                  ? std::wstring_view(c.path).find(L':') == std::wstring_view::npos
                                  : c.posix;
        EXPECT_EQ(HasOnlyNameColons(c.path), expected) << c.path;
    }
}

}  // namespace
