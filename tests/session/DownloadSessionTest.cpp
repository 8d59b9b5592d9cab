// Download sessions against real servers on 127.0.0.1: nginx and vsftpd serve a chain of
// packages with its patches.txt (written by osmel-mkpatch patchlist) over installations
// and packages made by our own tools (scripts/standalone-fixture.sh).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "../net/LocalServers.h"
#include "FixtureTest.h"
#include "SessionTestSupport.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "platform/System.h"
#include "session/SessionServices.h"

using namespace BexoPatch;
using namespace BexoPatch::testing;
namespace fs = std::filesystem;

namespace {

const auto* const g_wx = ::testing::AddGlobalTestEnvironment(new WxEnvironment);

const std::wstring kDatabaseUpdate =
    L"\nUpdating Kelvor asset database... (this may take several minutes)";

class DownloadSessionTest : public FixtureTest {
protected:
    static void SetUpTestSuite() {
        MakeFixture("download", "--files 30 --size-mib 4 --seed 4");
        // The server's tree: the packages and the list that chains them, with relative
        // data addresses.
        const fs::path www = s_fixture / "www" / "kelvor";
        fs::create_directories(www);
        fs::copy(s_fixture / "steps" / "41590.pkg", www / "41590_to_41600.zip");
        fs::copy(s_fixture / "steps" / "41600.pkg", www / "41600_to_41610.zip");
        const std::string list = std::string(OSMEL_MKPATCH) + " patchlist -o " +
                                 (www / "patches.txt").string() +
                                 " --exe-url http://example.invalid/patcher.exe"
                                 " --step 41590 41600 41590_to_41600.zip"
                                 " --step 41600 41610 41600_to_41610.zip >/dev/null";
        ASSERT_EQ(std::system(list.c_str()), 0);
        SetDownloadRetryPause(std::chrono::milliseconds(10));
        // One set of servers for the suite, started before the tests point TEMP into
        // the directories they empty.
        s_servers = std::make_unique<testservers::Servers>();
        fs::copy(s_fixture / "www", s_servers->Www(), fs::copy_options::recursive);
    }
    static void TearDownTestSuite() {
        s_servers.reset();
        FixtureTest::TearDownTestSuite();
    }
    void SetUp() override {
        FixtureTest::SetUp();
        m_install = m_dir / "install";
    }

    // A fresh installation of 41590 that downloads from the servers.
    void Prepare(std::initializer_list<std::string> servers) {
        fs::remove_all(m_install);
        fs::copy(s_fixture / "install", m_install, fs::copy_options::recursive);
        std::ofstream(m_install / "bin" / "KelvorUtil.cfg") << "repairseconds=0\nrepairlines=1\n";
        PatchSettings& settings = PatchSettings::Instance();
        settings.Reset();
        settings.SetInstallPath(Utf8ToWide(m_install.string()));
        settings.SetCurrentVersion("41590");
        settings.SetDownloadMode(true);
        for (const std::string& server : servers) {
            settings.AddServer(Utf8ToWide(server));
        }
    }

    static fs::path Root() { return s_fixture / "www"; }

    static inline std::unique_ptr<testservers::Servers> s_servers;

    fs::path m_install;
};

// The first server is down; the second serves the chain over HTTP, then over FTP.
TEST_F(DownloadSessionTest, DownloadsAndAppliesTheChainFromTheFirstServerThatAnswers) {
    testservers::Servers& servers = *s_servers;
    ASSERT_TRUE(servers.Ready());
    const std::string down = "http://127.0.0.1:" + std::to_string(testservers::FreePort()) + "/";
    for (const std::string& server : {servers.HttpURL("kelvor/"), servers.FtpURL("kelvor/")}) {
        SCOPED_TRACE(server);
        Prepare({down, server});
        CapturedLog log;
        RecordingWindow window;
        RunSessionThread(window);

        EXPECT_EQ(InstallationTree(m_install), Build("41610"));
        EXPECT_EQ(window.installed, 2);
        EXPECT_TRUE(log.Contains(LOG_NORMAL, L"Downloading patch file..."));
        EXPECT_TRUE(log.Contains(LOG_NORMAL, L"No (more) patches at server for version: 41610"));
        EXPECT_TRUE(log.Contains(LOG_NORMAL, kDatabaseUpdate));
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching completed."));
        // The packages stay in the temporary directory, whole.
        EXPECT_EQ(testservers::ReadText(m_dir / "temp" / "41600_to_41610.zip"),
                  testservers::ReadText(Root() / "kelvor" / "41600_to_41610.zip"));
        fs::remove_all(m_dir / "temp");
        fs::create_directories(m_dir / "temp");
    }
}

// A missing package is refused and nothing is applied; a cancelled download makes no
// second attempt; a client at its final version does nothing, not even the database
// update.
TEST_F(DownloadSessionTest, RefusesA404StopsOnCancelAndSkipsWorkAtTheFinalVersion) {
    testservers::Servers& servers = *s_servers;
    ASSERT_TRUE(servers.Ready());
    const fs::path www = servers.Www();
    fs::copy(Root() / "kelvor" / "patches.txt", www / "patches.txt",
             fs::copy_options::overwrite_existing);
    Prepare({servers.HttpURL("")});
    {
        CapturedLog log;
        RecordingWindow window;
        RunSessionThread(window);
        EXPECT_EQ(InstallationTree(m_install), Build("41590"));
        EXPECT_TRUE(log.Contains(LOG_ERROR, L"Patch download failed."));
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching aborted."));
        EXPECT_EQ(window.installed, 0);
    }
    fs::copy(Root() / "kelvor" / "41590_to_41600.zip", www / "41590_to_41600.zip");
    const std::string before = servers.HttpLog();
    {
        CapturedLog log;
        RecordingWindow window;
        window.cancel = true;
        RunSessionThread(window);
        EXPECT_EQ(InstallationTree(m_install), Build("41590"));
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching aborted."));
        const std::string requests = servers.HttpLog().substr(before.size());
        std::size_t gets = 0;
        for (std::size_t at = 0;
             (at = requests.find("GET /41590_to_41600.zip", at)) != std::string::npos; ++at) {
            ++gets;
        }
        EXPECT_LE(gets, 1u) << requests;
    }
    PatchSettings::Instance().SetFinalVersion("41590");
    CapturedLog log;
    RecordingWindow window;
    RunSessionThread(window);
    EXPECT_TRUE(log.Contains(LOG_NORMAL, L"Client is at the final version: 41590"));
    EXPECT_FALSE(log.Contains(LOG_NORMAL, kDatabaseUpdate));
    EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching completed."));
}

}  // namespace
