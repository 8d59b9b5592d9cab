// Installation discovery: the registry store, the utility tool's build list, and the
// appended archive that switches the process into standalone mode.
#include "app/InstallDiscovery.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/AppWindow.h"
#include "app/OsmelPatcherApp.h"
#include "kernel/FileUtil.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "patch/MD5.h"
#include "patch/PatchArchive.h"
#include "patch/PatchCallbacks.h"
#include "platform/System.h"

using namespace BexoPatch;
namespace fs = std::filesystem;

namespace {

using LogLine = std::pair<std::int32_t, std::wstring>;
std::vector<LogLine> g_log;

void CaptureLog(std::int32_t level, const std::wstring& text) {
    g_log.emplace_back(level, text);
}

std::string Md5Hex(const std::string& text) {
    MD5 md5;
    md5.update(reinterpret_cast<const unsigned char*>(text.data()),
               static_cast<std::uint32_t>(text.size()));
    md5.finalize();
    return md5.hex_digest().get();
}

class FakeAppWindow : public AppWindow {
public:
    void ShowAsTopWindow() override {}
    void RefreshInstallPath() override {}
    void StopRefreshTimer() override {}
    void StartSessionNow() override {}
    void DisableApplyButton() override {}
    void ReadyToApply() override { ++ready; }
    void EnableBrowseButton() override { ++browseEnabled; }
    bool LocateProductExecutable(std::wstring* chosenPath) override {
        ++dialogs;
        if (answers.empty()) {
            return false;
        }
        *chosenPath = answers.front();
        answers.erase(answers.begin());
        return true;
    }

    int ready = 0;
    int browseEnabled = 0;
    int dialogs = 0;
    std::vector<std::wstring> answers;  // the dialog's answers in turn; none: cancelled
};

class InstallDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-discovery-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        ::setenv("OSMEL_REGISTRY", (m_dir / "registry.reg").c_str(), 1);
        PatchSettings::Instance().Reset();
        g_log.clear();
        SetPatchCallbacks(nullptr, nullptr, CaptureLog);
        SetAppWindow(&m_window);
    }
    void TearDown() override {
        SetAppWindow(nullptr);
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        StandaloneArchive().Close();
        PatchSettings::Instance().Reset();
        ::unsetenv("OSMEL_REGISTRY");
        fs::remove_all(m_dir);
    }

    void Registry(const std::string& keys) {
        std::ofstream(m_dir / "registry.reg") << "Windows Registry Editor Version 5.00\n\n" << keys;
    }
    static std::string Product(const std::string& subkey, const std::string& productClass,
                               const std::string& path) {
        return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Osmel\\Products\\KelvorSimulator\\" + subkey +
               "]\n\"ProductClass\"=\"" + productClass + "\"\n\"ProductInstallPath\"=\"" + path +
               "\"\n\n";
    }
    // An installation whose bin/Portico.exe holds `probe`.
    fs::path Installation(const std::string& name, const std::string& probe) {
        const fs::path root = m_dir / name;
        fs::create_directories(root / "bin");
        std::ofstream(root / "bin" / "Portico.exe") << probe;
        return root;
    }
    // A file with an archive of one step 41590 -> 41600 for installations whose probe
    // holds "build 41590".
    fs::path Patcher() {
        const fs::path package = m_dir / "step.pkg";
        std::ofstream(package, std::ios::binary) << std::string("\x01\0\0\0", 4);
        std::ofstream(m_dir / "exe") << "an executable";
        const std::string command =
            std::string(OSMEL_MKPATCH) + " archive " + (m_dir / "exe").string() + " -o " +
            (m_dir / "patcher").string() + " --step 41590 41600 " + package.string() +
            " --probe-md5 " + Md5Hex("build 41590") + " >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return m_dir / "patcher";
    }
    static std::wstring Wide(const fs::path& path) { return Utf8ToWide(path.string()); }

    fs::path m_dir;
    FakeAppWindow m_window;
};

TEST_F(InstallDiscoveryTest, TheLastMatchingSubkeyInEnumerationOrderWins) {
    Registry(Product("b", "kelvor", "/games/second") + Product("A", "Kelvor", "/games/first") +
             Product("c", "Other", "/games/other") + Product("d", "KELVOR", ""));
    EXPECT_EQ(FindInstallPath(L"KelvorSimulator", L"Kelvor"), L"/games/second");
    // Any class when none is asked for.
    EXPECT_EQ(FindInstallPath(L"KelvorSimulator", L""), L"/games/other");
    EXPECT_EQ(FindInstallPath(L"OtherProduct", L"Kelvor"), L"");
    // A value longer than the 260-byte buffer counts as absent.
    Registry(Product("A", "Kelvor", "/games/first") +
             Product("b", "Kelvor", std::string(130, 'x')));
    EXPECT_EQ(FindInstallPath(L"KelvorSimulator", L"Kelvor"), L"/games/first");
}

