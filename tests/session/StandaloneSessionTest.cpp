// Standalone sessions over real installations and a real appended archive made by our own
// tools (scripts/standalone-fixture.sh): the whole chain, a damaged file in the middle of
// it, a cancel, the move to the next queued build; and the disk space decisions.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

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
    static void SetUpTestSuite() { MakeFixture(); }

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
    EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                               {LOG_NORMAL, L"The installation is at build 41610."},
                               {LOG_NORMAL, L"Patching completed."},
                           }));
    for (const auto& entry : fs::recursive_directory_iterator(install)) {
        EXPECT_NE(entry.path().extension(), ".pbk") << entry.path();
    }
    // The session's directory, packages and unpacked steps included, is gone.
    EXPECT_TRUE(fs::is_empty(m_dir / "temp"));
    EXPECT_EQ(PatchSettings::Instance().GetCurrentVersion(), "41610");
}

// Two queued builds on one chain: the second one's chain leads back to a build already
// reached, which ends it; the session goes on and completes at the chain's end.
TEST_F(StandaloneSessionTest, AnOverlappingChainEndsAndTheSessionCompletes) {
    const fs::path install = Install("41590");
    PatchSettings::Instance().PushBuild("41590");
    PatchSettings::Instance().PushBuild("41600");
    CapturedLog log;
    RecordingWindow window;
    RunSessionThread(window);

    EXPECT_EQ(InstallationTree(install), Build("41610"));
    EXPECT_EQ(window.installed, 2);
    EXPECT_TRUE(log.Contains(LOG_NORMAL,
                             L"The patch steps lead back to build 41610, which this "
                             L"session has already reached."));
    EXPECT_TRUE(log.Contains(LOG_NORMAL,
                             L"\nUpdating Kelvor asset database... (this may take "
                             L"several minutes)"));
    EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                               {LOG_NORMAL, L"The installation is at build 41610."},
                               {LOG_NORMAL, L"Patching completed."},
                           }));
    EXPECT_EQ(PatchSettings::Instance().GetCurrentVersion(), "41610");
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
    // The engine undid the step: the installation is the last good build, and the marker
    // still tells the product's tools that patching failed.
    EXPECT_TRUE(MarkerSet());
    EXPECT_TRUE(log.Contains(LOG_ERROR, L"\nFailed to apply the patch: 41600_to_41610"));
    EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                               {LOG_NORMAL, L"The installation is at build 41600."},
                               {LOG_NORMAL, L"Patching aborted."},
                           }));
    EXPECT_EQ(window.ranges.back(), 1);
    EXPECT_EQ(window.values.back(), 1);
    EXPECT_TRUE(fs::is_empty(m_dir / "temp"));
}

// A cancel at each stage of a step: it ends the session as cancelled within a second,
// with nothing changed, no failure line, the marker clear and no temporary data left.
// Inside the engine, the cancel comes while the difference tool runs, after the step has
// added its files: the engine undoes them.
TEST_F(StandaloneSessionTest, ACancelAtAnyStageEndsTheSessionAsCancelled) {
    struct Case {
        const wchar_t* cancelOn;  // empty: cancelled before the session starts
        const char* stage;
    };
    const Case cases[] = {
        {L"", "before extraction"},
        {L"Patching from 41590", "during extraction"},
        {L"Unpacking patch file", "during unpacking"},
        {L"Patching...", "just before the engine"},
        {nullptr, "inside the engine"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        fs::remove_all(m_dir / "install");
        const fs::path install = Install("41590");
        PatchSettings::Instance().PushBuild("41590");
        CapturedLog log;
        RecordingWindow window;
        const fs::path started = m_dir / "tool-started";
        fs::remove(started);
        std::chrono::steady_clock::time_point cancelled;
        if (c.cancelOn == nullptr) {
            // A difference tool that says it has started and then waits to be stopped.
            std::ofstream(install / "bin" / "kpatchl-w32.exe")
                << "#!/bin/sh\ntouch '" << started.string() << "'\nexec sleep 30\n";
            fs::permissions(install / "bin" / "kpatchl-w32.exe", fs::perms::owner_all);
            RunSessionThread(window, [&](PatchThread&) {
                if (!window.cancel && fs::exists(started)) {
                    cancelled = std::chrono::steady_clock::now();
                    window.cancel = true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            });
        } else {
            window.cancel = *c.cancelOn == L'\0';
            log.CancelOn(c.cancelOn, &window);
            RunSessionThread(window);
            cancelled = log.CancelledAt();
        }
        const auto ended = std::chrono::steady_clock::now();

        if (c.cancelOn == nullptr) {
            EXPECT_TRUE(fs::exists(started));
        }
        if (c.cancelOn == nullptr || *c.cancelOn != L'\0') {
            EXPECT_LT(ended - cancelled, std::chrono::seconds(1));
        }
        EXPECT_EQ(InstallationTree(install), Build("41590"));
        EXPECT_EQ(window.installed, 0);
        EXPECT_FALSE(MarkerSet());
        for (const LogLine& line : log.Lines()) {
            EXPECT_NE(line.first, LOG_ERROR) << WideToUtf8(line.second);
        }
        EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                                   {LOG_NORMAL, L"The installation is at build 41590."},
                                   {LOG_NORMAL, L"Patching cancelled."},
                               }));
        EXPECT_TRUE(fs::is_empty(m_dir / "temp"));
    }
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

