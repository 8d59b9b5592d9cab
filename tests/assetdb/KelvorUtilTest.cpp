// The utility tool double as the patcher runs it: a Windows command line, a Windows path.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "AssetDbFixture.h"

namespace {

std::string RunTool(const TestInstallation& installation, const std::string& arguments,
                    Platform::DWORD* exitCode) {
    std::unique_ptr<ChildProcess> child(StartChildProcess(
        Platform::FromSystemPath((installation.root / "bin" / "KelvorUtil.exe").string()),
        arguments));
    if (!child) {
        return "(not started)";
    }
    std::string output;
    while (child->ReadStdout(output)) {
    }
    child->Wait(Platform::kInfinite);
    Platform::GetExitCodeProcess(child->processHandle, exitCode);
    return output;
}

TEST(KelvorUtilTest, ListBuildsWritesTheConfiguredListToTheGivenWindowsPath) {
    TestInstallation installation;
    installation.Configure("builds=41590,41600,\nexitcode=0\n");
    const std::wstring list = installation.Path() + L"\\bin\\buildList.txt";
    Platform::DWORD code = 99;
    RunTool(installation, "listbuilds \"" + ToNarrow(list) + "\"", &code);
    EXPECT_EQ(code, 0u);
    std::ifstream in(installation.root / "bin" / "buildList.txt");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "41590,41600,");
}

TEST(KelvorUtilTest, RepairDatabaseRefusesWhileAnotherProgramHoldsItExclusively) {
    TestInstallation installation;
    installation.Configure("repairseconds=0\nrepairlines=1\nexitcode=5\n");
    Platform::DWORD code = 99;
    EXPECT_EQ(RunTool(installation, "repairdatabase patcher", &code),
              "Repairing the Kelvor asset database.\nChecked 100% of the assets.\n"
              "The asset database is up to date.\n");
    EXPECT_EQ(code, 5u);

    HoldingTool depotrix(installation, "hold exclusive");
    ASSERT_TRUE(depotrix.holding);
    EXPECT_EQ(RunTool(installation, "repairdatabase patcher", &code),
              "The asset database is in use by another program.\n");
    EXPECT_EQ(code, 2u);
}

}  // namespace