TEST_F(InstallDiscoveryTest, QueuesTheBuildsOfTheToolsListAndDeletesIt) {
    const fs::path bin = m_dir / "install" / "bin";
    fs::create_directories(bin);
    fs::copy_file(OSMEL_KELVORUTIL, bin / "KelvorUtil.exe");
    const fs::path list = bin / "buildList.txt";
    const struct {
        const char* text;
        bool result;
        std::vector<std::string> builds;
    } cases[] = {
        {"41590,41600,", true, {"41590", "41600"}},
        {"41590,41600", true, {"41590"}},
        {"41590", false, {}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        PatchSettings::Instance().Reset();
        std::ofstream(bin / "KelvorUtil.cfg") << "builds=" << c.text << "\n";
        EXPECT_EQ(RunListBuilds(Wide(bin / "KelvorUtil.exe"), Wide(list)), c.result);
        std::vector<std::string> queued;
        for (std::string build; !(build = PatchSettings::Instance().PopBuild()).empty();) {
            queued.push_back(build);
        }
        EXPECT_EQ(queued, c.builds);
        EXPECT_FALSE(fs::exists(list));
    }
    // A tool that does not start, and a relative list path (the tool gets an empty one).
    EXPECT_FALSE(RunListBuilds(Wide(bin / "Missing.exe"), Wide(list)));
    EXPECT_FALSE(RunListBuilds(Wide(bin / "KelvorUtil.exe"), L"bin\\buildList.txt"));
}

TEST(ParentDirectoryTest, DropsTheLastComponentAndKeepsItsSeparator) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:\\Games\\Kelvor\\bin\\Kelvor.exe", L"C:\\Games\\Kelvor\\bin\\"},
        {L"C:\\Games\\Kelvor\\bin\\", L"C:\\Games\\Kelvor\\"},
        {L"C:\\Kelvor.exe", L"C:\\"},
        {L"\\Kelvor.exe", L"\\"},
        {L"Kelvor.exe", L""},
        {L"\\\\", L""},
        {L"", L""},
    };
    for (const auto& [path, parent] : cases) {
        EXPECT_EQ(ParentDirectory(path), parent) << WideToUtf8(path);
    }
}

TEST_F(InstallDiscoveryTest, AnArchiveThatMatchesTheRegisteredInstallationSwitchesToStandalone) {
    const fs::path install = Installation("install", "build 41590");
    Registry(Product("Kelvor", "Kelvor", install.string()));
    PatchSettings::Instance().SetDownloadMode(true);
    PatchSettings::Instance().SetFinalVersion("41700");

    ASSERT_TRUE(LoadStandalonePatch(Wide(Patcher()), false));
    PatchSettings& settings = PatchSettings::Instance();
    EXPECT_TRUE(settings.StandaloneMode());
    EXPECT_FALSE(settings.DownloadMode());
    EXPECT_EQ(settings.GetFinalVersion(), "");
    EXPECT_EQ(settings.GetCurrentVersion(), "41590");
    EXPECT_EQ(m_window.browseEnabled, 1);
    EXPECT_EQ(m_window.ready, 1);
    EXPECT_EQ(m_window.dialogs, 0);
    const std::vector<LogLine> expected = {{LOG_NORMAL, L"Ready to install from local patch file."},
                                           {LOG_NORMAL, L"Current version: 41590."},
                                           {LOG_NORMAL, L""}};
    EXPECT_EQ(g_log, expected);
}

TEST_F(InstallDiscoveryTest, RefusesQuietlyWithoutAnArchiveAndWithMessage184WhenItDoesNotApply) {
    std::ofstream(m_dir / "plain") << "no archive here";
    EXPECT_FALSE(LoadStandalonePatch(Wide(m_dir / "plain"), false));
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(m_window.browseEnabled, 0);

    const std::wstring notApplicable =
        L"This patch file is not applicable to your current installation version.";
    const fs::path patcher = Patcher();
    // Another build's probe; then no probe file at all.
    const fs::path foreign = Installation("foreign", "build 41000");
    Registry(Product("Kelvor", "Kelvor", foreign.string()));
    EXPECT_FALSE(LoadStandalonePatch(Wide(patcher), false));
    fs::remove(foreign / "bin" / "Portico.exe");
    EXPECT_FALSE(LoadStandalonePatch(Wide(patcher), false));
    const std::vector<LogLine> expected = {{LOG_ERROR, notApplicable}, {LOG_ERROR, notApplicable}};
    EXPECT_EQ(g_log, expected);
    EXPECT_FALSE(PatchSettings::Instance().StandaloneMode());
    EXPECT_EQ(m_window.ready, 0);
}

