#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/System.h"

using namespace BexoPatch;

namespace {

std::wstring g_usage;
std::vector<std::wstring> g_log;

void CaptureUsage(const std::wstring& text) {
    g_usage += text;
}
void CaptureLog(std::int32_t /*level*/, const std::wstring& text) {
    g_log.push_back(text);
}

struct Case {
    std::vector<std::wstring> arguments;
    bool result;
    bool syntaxError;
    std::wstring installPath;
    std::string currentVersion;
    std::string finalVersion;
    std::vector<std::wstring> servers;
    bool repair;
    bool download;
    bool admin;
    std::wstring onExit;
};

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        PatchSettings::Instance().Reset();
        g_usage.clear();
        g_log.clear();
        SetUsageOutput(CaptureUsage);
        SetPatchCallbacks(nullptr, nullptr, CaptureLog);
    }
    void TearDown() override {
        SetUsageOutput(nullptr);
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        PatchSettings::Instance().Reset();
    }
};

TEST_F(CommandLineTest, TableOfCommandLines) {
    const Case cases[] = {
        {{}, false, false, L"", "", "", {}, false, false, false, L""},
        // Without a positional parameter the servers are not read.
        {{L"--server=a"}, false, false, L"", "", "", {}, false, false, false, L""},
        {{L"41590", L"C:\\Kelvor"},
         true,
         false,
         L"C:\\Kelvor",
         "41590",
         "",
         {},
         false,
         false,
         false,
         L""},
        // One positional parameter is both the directory and, failing the build list, the
        // current version.
        {{L"C:\\Kelvor"},
         true,
         false,
         L"C:\\Kelvor",
         "C:\\Kelvor",
         "",
         {},
         false,
         false,
         false,
         L""},
        {{L"--server=a;b", L"41590", L"d"},
         true,
         false,
         L"d",
         "41590",
         "",
         {L"a", L"b"},
         false,
         true,
         false,
         L""},
        {{L"-s", L"a", L"41590", L"d"},
         true,
         false,
         L"d",
         "41590",
         "",
         {L"a"},
         false,
         true,
         false,
         L""},
        {{L"-s:a", L"41590", L"d"},
         true,
         false,
         L"d",
         "41590",
         "",
         {L"a"},
         false,
         true,
         false,
         L""},
        {{L"--server", L"a", L"41590", L"d"},
         false,
         true,
         L"",
         "",
         "",
         {},
         false,
         false,
         false,
         L""},
        {{L"--bogus", L"41590", L"d"}, false, true, L"", "", "", {}, false, false, false, L""},
        {{L"1", L"2", L"3"}, false, true, L"", "", "", {}, false, false, false, L""},
        {{L"--final=", L"--repair", L"--admin", L"41590", L"d"},
         true,
         false,
         L"d",
         "41590",
         "",
         {},
         true,
         false,
         true,
         L""},
        {{L"--final=41610", L"--onexit=run me", L"41590", L"d"},
         true,
         false,
         L"d",
         "41590",
         "41610",
         {},
         false,
         false,
         false,
         L"run me"},
        // Final, repair and on-exit are read before the positional parameters are checked.
        {{L"-r", L"-f", L"41610"}, false, false, L"", "", "41610", {}, true, false, false, L""},
        {{L"41590", L"C:\\\u041a\u0435\u043b"},
         true,
         false,
         // Through Windows' narrow entry points, as the file system is given it there.
         Platform::WindowsFileNames() ? L"C:\\???" : L"C:\\\u041a\u0435\u043b",
         "41590",
         "",
         {},
         false,
         false,
         false,
         L""},
    };
    for (const Case& c : cases) {
        SetUp();
        std::vector<std::wstring> arguments{L"osmel-patcher"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        CommandLineOptions options;
        const std::wstring shown = c.arguments.empty() ? L"(none)" : c.arguments.front() + L" ...";
        SCOPED_TRACE(std::string(shown.begin(), shown.end()));
        EXPECT_EQ(ParseCommandLine(arguments, &options), c.result);
        EXPECT_EQ(!g_usage.empty(), c.syntaxError);
        PatchSettings& settings = PatchSettings::Instance();
        EXPECT_EQ(settings.GetInstallPath(), c.installPath);
        EXPECT_EQ(settings.GetCurrentVersion(), c.currentVersion);
        EXPECT_EQ(settings.GetFinalVersion(), c.finalVersion);
        EXPECT_EQ(settings.Servers(), c.servers);
        EXPECT_EQ(settings.RepairMode(), c.repair);
        EXPECT_EQ(settings.DownloadMode(), c.download);
        EXPECT_EQ(options.adminSwitch, c.admin);
        EXPECT_EQ(options.runOnExit, !c.onExit.empty());
        EXPECT_EQ(options.onExitCommand, c.onExit);
    }
}

// The help texts of every catalogue, those with characters outside ASCII included; the
// usage is also kept for the window's log.
TEST_F(CommandLineTest, HelpShowsTheUsageWithCatalogueTexts) {
    const struct {
        std::uint16_t language;
        const wchar_t* admin;
        const wchar_t* onExit;
    } cases[] = {
        {9, L"suppress admin privilege escalation", L"launch program onexit"},
        {1031, L"Anforderung von Administratorrechten unterdrücken",
         L"Programm beim Beenden starten"},
        {1036, L"ne pas demander l'élévation des privilèges",
         L"lancer un programme à la fermeture"},
        {1049, L"не запрашивать повышение прав администратора", L"запустить программу при выходе"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        SetMessageLanguage(c.language);
        g_usage.clear();
        CommandLineOptions options;
        EXPECT_FALSE(ParseCommandLine({L"osmel-patcher", L"-h"}, &options));
        EXPECT_NE(g_usage.find(c.admin), std::wstring::npos) << WideToUtf8(g_usage);
        EXPECT_NE(g_usage.find(c.onExit), std::wstring::npos);
        ASSERT_EQ(options.startupLines.size(), 1u);
        EXPECT_EQ(options.startupLines[0],
                  (std::pair<std::int32_t, std::wstring>(LOG_NORMAL, g_usage)));
    }
    SetMessageLanguage(0);
}

// A syntax error goes to the window's log too, as an error.
TEST_F(CommandLineTest, ASyntaxErrorIsKeptForTheWindow) {
    CommandLineOptions options;
    EXPECT_FALSE(ParseCommandLine({L"osmel-patcher", L"--bogus", L"41590", L"d"}, &options));
    ASSERT_EQ(options.startupLines.size(), 1u);
    EXPECT_EQ(options.startupLines[0].first, LOG_ERROR);
    EXPECT_NE(options.startupLines[0].second.find(L"bogus"), std::wstring::npos);
    EXPECT_EQ(options.startupLines[0].second, g_usage);
}

// A relative directory is the one the program was started in, whatever the working
// directory is when the session uses it.
TEST_F(CommandLineTest, ARelativeDirectoryIsTakenFromTheStartingDirectory) {
    const struct {
        const wchar_t* argument;
        const wchar_t* installPath;
    } cases[] = {
        {L"kelvor", L"/home/user/kelvor"},
        {L"/opt/kelvor", L"/opt/kelvor"},
        {L"C:\\Kelvor", L"C:\\Kelvor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.argument));
        PatchSettings::Instance().Reset();
        CommandLineOptions options;
        ASSERT_TRUE(ParseCommandLine({L"osmel-patcher", L"--repair", L"41590", c.argument},
                                     &options, L"/home/user"));
        std::wstring path = PatchSettings::Instance().GetInstallPath();
        NormaliseSeparators(path, L'/');
        std::wstring expected = c.installPath;
        NormaliseSeparators(expected, L'/');
        EXPECT_EQ(path, expected);
    }
}

TEST_F(CommandLineTest, AFrontEndsOwnOptionsAreParsedWithTheSharedOnes) {
    const auto parse = [](std::vector<std::wstring> arguments) {
        CommandLineOptions options;
        options.extra.resize(2);
        options.extra[0].longName = "archive";
        options.extra[0].help = "file";
        options.extra[0].takesValue = true;
        options.extra[1].longName = "quiet";
        options.extra[1].help = "quiet";
        arguments.insert(arguments.begin(), L"osmel-update");
        ParseCommandLine(arguments, &options);
        return options;
    };
    CommandLineOptions options = parse({L"--archive", L"p a", L"--quiet", L"-r", L"41590", L"d"});
    EXPECT_FALSE(options.syntaxError);
    EXPECT_TRUE(options.extra[0].found);
    EXPECT_EQ(options.extra[0].value, L"p a");
    EXPECT_TRUE(options.extra[1].found);
    EXPECT_TRUE(PatchSettings::Instance().RepairMode());
    EXPECT_EQ(PatchSettings::Instance().GetInstallPath(), L"d");

    SetUp();
    options = parse({L"--archive=p"});
    EXPECT_EQ(options.extra[0].value, L"p");
    EXPECT_FALSE(options.extra[1].found);
    EXPECT_TRUE(g_usage.empty());

    SetUp();
    options = parse({L"--no-such-option"});
    EXPECT_TRUE(options.syntaxError);
    EXPECT_FALSE(options.helpAsked);
    EXPECT_NE(g_usage.find(L"--quiet"), std::wstring::npos);

    SetUp();
    options = parse({L"--help"});
    EXPECT_FALSE(options.syntaxError);
    EXPECT_TRUE(options.helpAsked);
}

TEST_F(CommandLineTest, ServerListFileAddsEveryLineAndAMissingFileIsLogged) {
    const std::filesystem::path list =
        std::filesystem::temp_directory_path() /
        ("osmel-servers-" + std::to_string(Platform::GetCurrentProcessId()) + ".txt");
    std::ofstream(list, std::ios::binary) << "http://a/\r\n\nftp://b/";
    CommandLineOptions options;
    ASSERT_TRUE(ParseCommandLine({L"osmel-patcher", L"--list=" + list.wstring(), L"41590", L"d"},
                                 &options));
    EXPECT_EQ(PatchSettings::Instance().Servers(),
              (std::vector<std::wstring>{L"http://a/", L"", L"ftp://b/"}));
    EXPECT_TRUE(PatchSettings::Instance().DownloadMode());

    std::ofstream(list, std::ios::binary | std::ios::trunc).flush();
    EXPECT_FALSE(ReadServerList(list.string()));
    std::filesystem::remove(list);

    // Longer than a server list can be: refused whole, the endless one included.
    std::ofstream(list, std::ios::binary) << std::string(kMaxServerListBytes + 1, 'x');
    EXPECT_FALSE(ReadServerList(list.string()));
    EXPECT_TRUE(PatchSettings::Instance().Servers().size() == 3);
    std::filesystem::remove(list);
    EXPECT_FALSE(ReadServerList("/dev/zero"));

    // The line waits for the window: nothing reaches the log before it exists.
    for (const wchar_t* missing : {L"/no/such/list", L"/dev/zero"}) {
        SetUp();
        CommandLineOptions failed;
        ASSERT_TRUE(ParseCommandLine(
            {L"osmel-patcher", L"--list=" + std::wstring(missing), L"1", L"d"}, &failed));
        EXPECT_TRUE(g_log.empty());
        ASSERT_EQ(failed.startupLines.size(), 1u);
        EXPECT_EQ(failed.startupLines[0].first, LOG_ERROR);
        EXPECT_EQ(failed.startupLines[0].second,
                  L"Failed to read list of servers from " + std::wstring(missing));
        EXPECT_FALSE(PatchSettings::Instance().DownloadMode());
    }
}

TEST_F(CommandLineTest, QuotedDirectoryEndingInBackslashLosesTheStrayQuote) {
    std::vector<std::wstring> arguments{L"osmel-patcher", L"41590", L"C:\\Kelvor\\\"", L"\"",
                                        L"\\\""};
    RepairArguments(&arguments);
    EXPECT_EQ(arguments, (std::vector<std::wstring>{L"osmel-patcher", L"41590", L"C:\\Kelvor\\",
                                                    L"\"", L"\\"}));
}

TEST_F(CommandLineTest, ElevationParametersCarryTheWholeSettings) {
    PatchSettings& settings = PatchSettings::Instance();
    settings.SetRepairMode(true);
    settings.AddServer(L"http://a/");
    settings.AddServer(L"ftp://b/");
    settings.SetCurrentVersion("41590");
    settings.SetInstallPath(L"/home/Jos\u00e9/\u041a\u0435\u043b\u044c\u0432\u043e\u0440");
    // The folder's name whole: through narrow text the copy would look for "/home/Jos?/???????".
    EXPECT_EQ(ElevationParameters(),
              L"--admin --repair --server=http://a/;ftp://b/ --final= 41590 "
              L"/home/Jos\u00e9/\u041a\u0435\u043b\u044c\u0432\u043e\u0440");

    settings.Reset();
    settings.SetCurrentVersion("41590");
    settings.SetFinalVersion("41610");
    settings.SetInstallPath(L"/opt/kelvor");
    EXPECT_EQ(ElevationParameters(), L"--admin --final=41610 41590 /opt/kelvor");
}

// The elevated copy must read back what this process had: directories with spaces, a
// trailing backslash or a quote, and servers with spaces, split as Windows splits.
TEST_F(CommandLineTest, ElevationParametersSplitBackIntoTheSameSettings) {
    const struct {
        const wchar_t* installPath;
        const wchar_t* server;
    } cases[] = {
        {L"C:\\Program Files\\Kelvor\\", L"http://a/"},
        {L"/opt/my kelvor", L"ftp://b/x y/"},
        {L"C:\\Games\\\"Kelvor\"", L"http://a/"},
        {L"C:\\Kelvor\\\\", L"http://a/"},
        {L"/home/Jos\u00e9/\u041a\u0435\u043b\u044c\u0432\u043e\u0440 \u00e9", L"http://a/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.installPath));
        PatchSettings& settings = PatchSettings::Instance();
        settings.Reset();
        settings.SetCurrentVersion("41590");
        settings.SetFinalVersion("41610");
        settings.SetInstallPath(c.installPath);
        settings.AddServer(c.server);
        const std::vector<std::wstring> servers = settings.Servers();
        const std::vector<std::wstring> arguments =
            Platform::SplitWindowsCommandLine(L"osmel-patcher " + ElevationParameters());

        settings.Reset();
        CommandLineOptions options;
        ASSERT_TRUE(ParseCommandLine(arguments, &options));
        EXPECT_EQ(settings.GetInstallPath(), c.installPath);
        EXPECT_EQ(settings.GetCurrentVersion(), "41590");
        EXPECT_EQ(settings.GetFinalVersion(), "41610");
        EXPECT_EQ(settings.Servers(), servers);
        EXPECT_TRUE(options.adminSwitch);
    }
}

}  // namespace
