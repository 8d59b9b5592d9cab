// The engine with real files and real processes: patch directories made by osmel-mkpatch
// diff, kpatchl-w32.exe and the KAConverter.exe double installed in the installation's bin.
#include "patch/PatchEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "FileNames.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "UninstallLogs.h"
#include "kernel/Text.h"
#include "patch/Package.h"
#include "patch/PatchCallbacks.h"
#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/System.h"

namespace fs = std::filesystem;
using BexoPatch::testing::Binary;
using BexoPatch::testing::MinimalUninstallLog;
using BexoPatch::testing::ReadFile;
using BexoPatch::testing::RunProcess;
using BexoPatch::testing::WriteFile;

namespace {

using Tree = std::map<std::string, std::string>;

std::vector<std::pair<int, std::wstring>> g_lines;
std::int32_t g_total = -1;
int g_continueCalls = 0;
int g_cancelAtCall = -1;  // the continue callback answers false at this call

void CaptureLine(std::int32_t level, const std::wstring& text) {
    g_lines.emplace_back(level, text);
}
void CaptureTotal(std::int32_t count) {
    g_total = count;
}
bool Continue() {
    return ++g_continueCalls != g_cancelAtCall;
}

// Every file below root except the tools, relative with "/".
Tree Snapshot(const fs::path& root) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string rel = entry.path().lexically_relative(root).generic_string();
        if (entry.is_regular_file() && rel != "bin/kpatchl-w32.exe") {
            tree[rel] = ReadFile(entry.path());
        }
    }
    return tree;
}

class PatchEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-engine-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        g_lines.clear();
        g_total = -1;
        g_continueCalls = 0;
        g_cancelAtCall = -1;
        SetPatchCallbacks(CaptureTotal, Continue, CaptureLine);
        // Five patched files, an added file in a new directory, a deleted file and an
        // unchanged one.
        for (int i = 1; i <= 5; ++i) {
            WriteFile(Old("bin/module" + std::to_string(i) + ".dll"), Binary(20000 + i, i));
            WriteFile(New("bin/module" + std::to_string(i) + ".dll"),
                      Binary(20000 + i, i + 3) + "v2");
        }
        WriteFile(Old("data/same.txt"), "unchanged");
        WriteFile(New("data/same.txt"), "unchanged");
        WriteFile(Old("data/gone.txt"), "deleted by the step");
        WriteFile(New("data/maps/new.map"), "added by the step");
    }
    void TearDown() override {
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        RemoveTree(m_dir);
    }
    // Wine frees a finished tool's current directory (bin) a moment after reporting the
    // tool ended, and no event tells when: the removal is tried for up to five seconds.
    static void RemoveTree(const fs::path& path) {
        std::error_code error;
        for (int attempt = 0; attempt < 250; ++attempt) {
            fs::remove_all(path, error);
            if (!error) {
                return;
            }
            Platform::Sleep(20);
        }
        FAIL() << "cannot remove " << path << ": " << error.message();
    }
    fs::path Old(const std::string& rel) const { return m_dir / "old" / rel; }
    fs::path New(const std::string& rel) const { return m_dir / "new" / rel; }
    fs::path Installed(const std::string& rel) const { return m_dir / "install" / rel; }

    // diff the builds, install the old one with the tools.
    void Prepare() {
        ASSERT_EQ(RunProcess(L"\"" + Utf8ToWide(OSMEL_MKPATCH) + L"\" diff --level 3 \"" +
                             (m_dir / "old").wstring() + L"\" \"" + (m_dir / "new").wstring() +
                             L"\" -o \"" + (m_dir / "patch").wstring() + L"\""),
                  0);
        fs::copy(m_dir / "old", m_dir / "install", fs::copy_options::recursive);
        fs::copy_file(OSMEL_KPATCHL, Installed("bin/kpatchl-w32.exe"));
        m_old = Snapshot(m_dir / "install");
        m_new = Snapshot(m_dir / "new");
    }
    bool Apply() {
        return PatchInstallation((m_dir / "install").wstring(), (m_dir / "patch").wstring(),
                                 L"BexoPortico.exe");
    }
    void ExpectRestored() { EXPECT_EQ(Snapshot(m_dir / "install"), m_old); }
    std::vector<std::wstring> Lines(int level) const {
        std::vector<std::wstring> lines;
        for (const auto& [l, text] : g_lines) {
            if (l == level) {
                lines.push_back(text);
            }
        }
        return lines;
    }
    static std::wstring Backslashed(std::wstring path) {
        for (wchar_t& c : path) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        return path;
    }
    // An installed file's path as the engine names it.
    std::wstring Path(const std::string& rel) const {
        return Backslashed((m_dir / "install").wstring() + L"\\" + Utf8ToWide(rel));
    }

    fs::path m_dir;
    Tree m_old;
    Tree m_new;
};

