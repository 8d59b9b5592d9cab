// Standalone sessions over real installations and a real appended archive made by our own
// tools (scripts/standalone-fixture.sh): the whole chain, a damaged file in the middle of
// it, a cancel, the move to the next queued build; and the disk space decisions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "FixtureTest.h"
#include "SessionTestSupport.h"
#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "patch/PatchArchive.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "session/SessionServices.h"

using namespace BexoPatch;
using namespace BexoPatch::testing;
namespace fs = std::filesystem;
using BexoPatch::testing::ReadFile;

namespace {

const auto* const g_wx = ::testing::AddGlobalTestEnvironment(new WxEnvironment);

bool MarkerSet() {
    Platform::HKEY key = nullptr;
    if (Platform::RegOpenKeyEx(Platform::LocalMachineKey(),
                               L"Software\\Osmel\\Products\\KelvorSimulator", Platform::KEY_READ,
                               &key) != 0) {
        return false;
    }
    Platform::DWORD value = 0;
    Platform::DWORD size = sizeof value;
    const bool set =
        Platform::RegQueryValueEx(key, L"IsPatching", nullptr, &value, &size) == 0 && value == 1;
    Platform::RegCloseKey(key);
    return set;
}

class StandaloneSessionTest : public FixtureTest {
protected:
    // One chain of builds and its standalone patcher for the whole suite.
    static void SetUpTestSuite() {
        MakeFixture("standalone", "--files 40 --size-mib 4 --added 10 --seed 3");
    }

