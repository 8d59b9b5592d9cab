// Download sessions against real servers on 127.0.0.1: nginx and vsftpd serve a chain of
// packages with its patches.txt (written by osmel-mkpatch patchlist) over installations
// and packages made by our own tools (scripts/standalone-fixture.sh).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../net/LocalServers.h"
#include "FixtureTest.h"
#include "SessionTestSupport.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "platform/System.h"
#include "platform/TcpStream.h"
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
        MakeFixture();
        // The server's tree: the packages and the list that chains them, with relative
        // data addresses.
        const fs::path www = s_scratch / "www" / "kelvor";
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
        fs::copy(s_scratch / "www", s_servers->Www(), fs::copy_options::recursive);
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

    static fs::path Root() { return s_scratch / "www"; }

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
        // The window's view of the download, read while the session writes it.
        DownloadProgress last;
        RunSessionThread(window, [&last](PatchThread& session) {
            if (session.Downloading()) {
                last = session.GetDownloadProgress();
            }
        });

        EXPECT_LE(last.bytesDone, last.bytesTotal);
        EXPECT_EQ(InstallationTree(m_install), Build("41610"));
        EXPECT_EQ(window.installed, 2);
        EXPECT_TRUE(log.Contains(LOG_NORMAL, L"Downloading patch file..."));
        EXPECT_TRUE(log.Contains(LOG_NORMAL, L"No (more) patches at server for version: 41610"));
        EXPECT_TRUE(log.Contains(LOG_NORMAL, kDatabaseUpdate));
        EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                                   {LOG_NORMAL, L"The installation is at build 41610."},
                                   {LOG_NORMAL, L"Patching completed."},
                               }));
        EXPECT_EQ(PatchSettings::Instance().GetCurrentVersion(), "41610");
        // Each package went once its step was applied, and the session's directory after.
        EXPECT_TRUE(fs::is_empty(m_dir / "temp"));
    }
}

// Two queued builds on one chain (the first and the second build of it): both steps
// apply, the second build's chain then leads back to a build already reached, which
// ends it, and the session goes on to the database update and completes.
TEST_F(DownloadSessionTest, AnOverlappingChainEndsAndTheSessionCompletes) {
    testservers::Servers& servers = *s_servers;
    ASSERT_TRUE(servers.Ready());
    Prepare({servers.HttpURL("kelvor/")});
    PatchSettings::Instance().PushBuild("41600");
    CapturedLog log;
    RecordingWindow window;
    RunSessionThread(window);

    EXPECT_EQ(InstallationTree(m_install), Build("41610"));
    EXPECT_EQ(window.installed, 2);
    EXPECT_TRUE(log.Contains(LOG_NORMAL,
                             L"The patch steps lead back to build 41610, which this "
                             L"session has already reached."));
    EXPECT_TRUE(log.Contains(LOG_NORMAL, kDatabaseUpdate));
    EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                               {LOG_NORMAL, L"The installation is at build 41610."},
                               {LOG_NORMAL, L"Patching completed."},
                           }));
    EXPECT_EQ(PatchSettings::Instance().GetCurrentVersion(), "41610");
}

// The first step applies, the second package is missing: the session fails and says
// that the installation is at the first step's build; a failing or cancelled database
// tool fails or cancels the session that applied everything.
TEST_F(DownloadSessionTest, SaysWhichBuildAFailedOrCancelledSessionLeaves) {
    testservers::Servers& servers = *s_servers;
    ASSERT_TRUE(servers.Ready());
    const fs::path www = servers.Www() / "first-only";
    fs::create_directories(www);
    fs::copy(Root() / "kelvor" / "patches.txt", www / "patches.txt");
    fs::copy(Root() / "kelvor" / "41590_to_41600.zip", www / "41590_to_41600.zip");
    Prepare({servers.HttpURL("first-only/")});
    {
        CapturedLog log;
        RecordingWindow window;
        RunSessionThread(window);
        EXPECT_EQ(InstallationTree(m_install), Build("41600"));
        EXPECT_EQ(window.installed, 1);
        EXPECT_TRUE(log.Contains(LOG_ERROR, L"Patch download failed."));
        EXPECT_FALSE(log.Contains(LOG_NORMAL, kDatabaseUpdate));
        EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                                   {LOG_NORMAL, L"The installation is at build 41600."},
                                   {LOG_NORMAL, L"Patching aborted."},
                               }));
        EXPECT_EQ(PatchSettings::Instance().GetCurrentVersion(), "41600");
        EXPECT_TRUE(fs::is_empty(m_dir / "temp"));
    }
    struct Case {
        const char* config;
        bool cancel;
        std::wstring outcome;
    };
    const Case cases[] = {
        {"repairseconds=0\nrepairlines=1\nexitcode=3\n", false, L"Patching aborted."},
        {"repairseconds=30\nrepairlines=300\n", true, L"Patching cancelled."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        Prepare({servers.HttpURL("kelvor/")});
        std::ofstream(m_install / "bin" / "KelvorUtil.cfg") << c.config;
        CapturedLog log;
        RecordingWindow window;
        if (c.cancel) {
            log.CancelOn(L"Checked", &window);
        }
        RunSessionThread(window);
        EXPECT_EQ(window.installed, 2);
        EXPECT_TRUE(log.Contains(LOG_NORMAL, kDatabaseUpdate));
        EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                                   {LOG_NORMAL, L"The installation is at build 41610."},
                                   {LOG_NORMAL, c.outcome},
                               }));
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
        EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                                   {LOG_NORMAL, L"The installation is at build 41590."},
                                   {LOG_NORMAL, L"Patching aborted."},
                               }));
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
        EXPECT_FALSE(log.Contains(LOG_ERROR, L"Patch download failed."));
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching cancelled."));
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