TEST_F(PatchEngineTest, AppliesAStep) {
    Prepare();
    WriteFile(Installed("unins000.dat"), MinimalUninstallLog(100));
    ASSERT_TRUE(Apply());
    const std::string log = ReadFile(Installed("unins000.dat"));
    EXPECT_NE(log.find(ToNarrow(
                  Path("data/maps/new.map").substr((m_dir / "install").wstring().size() + 1))),
              std::string::npos);
    fs::remove(Installed("unins000.dat"));
    EXPECT_EQ(Snapshot(m_dir / "install"), m_new);
    EXPECT_EQ(g_total, 7);
    EXPECT_TRUE(Lines(LOG_ERROR).empty());
    // Once per entry, and again while a tool runs long.
    EXPECT_GE(g_continueCalls, 7);
}

TEST_F(PatchEngineTest, AllListsEmptyChangeNothing) {
    fs::remove_all(m_dir / "new");
    fs::copy(m_dir / "old", m_dir / "new", fs::copy_options::recursive);
    Prepare();
    WriteFile(Installed("unins000.dat"), std::string(600, 'u'));
    m_old = Snapshot(m_dir / "install");
    ASSERT_TRUE(Apply());
    ExpectRestored();
    EXPECT_EQ(g_total, 0);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(PatchEngineTest, FailureAtTheThirdOfFiveRestoresEverything) {
    Prepare();
    WriteFile(m_dir / "patch/data/bin/module3.dll.diff", "not a difference");
    EXPECT_FALSE(Apply());
    ExpectRestored();
    EXPECT_EQ(Lines(LOG_ERROR),
              std::vector<std::wstring>{
                  L"An unknown error (5) occurred while patching file bin\\module3.dll"});
    for (const auto& entry : fs::recursive_directory_iterator(m_dir / "install")) {
        EXPECT_NE(entry.path().extension(), ".pbk") << entry.path();
    }
}

TEST_F(PatchEngineTest, AnAlreadyPatchedFileIsSkippedAndNeverRestored) {
    Prepare();
    // Removed first: mingw-w64's libstdc++ does not copy over an existing file.
    fs::remove(Installed("bin/module2.dll"));
    fs::copy_file(New("bin/module2.dll"), Installed("bin/module2.dll"));
    WriteFile(Installed("bin/module4.dll"), "damaged by the user");
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Lines(LOG_NOTE),
              std::vector<std::wstring>{L"Existing file appears to have been patched already: " +
                                        Path("bin/module2.dll")});
    EXPECT_EQ(Lines(LOG_ERROR),
              std::vector<std::wstring>{L"Existing file is damaged and cannot be patched: " +
                                        Path("bin/module4.dll")});
    EXPECT_EQ(ReadFile(Installed("bin/module2.dll")), ReadFile(New("bin/module2.dll")));
    EXPECT_EQ(ReadFile(Installed("bin/module1.dll")), ReadFile(Old("bin/module1.dll")));
    EXPECT_FALSE(fs::exists(Installed("bin/module2.dll.pbk")));
}

TEST_F(PatchEngineTest, ACancelBetweenEntriesRollsBackSilently) {
    Prepare();
    g_cancelAtCall = 5;  // after the add, the delete and two patched files
    EXPECT_FALSE(Apply());
    ExpectRestored();
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(PatchEngineTest, StaleBackups) {
    Prepare();
    WriteFile(Installed("bin/module1.dll.pbk"), "left by an interrupted run");
    ASSERT_TRUE(Apply());
    EXPECT_FALSE(fs::exists(Installed("bin/module1.dll.pbk")));
    EXPECT_EQ(ReadFile(Installed("bin/module1.dll")), ReadFile(New("bin/module1.dll")));

    // A backup name that cannot be cleared fails the step.
    RemoveTree(m_dir / "install");
    fs::copy(m_dir / "old", m_dir / "install", fs::copy_options::recursive);
    fs::copy_file(OSMEL_KPATCHL, Installed("bin/kpatchl-w32.exe"));
    fs::create_directories(Installed("bin/module2.dll.pbk/x"));
    g_lines.clear();
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Lines(LOG_ERROR), std::vector<std::wstring>{L"Failed to create backup of file " +
                                                          Path("bin/module2.dll.pbk")});
    EXPECT_EQ(ReadFile(Installed("bin/module1.dll")), ReadFile(Old("bin/module1.dll")));
    EXPECT_FALSE(fs::exists(Installed("bin/module1.dll.pbk")));
}

