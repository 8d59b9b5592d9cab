// The asset database update over the real utility tool double: its output in the log,
// the time-based gauge, cancel, and a missing tool.
#include "assetdb/AssetDbUpdate.h"

#include <gtest/gtest.h>

#include <chrono>

#include "AssetDbFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::wstring LogText(const std::vector<RecordingWindow::Call>& calls, const std::string& level) {
    std::wstring text;
    for (const auto& call : calls) {
        if (call.what == level) {
            text += call.text;
        }
    }
    return text;
}

TEST(AssetDbUpdateTest, TheToolsOutputReachesTheLogAndTheGaugeEndsFull) {
    TestInstallation installation;
    installation.Configure("repairseconds=0.2\nrepairlines=4\n");
    ASSERT_TRUE(AcquireAssetDatabase(installation.Path(), 1, 1));
    RecordingWindow window;
    EXPECT_TRUE(RunAssetDatabaseUpdate(installation.Path(), window));

    const auto calls = window.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().what, "log0");
    EXPECT_EQ(calls.front().text,
              L"\nUpdating Kelvor asset database... (this may take several minutes)");
    // The tool could attach: the update gave the lock up first. Its output comes line by
    // line, without the breaks that would show as empty lines in the window.
    std::vector<std::wstring> lines;
    for (const auto& call : calls) {
        if (call.what == "log0") {
            lines.push_back(call.text);
        }
    }
    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"\nUpdating Kelvor asset database... (this may take several minutes)",
                         L"Repairing the Kelvor asset database.",
                         L"Checked 25% of the assets.",
                         L"Checked 50% of the assets.",
                         L"Checked 75% of the assets.",
                         L"Checked 100% of the assets.",
                         L"The asset database is up to date.",
                     }));

    std::vector<std::pair<std::string, int>> gauge;
    for (const auto& call : calls) {
        if (call.what == "range" || call.what == "value") {
            gauge.emplace_back(call.what, call.number);
        }
    }
    ASSERT_GE(gauge.size(), 4u);
    EXPECT_EQ(gauge[0], std::make_pair(std::string("range"), 1201000));
    EXPECT_EQ(gauge[1], std::make_pair(std::string("value"), 600000));
    EXPECT_EQ(gauge[gauge.size() - 2], std::make_pair(std::string("range"), 1));
    EXPECT_EQ(gauge.back(), std::make_pair(std::string("value"), 1));
    for (std::size_t i = 2; i + 2 < gauge.size(); ++i) {
        EXPECT_EQ(gauge[i].second, 600000 + 500 * static_cast<int>(i - 1));
    }
}

TEST(AssetDbUpdateTest, CancelStopsTheToolWithinAboutASecond) {
    TestInstallation installation;
    installation.Configure("repairseconds=60\nrepairlines=600\n");
    RecordingWindow window;
    window.cancelOnOutput = true;
    const auto start = Clock::now();
    EXPECT_FALSE(RunAssetDatabaseUpdate(installation.Path(), window)) << "cancelled";
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(seconds, 3.0);
    const std::wstring log = LogText(window.Calls(), "log0");
    EXPECT_NE(log.find(L"Checked"), std::wstring::npos);
    EXPECT_EQ(log.find(L"up to date"), std::wstring::npos);
}

TEST(AssetDbUpdateTest, AMissingToolIsReportedAndTheUpdateEnds) {
    TestInstallation installation;
    std::filesystem::remove(installation.root / "bin" / "KelvorUtil.exe");
    RecordingWindow window;
    EXPECT_FALSE(RunAssetDatabaseUpdate(installation.Path(), window));
    const auto calls = window.Calls();
    EXPECT_EQ(LogText(calls, "log2"),
              L"Failed to launch KelvorUtil to repair the Kelvor asset database.\n"
              L"Please repair the database manually from Depotrix.");
    EXPECT_EQ(calls.back().what, "value");
    EXPECT_EQ(calls.back().number, 1);
}

// A tool that ends with a failure leaves the database to be repaired: the update says so
// and fails.
TEST(AssetDbUpdateTest, AToolThatFailsFailsTheUpdate) {
    TestInstallation installation;
    installation.Configure("repairseconds=0\nrepairlines=1\nexitcode=3\n");
    RecordingWindow window;
    EXPECT_FALSE(RunAssetDatabaseUpdate(installation.Path(), window));
    EXPECT_EQ(LogText(window.Calls(), "log2"),
              L"KelvorUtil failed to repair the Kelvor asset database (exit code 3).\n"
              L"Please repair the database manually from Depotrix.");
}

TEST(AssetDbUpdateTest, TheHackProgressFillsHalfTheGauge) {
    struct Case {
        int minutes;
        int range;
        int last;
    };
    for (const Case c : {Case{0, 0, 0}, Case{2, 240000, 120000}}) {
        RecordingWindow window;
        KADHackProgressThread thread(window);
        thread.minutes = c.minutes;
        ASSERT_TRUE(thread.StartThread());
        thread.Stop();
        thread.Join();
        const auto calls = window.Calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls.front().what, "range");
        EXPECT_EQ(calls.front().number, c.range);
        EXPECT_EQ(calls.back().what, "value");
        EXPECT_EQ(calls.back().number, c.last);
    }
}

}  // namespace
