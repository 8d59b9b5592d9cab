// Download sessions with publisher keys built in, against nginx on 127.0.0.1 serving trees
// this test makes with osmel-mkpatch (keygen, patchlist --sign): one row per attack on the
// update channel, each refused with its own message and leaving the installation as it
// was, and the lists that must still work (a rotated key, no keys at all).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../net/LocalServers.h"
#include "FixtureTest.h"
#include "SessionTestSupport.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "session/PatchListSignature.h"

using namespace BexoPatch;
using namespace BexoPatch::testing;
namespace fs = std::filesystem;

namespace {

const auto* const g_wx = ::testing::AddGlobalTestEnvironment(new WxEnvironment);

void RunTool(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null").c_str()), 0) << command;
}

Minisign::PublicKey ReadKey(const fs::path& path) {
    Minisign::PublicKey key;
    std::string error;
    EXPECT_TRUE(Minisign::ParsePublicKey(testservers::ReadText(path), &key, &error)) << error;
    return key;
}

class SignedUpdateTest : public FixtureTest {
protected:
    static void SetUpTestSuite() {
        MakeFixture();
        for (const char* name : {"old", "new", "stranger"}) {
            RunTool(std::string(OSMEL_MKPATCH) + " keygen -o " + (s_scratch / name).string());
        }
        SetDownloadRetryPause(std::chrono::milliseconds(10));
        s_servers = std::make_unique<testservers::Servers>();
    }
    static void TearDownTestSuite() {
        s_servers.reset();
        FixtureTest::TearDownTestSuite();
    }
    void SetUp() override {
        FixtureTest::SetUp();
        m_install = m_dir / "install";
        SetTrustedKeys({ReadKey(s_scratch / "old.pub"), ReadKey(s_scratch / "new.pub")});
    }
    void TearDown() override {
        SetTrustedKeys({});
        FixtureTest::TearDown();
    }

    // A server tree named `name` with both packages and a list over them, signed by `key`
    // (none: unsigned) with the given extra patchlist options. Returns its address.
    static std::string Serve(const std::string& name, const std::string& key,
                             const std::string& options = "--list-version 5",
                             const std::string& steps =
                                 "--step 41590 41600 41590_to_41600.zip "
                                 "--step 41600 41610 41600_to_41610.zip") {
        const fs::path www = s_servers->Www() / name;
        fs::create_directories(www);
        fs::copy(s_fixture / "steps" / "41590.pkg", www / "41590_to_41600.zip",
                 fs::copy_options::overwrite_existing);
        fs::copy(s_fixture / "steps" / "41600.pkg", www / "41600_to_41610.zip",
                 fs::copy_options::overwrite_existing);
        std::string command = std::string(OSMEL_MKPATCH) + " patchlist -o " +
                              (www / "patches.txt").string() + " --exe-url e " + steps;
        if (!key.empty()) {
            command += " --sign " + (s_scratch / (key + ".key")).string() + " " + options;
        }
        RunTool(command);
        return s_servers->HttpURL(name + "/");
    }
    static fs::path Www(const std::string& name) { return s_servers->Www() / name; }