TEST_F(PatchEngineTest, ThePorticoIsPatchedLast) {
    WriteFile(Old("bin/BexoPortico.exe"), Binary(30000, 1));
    WriteFile(New("bin/BexoPortico.exe"), Binary(30000, 9));
    Prepare();
    // Listed first (it sorts first); a failure in a later entry shows it has not run yet.
    EXPECT_EQ(ReadFile(m_dir / "patch/patchedFiles.txt").rfind("bin\\BexoPortico.exe", 0), 0u);
    WriteFile(m_dir / "patch/data/bin/BexoPortico.exe.diff", "bad");
    WriteFile(m_dir / "patch/data/bin/module5.dll.diff", "bad");
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Lines(LOG_ERROR),
              std::vector<std::wstring>{
                  L"An unknown error (5) occurred while patching file bin\\module5.dll"});
    ExpectRestored();
}

TEST_F(PatchEngineTest, AToolThatCannotStart) {
    Prepare();
    fs::remove(Installed("bin/kpatchl-w32.exe"));
    m_old = Snapshot(m_dir / "install");
    EXPECT_FALSE(Apply());
    ASSERT_EQ(Lines(LOG_NORMAL).size(), 1u);
    const std::wstring bin = (m_dir / "install").wstring() + L"\\bin\\";
    EXPECT_EQ(Lines(LOG_NORMAL)[0], L"Failed patch command: \"" + bin + L"kpatchl-w32.exe\" \"" +
                                        Path("bin/module1.dll.pbk") + L"\" \"" +
                                        Backslashed((m_dir / "patch").wstring()) +
                                        L"\\data\\bin\\module1.dll.diff\" \"" +
                                        Path("bin/module1.dll") + L"\"");
    ExpectRestored();
}

TEST_F(PatchEngineTest, TheConverterPatchesKaFiles) {
    WriteFile(Old("data/terrain.ka"), Binary(5000, 1));
    WriteFile(New("data/terrain.ka"), Binary(5000, 4));
    // A ".ka" file in a folder whose name holds ".ka" too: the authoring tool and the engine
    // must agree that the converter patches it.
    WriteFile(Old("data/maps.kar/map.ka"), Binary(6000, 2));
    WriteFile(New("data/maps.kar/map.ka"), Binary(6000, 5));
    fs::create_directories(m_dir / "old" / "bin");
    fs::copy_file(OSMEL_KACONVERTER, Old("bin/KAConverter.exe"));
    fs::create_directories(m_dir / "new" / "bin");
    fs::copy_file(OSMEL_KACONVERTER, New("bin/KAConverter.exe"));
    Prepare();
    ASSERT_TRUE(fs::exists(m_dir / "patch/data/data/terrain-diff.ka"));
    ASSERT_TRUE(fs::exists(m_dir / "patch/data/data/maps.kar/map-diff.ka"));
    ASSERT_TRUE(Apply());
    EXPECT_EQ(Snapshot(m_dir / "install"), m_new);

    // Contents that do not match: the converter's exit code 1.
    RemoveTree(m_dir / "install");
    fs::copy(m_dir / "old", m_dir / "install", fs::copy_options::recursive);
    fs::copy_file(OSMEL_KPATCHL, Installed("bin/kpatchl-w32.exe"));
    WriteFile(Installed("data/terrain.ka"), "something else");
    m_old = Snapshot(m_dir / "install");
    g_lines.clear();
    EXPECT_FALSE(Apply());
    EXPECT_EQ(
        Lines(LOG_ERROR),
        std::vector<std::wstring>{L"Failed to patch data\\terrain.ka, file contents do not match"});
    ExpectRestored();
}