    void SetUp() override {
        FixtureTest::SetUp();
        std::ofstream(m_dir / "registry.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Osmel\\Products\\KelvorSimulator]\n";
        ASSERT_EQ(StandaloneArchive().Open(Wide(s_fixture / "patcher")), BEXORESULT_OK);
    }
    void TearDown() override {
        StandaloneArchive().Close();
        FixtureTest::TearDown();
    }

    static std::wstring Wide(const fs::path& path) { return Utf8ToWide(path.string()); }

    // The installation at `build`, with the tools, queued for a standalone session.
    fs::path Install(const std::string& build) {
        const fs::path install = m_dir / "install";
        fs::copy(s_fixture / "builds" / build, install, fs::copy_options::recursive);
        fs::copy(s_fixture / "install" / "bin" / "kpatchl-w32.exe", install / "bin");
        fs::copy(s_fixture / "install" / "bin" / "KelvorUtil.exe", install / "bin");
        std::ofstream(install / "bin" / "KelvorUtil.cfg") << "repairseconds=0\nrepairlines=1\n";
        PatchSettings& settings = PatchSettings::Instance();
        settings.SetInstallPath(Wide(install));
        settings.SetStandaloneMode(true);
        return install;
    }
};

TEST_F(StandaloneSessionTest, BringsTheInstallationToTheLastBuildOfTheChain) {
    const fs::path install = Install("41590");
    PatchSettings::Instance().PushBuild("41590");
    CapturedLog log;
    RecordingWindow window;
    RunSessionThread(window);

    EXPECT_EQ(InstallationTree(install), Build("41610"));
    EXPECT_EQ(window.installed, 2);
    EXPECT_EQ(window.finished, 1);
    EXPECT_FALSE(MarkerSet());
    EXPECT_TRUE(log.Contains(LOG_NORMAL, L"Patching from 41590 to 41600."));
    EXPECT_TRUE(log.Contains(LOG_NORMAL, L"Patching from 41600 to 41610."));
    EXPECT_TRUE(log.Contains(LOG_NORMAL, L"There are no more patches for this build."));
    EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching completed."));
    for (const auto& entry : fs::recursive_directory_iterator(install)) {
        EXPECT_NE(entry.path().extension(), ".pbk") << entry.path();
    }
    // Package files stay in the temporary directory; the unpack directories do not.
    EXPECT_TRUE(fs::exists(m_dir / "temp" / "41590_to_41600.zip"));
    EXPECT_TRUE(fs::exists(m_dir / "temp" / "41600_to_41610.zip"));
    EXPECT_EQ(PatchSettings::Instance().GetCurrentVersion(), "");
}

TEST_F(StandaloneSessionTest, ADamagedFileStopsTheChainAtTheLastGoodBuild) {
    const fs::path install = Install("41590");
    PatchSettings::Instance().PushBuild("41590");
    // A file the first step leaves alone and the second patches.
    const auto first = Build("41590");
    const auto second = Build("41600");
    const auto third = Build("41610");
    std::string victim;
    for (const auto& [name, bytes] : second) {
        if (first.count(name) != 0 && first.at(name) == bytes && third.count(name) != 0 &&
            third.at(name) != bytes) {
            victim = name;
            break;
        }
    }
    ASSERT_FALSE(victim.empty());
    std::ofstream(install / victim, std::ios::binary | std::ios::in) << "damage";
    auto expected = second;
    expected[victim] = ReadFile(install / victim);

    CapturedLog log;
    RecordingWindow window;
    RunSessionThread(window);

    EXPECT_EQ(InstallationTree(install), expected);
    EXPECT_EQ(window.installed, 1);
    EXPECT_TRUE(MarkerSet());
    EXPECT_TRUE(log.Contains(LOG_ERROR, L"\nFailed to apply the patch: 41600_to_41610"));
    EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching aborted."));
    EXPECT_EQ(window.ranges.back(), 1);
    EXPECT_EQ(window.values.back(), 1);
}

TEST_F(StandaloneSessionTest, ACancelBeforeUnpackingChangesNothing) {
    const fs::path install = Install("41590");
    PatchSettings::Instance().PushBuild("41590");
    CapturedLog log;
    RecordingWindow window;
    window.cancel = true;
    RunSessionThread(window);

    EXPECT_EQ(InstallationTree(install), Build("41590"));
    EXPECT_EQ(window.installed, 0);
    EXPECT_FALSE(log.Contains(LOG_NORMAL, L"Unpacking patch file..."));
    EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching aborted."));
    EXPECT_EQ(fs::directory_iterator(m_dir / "temp")->path().filename(), "41590_to_41600.zip");
}

// A queued build without a step is passed over for the next one; an installation already
// at the end still gets its asset database update.
TEST_F(StandaloneSessionTest, MovesOnToTheNextQueuedBuildAndAlwaysUpdatesTheDatabase) {
    const fs::path install = Install("41600");
    PatchSettings::Instance().PushBuild("41000");
    PatchSettings::Instance().PushBuild("41600");
    {
        CapturedLog log;
        RecordingWindow window;
        RunSessionThread(window);
        EXPECT_EQ(InstallationTree(install), Build("41610"));
        EXPECT_EQ(log.Lines().front().second, L"Checking for available disk space for patching.");
        EXPECT_TRUE(log.Contains(LOG_NORMAL, L"Patching from 41600 to 41610."));
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching completed."));
    }
    PatchSettings::Instance().PushBuild("41610");
    CapturedLog log;
    RecordingWindow window;
    RunSessionThread(window);
    EXPECT_EQ(window.installed, 0);
    EXPECT_TRUE(log.Contains(LOG_NORMAL, L"There are no more patches for this build."));
    EXPECT_TRUE(log.Contains(LOG_NORMAL,
                             L"\nUpdating Kelvor asset database... (this may take "
                             L"several minutes)"));
    EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching completed."));
}

std::map<std::wstring, std::uint64_t> g_free;

// Answers for the directory the table names; unknown directories cannot be queried.
bool FakeFreeSpace(const std::wstring& directory, std::uint64_t* freeBytes) {
    for (const auto& [prefix, bytes] : g_free) {
        if (directory.starts_with(prefix)) {
            *freeBytes = bytes;
            return true;
        }
    }
    return false;
}

TEST(DiskSpaceTest, DecidesFromBothVolumesAndChoosesWhereToUnpack) {
    constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
    constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
    // Directories in the program's form: the platform gives "\" separators.
    const std::wstring kTemp = L"\\scratch\\temp";
    const std::wstring kInstall = L"\\games\\kelvor";
    struct Case {
        const char* name;
        std::uint64_t tempFree;
        std::uint64_t installFree;
        bool result;
        std::wstring tempDirectory;
        bool unsure;  // message 242
    };
    const Case cases[] = {
        {"small temporary volume", 1 * kGiB, 10 * kGiB, true, kInstall, false},
        {"small installation volume", 10 * kGiB, 1 * kGiB, false, kTemp, false},
        {"temporary volume unknown", kUnknown, 10 * kGiB, true, kTemp, true},
        {"installation volume unknown", 10 * kGiB, kUnknown, true, kTemp, true},
        {"exactly 4096 MB", 4 * kGiB, 4 * kGiB, true, kTemp, false},
        {"one byte short", 4 * kGiB - 1, 4 * kGiB, true, kInstall, false},
    };
    ResetSessionServices();
    GetSessionServices().getFreeDiskSpace = FakeFreeSpace;
    PatchSettings::Instance().SetInstallPath(kInstall);
    ::setenv("TEMP", "/scratch/temp", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_free.clear();
        if (c.tempFree != kUnknown) {
            g_free[kTemp + L"/"] = c.tempFree;
        }
        if (c.installFree != kUnknown) {
            g_free[kInstall + L"/"] = c.installFree;
        }
        CapturedLog log;
        PatchThread session(nullptr);
        EXPECT_EQ(session.CheckDiskSpace(4096), c.result);
        EXPECT_EQ(session.tempDirectory, c.tempDirectory);
        EXPECT_EQ(log.Contains(LOG_NORMAL,
                               L"Patch installer is unable to determine whether "
                               L"sufficient disk space is available for this "
                               L"installation. Patching may fail if insufficient "
                               L"disk space is available."),
                  c.unsure);
    }
    ::unsetenv("TEMP");
    ResetSessionServices();
    PatchSettings::Instance().Reset();
}

// Each step's directory lies below the previous step's, whose parents were removed.
TEST(MakeTempDirectoryTest, NestsBelowThePreviousDirectoryAndRefusesAFileInTheWay) {
    const fs::path base = fs::temp_directory_path() /
                          ("osmel-nest-" + std::to_string(Platform::GetCurrentProcessId()));
    fs::create_directories(base);
    // Compared, and handed to the file system, with one kind of separator.
    const auto plain = [](std::wstring path) {
        NormaliseSeparators(path, L'/');
        return path;
    };
    std::wstring directory = Utf8ToWide(base.string());
    ASSERT_TRUE(MakeTempDirectory(directory));
    const std::wstring first = plain(directory);
    EXPECT_TRUE(first.starts_with(Utf8ToWide(base.string()) + L"/file")) << WideToUtf8(first);
    fs::remove_all(WideToUtf8(first));
    ASSERT_TRUE(MakeTempDirectory(directory));
    EXPECT_TRUE(plain(directory).starts_with(first + L"/file")) << WideToUtf8(directory);
    EXPECT_TRUE(fs::is_directory(WideToUtf8(plain(directory))));

    std::ofstream(base / "plain") << "x";
    directory = Utf8ToWide((base / "plain").string());
    EXPECT_FALSE(MakeTempDirectory(directory));
    EXPECT_TRUE(directory.empty());
    fs::remove_all(base);
}

// Build numbers come from outside: a package name that would leave the temporary
// directory is refused.
TEST(TempPackagePathTest, NamesThePackageAfterTheStepAndRefusesNamesThatLeave) {
    const fs::path temp = fs::temp_directory_path() /
                          ("osmel-package-" + std::to_string(Platform::GetCurrentProcessId()));
    ::setenv("TEMP", temp.c_str(), 1);
    PatchSettings& settings = PatchSettings::Instance();
    const struct {
        const char* target;
        bool accepted;
    } cases[] = {
        {"41600", true}, {"../../etc/x", false}, {"a\\b", false}, {"C:x", false}, {"..", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        settings.Reset();
        settings.SetCurrentVersion("41590");
        settings.SetTargetVersion(c.target);
        std::wstring path = L"old";
        EXPECT_EQ(OsmelPatchTask::TempPackagePath(&path), c.accepted);
        std::wstring expected = Utf8ToWide(temp.string()) + L"/41590_to_41600.zip";
        NormaliseSeparators(expected, L'/');
        NormaliseSeparators(path, L'/');
        EXPECT_EQ(path, c.accepted ? expected : L"");
    }
    EXPECT_TRUE(fs::is_directory(temp));
    fs::remove_all(temp);
    ::unsetenv("TEMP");
    settings.Reset();
}

}  // namespace
