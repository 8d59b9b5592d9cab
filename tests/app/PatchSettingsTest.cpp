#include "kernel/PatchSettings.h"

#include <gtest/gtest.h>

namespace {

using BexoPatch::PatchSettings;

class PatchSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { PatchSettings::Instance().Reset(); }
    void TearDown() override { PatchSettings::Instance().Reset(); }
    PatchSettings& s = PatchSettings::Instance();
};

TEST_F(PatchSettingsTest, StandaloneAndDownloadExcludeEachOther) {
    s.SetDownloadMode(true);
    s.SetStandaloneMode(true);
    EXPECT_TRUE(s.StandaloneMode());
    EXPECT_FALSE(s.DownloadMode());
    s.SetRepairMode(true);
    s.SetDownloadMode(true);
    EXPECT_FALSE(s.StandaloneMode());
    EXPECT_TRUE(s.RepairMode());
    s.SetDownloadMode(false);
    EXPECT_FALSE(s.StandaloneMode()) << "turning one off changes nothing else";
}

TEST_F(PatchSettingsTest, VersionsBuildThePatchNameAndAnEmptyCurrentTakesTheNextBuild) {
    s.PushBuild("41590");
    s.PushBuild("41600");
    s.SetTargetVersion("41610");
    EXPECT_EQ(s.GetPatchName(), "41590_to_41610") << "the empty current took the first build";
    s.SetCurrentVersion("");
    EXPECT_EQ(s.GetCurrentVersion(), "41600");
    EXPECT_EQ(s.GetPatchName(), "41600_to_41610");
    s.SetCurrentVersion("");
    EXPECT_EQ(s.GetCurrentVersion(), "");
    EXPECT_EQ(s.PopBuild(), "");
    EXPECT_TRUE(s.AddServer(L""));
    EXPECT_EQ(s.Servers().size(), 1u);
}

}  // namespace