// The rights check: a writable product key, a temporary directory that can be made, and
// a product executable that opens for writing (the product does not run).
TEST_F(InstallDiscoveryTest, PatchRightsNeedTheKeyTheTemporaryDirectoryAndAFreeProduct) {
    const fs::path install = Installation("install", "build 41590");
    Registry("");
    ::setenv("TEMP", (m_dir / "temp").c_str(), 1);
    EXPECT_TRUE(HasPatchRights(Wide(install))) << "no product executable";
    EXPECT_TRUE(fs::is_directory(m_dir / "temp"));
    std::ofstream(install / "bin" / "Kelvor.exe") << "product";
    EXPECT_TRUE(HasPatchRights(Wide(install)));
    // What cannot be opened for writing counts as a running product.
    fs::remove(install / "bin" / "Kelvor.exe");
    fs::create_directories(install / "bin" / "Kelvor.exe");
    EXPECT_FALSE(HasPatchRights(Wide(install)));
    fs::remove(install / "bin" / "Kelvor.exe");
    ::setenv("TEMP", "/dev/null/temp", 1);
    EXPECT_FALSE(HasPatchRights(Wide(install))) << "no temporary directory";
    ::unsetenv("TEMP");
}

// A directory named on the command line is the one matched, whatever the registry says.
TEST_F(InstallDiscoveryTest, TheDirectoryOfTheCommandLineIsTheOneMatched) {
    const fs::path registered = Installation("registered", "build 41590");
    const fs::path named = Installation("named", "build 41600");
    Registry(Product("Kelvor", "Kelvor", registered.string()));
    const fs::path patcher = Patcher();
    PatchSettings& settings = PatchSettings::Instance();
    settings.SetInstallPath(Wide(named));
    EXPECT_FALSE(LoadStandalonePatch(Wide(patcher), false));
    EXPECT_EQ(g_log, (std::vector<LogLine>{{LOG_ERROR,
                                            L"This patch file is not applicable to your current "
                                            L"installation version."}}));
    EXPECT_FALSE(settings.StandaloneMode());
    EXPECT_EQ(settings.GetInstallPath(), Wide(named));

    // Named and matching, with a registry that points elsewhere.
    Registry(Product("Kelvor", "Kelvor", "/registered/elsewhere"));
    settings.Reset();
    g_log.clear();
    settings.SetInstallPath(Wide(registered));
    ASSERT_TRUE(LoadStandalonePatch(Wide(patcher), false));
    EXPECT_EQ(settings.GetInstallPath(), Wide(registered));
    EXPECT_EQ(settings.GetCurrentVersion(), "41590");
}

// Browsing skips the registry; the product's executable in bin/ or at the top of the
// installation both lead to the installation directory.
TEST_F(InstallDiscoveryTest, TheLocateDialogLeadsToTheInstallationFromBinOrItsRoot) {
    const fs::path install = Installation("install", "build 41590");
    Registry(Product("Kelvor", "Kelvor", "/registered/elsewhere"));
    const fs::path patcher = Patcher();
    const std::wstring root = Wide(install);
    std::wstring expected = root + L"\\";
    NormaliseSeparators(expected, L'\\');
    for (const std::wstring& chosen : {root + L"/bin/Kelvor.exe", root + L"/Kelvor.exe"}) {
        SCOPED_TRACE(WideToUtf8(chosen));
        PatchSettings::Instance().Reset();
        g_log.clear();
        m_window.answers = {chosen};
        EXPECT_TRUE(LoadStandalonePatch(Wide(patcher), true));
        EXPECT_EQ(PatchSettings::Instance().GetInstallPath(), expected);
        EXPECT_EQ(g_log.front().second, L"Ready to install from local patch file.");
    }
    EXPECT_EQ(m_window.dialogs, 2);

    // Without a named or registered installation the dialog is announced; cancelling it
    // ends there.
    Registry("");
    PatchSettings::Instance().Reset();
    g_log.clear();
    m_window.answers.clear();
    EXPECT_FALSE(LoadStandalonePatch(Wide(patcher), false));
    const std::vector<LogLine> lines = {
        {LOG_ERROR,
         L"Unable to determine Kelvor installation path. Requesting user to specify "
         L"installation location.\n"},
        {LOG_ERROR,
         L"Unable to determine installation location. Aborted patching at user's "
         L"request."}};
    EXPECT_EQ(g_log, lines);
}

}  // namespace