TEST_F(PatchEngineTest, AnAddedFileInTheWayIsKeptForTheRollBack) {
    Prepare();
    WriteFile(Installed("data/maps/new.map"), "the user's own file");
    const fs::path diff = m_dir / "patch/data/bin/module1.dll.diff";
    const std::string goodDiff = ReadFile(diff);
    WriteFile(diff, "bad");
    m_old = Snapshot(m_dir / "install");
    EXPECT_FALSE(Apply());
    ExpectRestored();
    EXPECT_FALSE(fs::exists(Installed("data/maps/new.map.pbk")));

    WriteFile(diff, goodDiff);
    ASSERT_TRUE(Apply());
    EXPECT_EQ(Snapshot(m_dir / "install"), m_new);
}

TEST_F(PatchEngineTest, ListPathsThatLeaveTheInstallationChangeNothing) {
    Prepare();
    WriteFile(m_dir / "outside.txt", "outside");
    std::ofstream(m_dir / "patch" / "deletedFiles.txt", std::ios::binary | std::ios::app)
        << "..\\outside.txt\r\n\r\n\r\n";
    EXPECT_FALSE(Apply());
    ExpectRestored();
    EXPECT_TRUE(fs::exists(m_dir / "outside.txt"));
    ASSERT_EQ(Lines(LOG_ERROR).size(), 1u);
    EXPECT_EQ(Lines(LOG_ERROR)[0].rfind(L"Invalid patch list ", 0), 0u);
    EXPECT_EQ(g_total, -1);
}

// Lists that could make a step act on the engine's own files, lose a file or leave the
// installation are refused before anything changes, the uninstaller log included.
TEST_F(PatchEngineTest, HostileListsChangeNothing) {
    struct Case {
        const char* name;
        const char* list;
        std::vector<std::string> paths;  // appended to the list
        // Names that only Windows' file system takes for another file or a device.
        bool windowsNames = false;
    };
    const Case cases[] = {
        {"the journal", "addedFiles.txt", {"osmel-step.journal"}},
        {"the journal in another case", "addedFiles.txt", {"OSMEL-Step.Journal"}},
        {"the unfinished plan", "addedFiles.txt", {"osmel-step.journal.new"}},
        {"the uninstaller log", "addedFiles.txt", {"unins000.dat"}},
        {"the log's saved copy", "deletedFiles.txt", {"unins000.dat.osmel-old"}},
        {"the log's temporary file", "addedFiles.txt", {"unins000_temp.dat"}},
        {"a backup", "addedFiles.txt", {"bin\\module1.dll.pbk"}},
        {"a backup in another case", "deletedFiles.txt", {"BIN/Module1.DLL.PBK"}},
        {"twice in one list", "addedFiles.txt", {"data\\maps\\new.map"}},
        {"in the added and the deleted list", "addedFiles.txt", {"data\\gone.txt"}},
        {"twice, spelt differently", "deletedFiles.txt", {"DATA/./Gone.txt"}},
        {"a file below another entry's file",
         "addedFiles.txt",
         {"data\\gone.txt.x", "data\\gone.txt\\inner.txt"}},
        {"an existing directory", "deletedFiles.txt", {"data"}},
        {"climbing out", "deletedFiles.txt", {"..\\outside.txt"}},
        {"absolute", "deletedFiles.txt", {"/outside.txt"}},
        {"a root", "deletedFiles.txt", {"\\outside.txt"}},
        {"a drive", "deletedFiles.txt", {"C:\\outside.txt"}},
        {"a device", "addedFiles.txt", {"NUL"}, true},
        {"a device with an extension", "addedFiles.txt", {"data\\com1.txt"}, true},
        {"a trailing dot", "deletedFiles.txt", {"data\\gone.txt."}, true},
    };
    Prepare();
    WriteFile(Installed("unins000.dat"), MinimalUninstallLog(100));
    WriteFile(m_dir / "outside.txt", "outside");
    m_old = Snapshot(m_dir / "install");
    for (const Case& c : cases) {
        if (c.windowsNames && !Platform::WindowsFileNames()) {
            continue;
        }
        SCOPED_TRACE(c.name);
        const fs::path list = m_dir / "patch" / c.list;
        const std::string original = ReadFile(list);
        std::string text = original;
        for (const std::string& path : c.paths) {
            text += path + "\r\n0123456789abcdef0123456789abcdef\r\n\r\n";
        }
        WriteFile(list, text);
        g_lines.clear();
        g_total = -1;
        EXPECT_FALSE(Apply());
        WriteFile(list, original);
        ExpectRestored();
        EXPECT_EQ(ReadFile(m_dir / "outside.txt"), "outside");
        EXPECT_EQ(g_total, -1) << "the step started";
        ASSERT_EQ(Lines(LOG_ERROR).size(), 1u);
        EXPECT_EQ(Lines(LOG_ERROR)[0].rfind(L"Invalid patch list ", 0), 0u)
            << WideToUtf8(Lines(LOG_ERROR)[0]);
    }
    ASSERT_TRUE(Apply());
}

