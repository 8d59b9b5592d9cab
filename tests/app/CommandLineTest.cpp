#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/PatchSettings.h"
#include "patch/PatchCallbacks.h"
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
         L"C:\\???",
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

TEST_F(CommandLineTest, HelpShowsTheUsageWithCatalogueTexts) {
    CommandLineOptions options;
    EXPECT_FALSE(ParseCommandLine({L"osmel-patcher", L"-h"}, &options));
    EXPECT_NE(g_usage.find(L"suppress admin privilege escalation"), std::wstring::npos);
    EXPECT_NE(g_usage.find(L"launch program onexit"), std::wstring::npos);
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

    SetUp();
    ASSERT_TRUE(
        ParseCommandLine({L"osmel-patcher", L"--list=/no/such/list", L"1", L"d"}, &options));
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0], L"Failed to read list of servers from /no/such/list");
    EXPECT_FALSE(PatchSettings::Instance().DownloadMode());
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
    settings.SetInstallPath(L"C:\\Kelvor \u041a");
    EXPECT_EQ(ElevationParameters(),
              "--admin --repair --server=\"http://a/;ftp://b/\" --final= 41590 "
              "\"C:\\Kelvor ?\"");

    settings.Reset();
    settings.SetCurrentVersion("41590");
    settings.SetFinalVersion("41610");
    settings.SetInstallPath(L"/opt/kelvor");
    EXPECT_EQ(ElevationParameters(), "--admin --final=41610 41590 \"/opt/kelvor\"");
}

}  // namespace