// A list that is not a patch list, and one that is not there, each give their line in
// the log, read through the real fetch. A package that is not the size the server
// announced (swapped on the server between the size query and the download), and one
// that does not unpack: each is refused with its own line and deleted. Nothing of the
// installation changes.
TEST_F(DownloadSessionTest, AGarbageListOrPackageIsRefusedAndNothingChanges) {
    testservers::Servers& servers = *s_servers;
    ASSERT_TRUE(servers.Ready());
    fs::create_directories(servers.Www() / "garbage");
    testservers::WriteText(servers.Www() / "garbage" / "patches.txt",
                           std::string("\x89PNG\r\n\x1a\n\0\0garbage: yes\n\n\xff\xfe", 24));
    struct Case {
        std::string server;
        std::wstring line;
    };
    const Case cases[] = {
        {servers.HttpURL("garbage/"), L"The patch list at " +
                                          Utf8ToWide(servers.HttpURL("garbage/patches.txt")) +
                                          L" is not a usable patch list."},
        {servers.HttpURL("none/"),
         L"Unable to download patch file: " + Utf8ToWide(servers.HttpURL("none/patches.txt"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        Prepare({c.server});
        CapturedLog log;
        RecordingWindow window;
        RunSessionThread(window);
        EXPECT_TRUE(log.Contains(LOG_NORMAL, c.line));
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching aborted."));
        EXPECT_EQ(InstallationTree(m_install), Build("41590"));
    }
    const std::string package = testservers::ReadText(Root() / "kelvor" / "41590_to_41600.zip");
    const std::string half = package.substr(0, package.size() / 2);
    const std::string longer = package + std::string(4096, 'x');
    struct PackageCase {
        std::string row;
        bool swapAtDownload;  // else the server has the bytes from the start
        std::string bytes;
        std::wstring line;
    };
    const auto other = [&](const std::string& row, const std::string& sent) {
        return L"The patch file " + Utf8ToWide(servers.HttpURL(row + "/41590_to_41600.zip")) +
               L" has " + std::to_wstring(sent.size()) + L" bytes, not the " +
               std::to_wstring(package.size()) +
               L" bytes the server announced; it was deleted without being unpacked.";
    };
    const PackageCase packageCases[] = {
        {"cut-short", true, half, other("cut-short", half)},
        {"grown", true, longer, other("grown", longer)},
        {"damaged", false, half, L"Failed to extract the patch archive."},
    };
    for (const PackageCase& c : packageCases) {
        SCOPED_TRACE(c.row);
        const fs::path www = servers.Www() / c.row;
        fs::create_directories(www);
        fs::copy(Root() / "kelvor" / "patches.txt", www / "patches.txt");
        testservers::WriteText(www / "41590_to_41600.zip", c.swapAtDownload ? package : c.bytes);
        Prepare({servers.HttpURL(c.row + "/")});
        CapturedLog log;
        RecordingWindow window;
        if (c.swapAtDownload) {
            log.When(L"Downloading patch file",
                     [&] { testservers::WriteText(www / "41590_to_41600.zip", c.bytes); });
        }
        RunSessionThread(window);

        EXPECT_TRUE(log.Contains(LOG_ERROR, c.line)) << WideToUtf8(c.line);
        EXPECT_FALSE(log.Contains(LOG_ERROR, L"Patch download failed."));
        EXPECT_EQ(log.Contains(LOG_NORMAL, L"Unpacking patch file..."), !c.swapAtDownload);
        EXPECT_FALSE(log.Contains(LOG_NORMAL, L"Patching...\n"));
        EXPECT_EQ(log.Tail(2), (std::vector<LogLine>{
                                   {LOG_NORMAL, L"The installation is at build 41590."},
                                   {LOG_NORMAL, L"Patching aborted."},
                               }));
        EXPECT_EQ(window.installed, 0);
        EXPECT_EQ(InstallationTree(m_install), Build("41590"));
        EXPECT_TRUE(fs::is_empty(m_dir / "temp"));
    }
}

// Reads one request's head from the stream; false when it ends first.
bool ReadRequest(Platform::TcpStream& stream) {
    std::string head;
    char chunk[512];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const long count = stream.ReadSome(chunk, sizeof chunk);
        if (count <= 0) {
            return false;
        }
        head.append(chunk, static_cast<std::size_t>(count));
    }
    return true;
}

// A server that accepts the connection and never answers, or one that answers the size
// query and stops half-way through the package: Cancel ends the list fetch, the size
// query and the download within a second, and the session as cancelled.
TEST_F(DownloadSessionTest, CancelEndsAFetchSizeQueryOrDownloadThatWaitsForTheServer) {
    testservers::Servers& servers = *s_servers;
    ASSERT_TRUE(servers.Ready());
    auto silent = Platform::TcpListener::Listen("127.0.0.1", 0);
    ASSERT_NE(silent, nullptr);
    const std::string silentURL = "http://127.0.0.1:" + std::to_string(silent->Port()) + "/";
    fs::create_directories(servers.Www() / "silent-data");
    testservers::WriteText(servers.Www() / "silent-data" / "patches.txt",
                           "source-version: 41590\ntarget-version: 41600\n"
                           "patch-exe-url: http://example.invalid/patcher.exe\n"
                           "patch-data-url: " +
                               silentURL + "41590_to_41600.zip\n\n");
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: 200000\r\nConnection: close\r\n\r\n";
    const std::string half(100000, 'p');
    struct Case {
        const char* stage;
        std::string server;
        bool halfPackage;  // else the first request gets no answer
    };
    const Case cases[] = {
        {"list fetch", silentURL, false},
        {"size query", servers.HttpURL("silent-data/"), false},
        {"download", servers.HttpURL("silent-data/"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        Prepare({c.server});
        CapturedLog log;
        RecordingWindow window;
        std::atomic<std::chrono::steady_clock::time_point> cancelled{};
        const auto cancel = [&] {
            cancelled = std::chrono::steady_clock::now();
            window.cancel = true;
        };
        std::thread server([&] {
            std::unique_ptr<Platform::TcpStream> held = silent->Accept();
            if (!c.halfPackage) {
                // The session's request has reached the silent server.
                cancel();
            } else if (held && ReadRequest(*held) && held->WriteAll(head.data(), head.size())) {
                held = silent->Accept();
                if (held && ReadRequest(*held)) {
                    held->WriteAll((head + half).data(), head.size() + half.size());
                }
            }
            // The connection stays open, unanswered, until the session has gone.
            while (window.finished == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        // In the download, the cancel comes once the window shows half the package written;
        // a session that never gets there is stopped all the same, and fails the test.
        bool sawHalf = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        RunSessionThread(window, [&](PatchThread& session) {
            if (c.halfPackage && !window.cancel) {
                sawHalf =
                    session.Downloading() && session.GetDownloadProgress().bytesDone == half.size();
                if (sawHalf || std::chrono::steady_clock::now() > deadline) {
                    cancel();
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        const auto ended = std::chrono::steady_clock::now();
        server.join();
        EXPECT_EQ(sawHalf, c.halfPackage);
        EXPECT_LT(ended - cancelled.load(), std::chrono::seconds(1));
        EXPECT_EQ(log.Contains(LOG_NORMAL, L"Downloading patch file..."), c.halfPackage);
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching cancelled."));
        for (const LogLine& line : log.Lines()) {
            EXPECT_NE(line.first, LOG_ERROR) << WideToUtf8(line.second);
        }
        EXPECT_TRUE(fs::is_empty(m_dir / "temp"));
    }
}

// The package is written to a full disk: the session says so, does not download again,
// and leaves nothing behind.
TEST_F(DownloadSessionTest, AFullDiskIsReportedAndNotRetried) {
    testservers::Servers& servers = *s_servers;
    ASSERT_TRUE(servers.Ready());
    ASSERT_TRUE(fs::exists("/dev/full"));
    Prepare({servers.HttpURL("kelvor/")});
    const std::string before = servers.HttpLog();
    CapturedLog log;
    RecordingWindow window;
    fs::path package;
    // The package's place in the session's directory leads to a device that is always full.
    log.When(L"Downloading patch file", [&] {
        package = fs::directory_iterator(m_dir / "temp")->path() / "41590_to_41600.zip";
        fs::create_symlink("/dev/full", package);
    });
    RunSessionThread(window);
    const std::wstring full = L"The disk is full; the patch file could not be written: ";
    std::size_t fullLines = 0;
    for (const LogLine& line : log.Lines()) {
        if (line.first == LOG_ERROR && line.second.starts_with(full) &&
            line.second.ends_with(L"41590_to_41600.zip")) {
            ++fullLines;
        }
    }
    EXPECT_EQ(fullLines, 1u);
    EXPECT_FALSE(log.Contains(LOG_ERROR, L"Patch download failed."));
    EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching aborted."));
    const std::string requests = servers.HttpLog().substr(before.size());
    std::size_t gets = 0;
    for (std::size_t at = 0;
         (at = requests.find("GET /kelvor/41590_to_41600.zip", at)) != std::string::npos; ++at) {
        ++gets;
    }
    EXPECT_EQ(gets, 1u) << requests;
    EXPECT_TRUE(fs::is_empty(m_dir / "temp"));
    EXPECT_TRUE(fs::exists("/dev/full"));
}

}  // namespace