// A session's directory is always new: a directory that already has the next name,
// with whatever it holds, is passed over and left alone, so that removing the session's
// directory never removes someone else's data.
TEST(MakeTempDirectoryTest, MakesANewDirectoryAndNeverTakesOverAnExistingOne) {
    const fs::path base = fs::temp_directory_path() /
                          ("osmel-nest-" + std::to_string(Platform::GetCurrentProcessId()));
    const std::wstring wideBase = Utf8ToWide(base.string());
    // Compared, and handed to the file system, with one kind of separator.
    const auto plain = [](std::wstring path) {
        NormaliseSeparators(path, L'/');
        return WideToUtf8(path);
    };
    std::wstring first;
    ASSERT_TRUE(MakeTempDirectory(wideBase, &first));
    EXPECT_EQ(fs::path(plain(first)).parent_path(), base);
    EXPECT_TRUE(fs::is_empty(plain(first)));

    // The next two names are taken by directories with content.
    const fs::path next = plain(MakeTempFileName(wideBase));
    const std::string stem = next.filename().string().substr(4);
    std::vector<fs::path> taken;
    for (unsigned i = 1; i <= 2; ++i) {
        taken.push_back(base / ("file" + std::to_string(std::stoul(stem) + i)));
        fs::create_directories(taken.back());
        std::ofstream(taken.back() / "keep") << "someone else's";
    }
    std::wstring second;
    ASSERT_TRUE(MakeTempDirectory(wideBase, &second));
    for (const fs::path& directory : taken) {
        EXPECT_NE(fs::path(plain(second)), directory);
        EXPECT_EQ(ReadFile(directory / "keep"), "someone else's");
    }
    EXPECT_TRUE(fs::is_empty(plain(second)));

    std::ofstream(base / "plain") << "x";
    std::wstring refused = L"left";
    EXPECT_FALSE(MakeTempDirectory(Utf8ToWide((base / "plain").string()), &refused));
    EXPECT_TRUE(refused.empty());
    fs::remove_all(base);
}

// Build numbers come from outside: a package name that would leave the session's
// directory is refused, and without a session directory there is no package path.
TEST(TempPackagePathTest, NamesThePackageAfterTheStepAndRefusesNamesThatLeave) {
    PatchSettings& settings = PatchSettings::Instance();
    const struct {
        const char* target;
        bool accepted;
    } cases[] = {
        {"41600", true}, {"../../etc/x", false}, {"a\\b", false}, {"C:x", false}, {"..", false}};
    PatchThread session(nullptr);
    session.sessionDirectory = L"/scratch/session";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        settings.Reset();
        settings.SetCurrentVersion("41590");
        settings.SetTargetVersion(c.target);
        std::wstring path = L"old";
        EXPECT_EQ(session.TempPackagePath(&path), c.accepted);
        NormaliseSeparators(path, L'/');
        EXPECT_EQ(path, c.accepted ? L"/scratch/session/41590_to_41600.zip" : L"");
    }
    session.sessionDirectory.clear();
    std::wstring path = L"old";
    EXPECT_FALSE(session.TempPackagePath(&path));
    EXPECT_EQ(path, L"");
    settings.Reset();
}

}  // namespace