// An added or patched file that does not come out as the list says fails the step.
TEST_F(PatchEngineTest, FilesThatDoNotMatchTheirListChecksumFailTheStep) {
    Prepare();
    WriteFile(m_dir / "patch/data/data/maps/new.map", "not what the list says");
    EXPECT_FALSE(Apply());
    ExpectRestored();
    EXPECT_FALSE(fs::exists(Installed("data/maps"))) << "a directory the step made is left";
    EXPECT_EQ(Lines(LOG_ERROR),
              std::vector<std::wstring>{L"The added file does not match its checksum: " +
                                        Path("data/maps/new.map")});

    // A difference tool that answers success for a wrong result.
    WriteFile(m_dir / "patch/data/data/maps/new.map", ReadFile(New("data/maps/new.map")));
    const fs::path list = m_dir / "patch/patchedFiles.txt";
    std::string text = ReadFile(list);
    const std::size_t at = text.find("bin\\module3.dll\r\n");
    ASSERT_NE(at, std::string::npos);
    const std::size_t md5 = text.find("\r\n", at) + 2;
    text.replace(md5, 32, std::string(32, 'f'));
    WriteFile(list, text);
    g_lines.clear();
    EXPECT_FALSE(Apply());
    ExpectRestored();
    EXPECT_EQ(Lines(LOG_ERROR),
              std::vector<std::wstring>{L"The patched file does not match its checksum: " +
                                        Path("bin/module3.dll")});
}

// A tool that never ends is stopped at its time limit, or at once on Cancel; the step is
// undone either way.
TEST_F(PatchEngineTest, AHangingToolIsStoppedByItsTimeLimitOrACancel) {
#ifdef _WIN32
    GTEST_SKIP() << "the hanging tool is a shell script";
#else
    Prepare();
    fs::remove(Installed("bin/kpatchl-w32.exe"));
    WriteFile(Installed("bin/kpatchl-w32.exe"), "#!/bin/sh\nexec sleep 600\n");
    fs::permissions(Installed("bin/kpatchl-w32.exe"), fs::perms::owner_all);
    m_old = Snapshot(m_dir / "install");

    SetPatchToolTimeLimit(1);
    const std::uint64_t started = Platform::GetTickCount64();
    EXPECT_FALSE(Apply());
    SetPatchToolTimeLimit(kDefaultPatchToolTimeLimitSeconds);
    EXPECT_LT(Platform::GetTickCount64() - started, 60000u);
    ExpectRestored();
    EXPECT_EQ(Lines(LOG_ERROR),
              std::vector<std::wstring>{
                  L"The patch tool took longer than 1 seconds for bin\\module1.dll and was "
                  L"stopped."});

    // The add, the delete and the first patched file ask first; the next question comes
    // while its tool runs.
    g_lines.clear();
    g_continueCalls = 0;
    g_cancelAtCall = 4;
    EXPECT_FALSE(Apply());
    ExpectRestored();
    EXPECT_TRUE(Lines(LOG_ERROR).empty());
#endif
}

TEST_F(PatchEngineTest, MissingListsAndFilesAlreadyGone) {
    Prepare();
    fs::remove(Installed("data/gone.txt"));
    m_old = Snapshot(m_dir / "install");
    ASSERT_TRUE(Apply());
    EXPECT_EQ(Lines(LOG_NOTE),
              std::vector<std::wstring>{L"File seems to have been removed already: " +
                                        Path("data/gone.txt")});
    g_lines.clear();
    fs::remove(m_dir / "patch" / "deletedFiles.txt");
    EXPECT_FALSE(Apply());
    EXPECT_EQ(
        Lines(LOG_ERROR),
        std::vector<std::wstring>{L"Could not open: " + (m_dir / "patch").wstring() +
                                  L"/deletedFiles.txt for reading. The file might not be present"});
}