    void Prepare(const std::string& server) {
        fs::remove_all(m_install);
        fs::copy(s_fixture / "install", m_install, fs::copy_options::recursive);
        std::ofstream(m_install / "bin" / "KelvorUtil.cfg") << "repairseconds=0\nrepairlines=1\n";
        std::ofstream(m_dir / "registry.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Osmel\\Products\\KelvorSimulator]\n";
        PatchSettings& settings = PatchSettings::Instance();
        settings.Reset();
        settings.SetInstallPath(Utf8ToWide(m_install.string()));
        settings.SetCurrentVersion("41590");
        settings.SetDownloadMode(true);
        settings.AddServer(Utf8ToWide(server));
    }

    // Runs a session; whether it reported a verification failure.
    static bool RunSession(RecordingWindow& window) {
        PatchThread thread(&window);
        EXPECT_EQ(thread.Create(), wxTHREAD_NO_ERROR);
        EXPECT_EQ(thread.Run(), wxTHREAD_NO_ERROR);
        thread.Wait(wxTHREAD_WAIT_BLOCK);
        return thread.verificationFailed.load();
    }

    static inline std::unique_ptr<testservers::Servers> s_servers;
    fs::path m_install;
};

struct Attack {
    const char* name;
    // Makes the tree and returns the server's address.
    std::function<std::string()> serve;
    std::wstring message;  // the line that names the refusal (LOG_ERROR)
};

TEST_F(SignedUpdateTest, RefusesEachAttackWithItsOwnMessageAndLeavesTheInstallation) {
    ASSERT_TRUE(s_servers->Ready());
    const auto notSigned = [](const std::string& row) {
        return L"The patch list of " + Utf8ToWide(s_servers->HttpURL(row + "/")) +
               L" is not signed by the publisher.";
    };
    const auto package = [](const std::string& row) {
        return Utf8ToWide(s_servers->HttpURL(row + "/41590_to_41600.zip"));
    };
    const std::uint64_t size = fs::file_size(s_fixture / "steps" / "41590.pkg");
    const std::vector<Attack> attacks = {
        {"swapped-package",
         [] {
             const std::string url = Serve("swapped-package", "old");
             std::string bytes =
                 testservers::ReadText(Www("swapped-package") / "41590_to_41600.zip");
             bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);
             testservers::WriteText(Www("swapped-package") / "41590_to_41600.zip", bytes);
             return url;
         },
         L"The patch file " + package("swapped-package") +
             L" does not match the SHA-256 the publisher signed; it was deleted without being "
             L"unpacked."},
        {"other-release",
         [] {
             const std::string url = Serve("other-release", "old");
             fs::copy(Www("other-release") / "41600_to_41610.zip",
                      Www("other-release") / "41590_to_41600.zip",
                      fs::copy_options::overwrite_existing);
             return url;
         },
         L"The patch file " + package("other-release") + L" has " +
             std::to_wstring(fs::file_size(s_fixture / "steps" / "41600.pkg")) +
             L" bytes, not the " + std::to_wstring(size) +
             L" bytes the publisher signed; it was deleted without being "
             L"unpacked."},
        {"replayed", [] { return Serve("replayed", "old", "--list-version 5"); },
         L"The patch list of " + Utf8ToWide(s_servers->HttpURL("replayed/")) +
             L" is refused: its list version 5 is older than version 6, which this installation "
             L"has already used."},
        {"expired", [] { return Serve("expired", "old", "--expires 2020-01-01T00:00:00Z"); },
         L"The patch list of " + Utf8ToWide(s_servers->HttpURL("expired/")) +
             L" is refused: it expired on 2020-01-01T00:00:00Z."},
        {"missing-signature", [] { return Serve("missing-signature", ""); },
         L"No signature could be downloaded from " +
             Utf8ToWide(s_servers->HttpURL("missing-signature/patches.txt.minisig")) + L"."},
        {"truncated-signature",
         [] {
             const std::string url = Serve("truncated-signature", "old");
             const fs::path file = Www("truncated-signature") / "patches.txt.minisig";
             const std::string text = testservers::ReadText(file);
             testservers::WriteText(file, text.substr(0, text.size() / 2));
             return url;
         },
         L"The signature " +
             Utf8ToWide(s_servers->HttpURL("truncated-signature/patches.txt.minisig")) +
             L" is damaged."},
        {"garbled-signature",
         [] {
             const std::string url = Serve("garbled-signature", "old");
             const fs::path file = Www("garbled-signature") / "patches.txt.minisig";
             std::string text = testservers::ReadText(file);
             // A character of the signature itself, base64 still.
             char& c = text[text.find('\n') + 30];
             c = c == 'A' ? 'B' : 'A';
             testservers::WriteText(file, text);
             return url;
         },
         L"The signature does not match the patch list: the list was changed after it was "
         L"signed."},
        {"unknown-key", [] { return Serve("unknown-key", "stranger"); }, L""},
        {"step-back",
         [] {
             return Serve("step-back", "old", "--list-version 5",
                          "--step 41590 41580 41590_to_41600.zip");
         },
         L"The patch from build 41590 to build 41580 is refused: it does not lead to a later "
         L"build."},
        {"endless",
         [] {
             const std::string url = Serve("endless", "old");
             // Far more than the signed size, and more than the test could wait for.
             fs::resize_file(Www("endless") / "41590_to_41600.zip", 64ull << 30);
             return url;
         },
         L"The patch file " + package("endless") + L" is longer than the " + std::to_wstring(size) +
             L" bytes the publisher signed; the download was stopped and the file deleted."},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        const std::string server = attack.serve();
        Prepare(server);
        if (std::string(attack.name) == "replayed") {
            // This installation has used version 6 before.
            ASSERT_TRUE(RememberListVersion(6));
        }
        CapturedLog log;
        RecordingWindow window;
        EXPECT_TRUE(RunSession(window));
        EXPECT_EQ(InstallationTree(m_install), Build("41590"));
        EXPECT_EQ(window.installed, 0);
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching aborted."));
        std::wstring message = attack.message;
        if (message.empty()) {
            message = L"The patch list was signed with key " +
                      Utf8ToWide(Minisign::KeyIdText(ReadKey(s_scratch / "stranger.pub").id)) +
                      L", which this patcher does not trust.";
        }
        EXPECT_TRUE(log.Contains(LOG_ERROR, message)) << WideToUtf8(message);
        const bool listRefused = std::string(attack.name).find("signature") != std::string::npos ||
                                 std::string(attack.name) == "unknown-key";
        EXPECT_EQ(log.Contains(LOG_ERROR, notSigned(attack.name)), listRefused);
        EXPECT_FALSE(fs::exists(m_dir / "temp" / "41590_to_41600.zip"));
        EXPECT_FALSE(log.Contains(LOG_NORMAL, L"Unpacking patch file..."));
    }
}

// A list signed with the second built-in key (the publisher rotated keys) is used, and
// its version is kept; without keys the session patches as before and says once that
// nothing was verified.
TEST_F(SignedUpdateTest, AcceptsARotatedKeyAndWorksUnverifiedWithoutKeys) {
    ASSERT_TRUE(s_servers->Ready());
    const std::wstring unverified =
        L"Updates are not verified: this patcher has no publisher key built in.";
    {
        Prepare(Serve("rotated", "new", "--list-version 12 --expires 2099-01-01T00:00:00Z"));
        CapturedLog log;
        RecordingWindow window;
        EXPECT_FALSE(RunSession(window));
        EXPECT_EQ(InstallationTree(m_install), Build("41610"));
        EXPECT_EQ(window.installed, 2);
        EXPECT_EQ(log.Lines().back(), LogLine(LOG_NORMAL, L"Patching completed."));
        EXPECT_FALSE(log.Contains(LOG_NOTE, unverified));
        EXPECT_EQ(AcceptedListVersion(), 12u);
    }
    SetTrustedKeys({});
    Prepare(Serve("unsigned", ""));
    CapturedLog log;
    RecordingWindow window;
    EXPECT_FALSE(RunSession(window));
    EXPECT_EQ(InstallationTree(m_install), Build("41610"));
    std::size_t notes = 0;
    for (const LogLine& line : log.Lines()) {
        notes += line == LogLine(LOG_NOTE, unverified) ? 1 : 0;
    }
    EXPECT_EQ(notes, 1u);
}

}  // namespace
