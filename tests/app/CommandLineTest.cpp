#include <gtest/gtest.h>
#include <wx/init.h>

#include "app/OsmelPatcherApp.h"
#include "app/PatchSettings.h"

namespace {

using BexoPatch::CommandLineResult;
using BexoPatch::PatchSettings;

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override { PatchSettings::Instance().Reset(); }
    void TearDown() override { PatchSettings::Instance().Reset(); }
    wxInitializer m_wx;
};

TEST_F(CommandLineTest, TheSettingsEachCommandLineGives) {
    struct Case {
        std::vector<std::wstring> arguments;
        bool parsed;
        bool syntaxError;
        std::wstring installPath;
        std::string current;
        std::size_t servers;
        bool download;
        bool repair;
    };
    const Case cases[] = {
        {{L"--server=ftp://a;http://b", L"41590", L"C:\\Kelvor"},
         true,
         false,
         L"C:\\Kelvor",
         "41590",
         2,
         true,
         false},
        {{L"-s", L"ftp://a", L"C:\\Kelvor"},
         true,
         false,
         L"C:\\Kelvor",
         "C:\\Kelvor",
         1,
         true,
         false},
        {{L"--server=ftp://a"}, false, false, L"", "", 0, false, false},
        {{L"--server", L"ftp://a", L"41590", L"C:\\Kelvor"}, false, true, L"", "", 0, false, false},
        {{L"--repair", L"--final=", L"41590", L"C:\\K\x4E2D"},
         true,
         false,
         L"C:\\K?",
         "41590",
         0,
         false,
         true},
        {{L"a", L"b", L"c"}, false, true, L"", "", 0, false, false},
        {{L"--bogus"}, false, true, L"", "", 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.arguments.size() << " arguments, first "
                     << std::string(c.arguments[0].begin(), c.arguments[0].end()));
        PatchSettings::Instance().Reset();
        CommandLineResult result;
        EXPECT_EQ(BexoPatch::ParseCommandLine(c.arguments, &result), c.parsed);
        EXPECT_EQ(result.syntaxError, c.syntaxError);
        PatchSettings& s = PatchSettings::Instance();
        EXPECT_EQ(s.GetInstallPath(), c.installPath);
        EXPECT_EQ(s.GetCurrentVersion(), c.current);
        EXPECT_EQ(s.Servers().size(), c.servers);
        EXPECT_EQ(s.DownloadMode(), c.download);
        EXPECT_EQ(s.RepairMode(), c.repair);
    }
}

TEST(ArgumentRepairTest, AQuotedDirectoryEndingInABackslashLosesTheQuote) {
    std::vector<std::wstring> arguments = {L"41590", L"C:\\Kelvor\\\"", L"\"", L"x\""};
    BexoPatch::RepairArguments(&arguments);
    EXPECT_EQ(arguments, (std::vector<std::wstring>{L"41590", L"C:\\Kelvor\\", L"\"", L"x\""}));
}

}  // namespace