// Every row of the names table through diff, pack, unpack and the engine (added, deleted
// and patched files), in folders that are not plain ASCII: the installation ends
// byte-identical to the new build.
TEST_F(PatchEngineTest, EveryNameTravelsThroughDiffPackageAndEngine) {
    if (Platform::WindowsFileNames()) {
        GTEST_SKIP() << "Windows names none of these files";
    }
    const std::string folder = BexoPatch::testing::kUnusualFolder;
    const fs::path root = m_dir / fs::path(std::u8string(folder.begin(), folder.end()));
    fs::create_directories(root);
    for (const char* tree : {"old", "new"}) {
        fs::rename(m_dir / tree, root / tree);
    }
    const auto at = [&root](const char* tree, const std::string& directory,
                            const std::string& name) {
        return root / tree / directory / fs::path(std::u8string(name.begin(), name.end()));
    };
    for (const std::string& name : BexoPatch::testing::PosixFileNames()) {
        WriteFile(at("new", "added", name), "added " + name);
        // A name of 255 bytes leaves no room for the ".diff" and ".pbk" siblings that a
        // patched or deleted file needs.
        if (name.size() + 5 > 255) {
            continue;
        }
        WriteFile(at("old", "patched", name), Binary(5000, 1) + name);
        WriteFile(at("new", "patched", name), Binary(5000, 2) + name);
        WriteFile(at("old", "deleted", name), name);
    }
    const std::wstring mkpatch = L"\"" + Utf8ToWide(OSMEL_MKPATCH) + L"\" ";
    // The C library's locale cannot convert these names; the paths are UTF-8.
    const auto wide = [](const fs::path& path) { return Utf8ToWide(path.string()); };
    const auto quoted = [&wide](const fs::path& path) { return L" \"" + wide(path) + L"\""; };
    ASSERT_EQ(RunProcess(mkpatch + L"diff --level 3" + quoted(root / "old") + quoted(root / "new") +
                         L" -o" + quoted(root / "patch")),
              0);
    ASSERT_EQ(
        RunProcess(mkpatch + L"pack" + quoted(root / "patch") + L" -o" + quoted(root / "step.zip")),
        0);
    ASSERT_TRUE(UnpackPackage(wide(root / "step.zip"), wide(root / "unpacked")));
    EXPECT_EQ(Snapshot(root / "unpacked"), Snapshot(root / "patch"));

    fs::copy(root / "old", root / "install", fs::copy_options::recursive);
    fs::copy_file(OSMEL_KPATCHL, root / "install/bin/kpatchl-w32.exe");
    ASSERT_TRUE(
        PatchInstallation(wide(root / "install"), wide(root / "unpacked"), L"BexoPortico.exe"))
        << (g_lines.empty() ? std::string() : WideToUtf8(g_lines.back().second));
    EXPECT_EQ(Snapshot(root / "install"), Snapshot(root / "new"));
    EXPECT_TRUE(Lines(LOG_ERROR).empty());
}

TEST_F(PatchEngineTest, NeverChangesAFileThroughALinkOutOfTheInstallation) {
    if (Platform::WindowsFileNames()) {
        GTEST_SKIP() << "POSIX links";
    }
    Prepare();
    // The added file's folder is a link to a folder outside; the deleted file is a link
    // to a file outside.
    WriteFile(m_dir / "outside/gone.txt", "outside");
    fs::create_directories(m_dir / "outside/maps");
    fs::remove(Installed("data/gone.txt"));
    fs::create_symlink(m_dir / "outside/gone.txt", Installed("data/gone.txt"));
    fs::create_directory_symlink(m_dir / "outside/maps", Installed("data/maps"));
    m_old = Snapshot(m_dir / "install");
    EXPECT_FALSE(Apply());
    ASSERT_EQ(Lines(LOG_ERROR).size(), 1u);
    EXPECT_EQ(Lines(LOG_ERROR)[0].rfind(L"Refused to change a file through a link: ", 0), 0u);
    ExpectRestored();
    EXPECT_EQ(ReadFile(m_dir / "outside/gone.txt"), "outside");
    EXPECT_TRUE(fs::is_empty(m_dir / "outside/maps"));
}

}  // namespace
