#include "kernel/SystemLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/System.h"

namespace {

class Recorder : public BexoSystemLogObserver {
public:
    void OnSystemLog(const std::wstring& line) override { lines.push_back(line); }
    std::vector<std::wstring> lines;
};

TEST(SystemLogTest, LinesReachStdoutAndObserversWithOneLineFeedAdded) {
    Recorder recorder;
    RegisterSystemLogObserver(&recorder);
    testing::internal::CaptureStdout();
    SystemLog("MakeDirectory> CreateDirectoryW returned err %d", 5);
    SystemLogWrite(LOG_STDOUT | LOG_ANALYSIS, "already ends\n");
    SystemLogW(L"wide %ls \x2019 \xE9", L"text");
    const std::string out = testing::internal::GetCapturedStdout();
    UnregisterSystemLogObserver(&recorder);
    EXPECT_EQ(out,
              "MakeDirectory> CreateDirectoryW returned err 5\n"
              "already ends\n\n"
              "wide text \x92 ?\n");
    const std::vector<std::wstring> expected = {L"MakeDirectory> CreateDirectoryW returned err 5\n",
                                                L"wide text \x2019 ?\n"};
    EXPECT_EQ(recorder.lines, expected);
}

// The log file keeps every line after its time and process id, and starts afresh in a
// second generation before it would pass its size.
TEST(SystemLogTest, TheLogFileStampsLinesAndRotatesAtItsSize) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("osmel-logfile-" + std::to_string(Platform::GetCurrentProcessId()));
    std::filesystem::remove_all(folder);
    const std::filesystem::path file = folder / "state" / "patcher.log";
    ASSERT_TRUE(SystemLogKeepFile(file.wstring(), 200));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 6; ++i) {
        SystemLog("line %d of the session", i);
    }
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(SystemLogKeepFile(L"", 0));
    const auto read = [](const std::filesystem::path& path) {
        std::vector<std::string> lines;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    };
    const std::vector<std::string> older = read(file.string() + ".1");
    const std::vector<std::string> newer = read(file);
    EXPECT_LE(std::filesystem::file_size(file), 200u);
    EXPECT_LE(std::filesystem::file_size(file.string() + ".1"), 200u);
    ASSERT_FALSE(older.empty());
    ASSERT_FALSE(newer.empty());
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}Z )" +
                             std::to_string(Platform::GetCurrentProcessId()) +
                             R"( line (\d) of the session)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(newer.back(), match, stamped)) << newer.back();
    EXPECT_EQ(match[1], "5");
    ASSERT_TRUE(std::regex_match(older.back(), match, stamped)) << older.back();
    EXPECT_EQ(std::stoi(match[1]) + 1 + static_cast<int>(newer.size()) - 1, 5)
        << "the generations hold the latest lines in order";
    std::filesystem::remove_all(folder);
}

TEST(SystemLogTest, LongMessagesAreCutTo4095Characters) {
    Recorder recorder;
    RegisterSystemLogObserver(&recorder);
    const std::string narrow(5000, 'n');
    const std::wstring wide(5000, L'w');
    testing::internal::CaptureStdout();
    SystemLog("%s", narrow.c_str());
    SystemLogW(L"%ls", wide.c_str());
    testing::internal::GetCapturedStdout();
    UnregisterSystemLogObserver(&recorder);
    ASSERT_EQ(recorder.lines.size(), 2u);
    EXPECT_EQ(recorder.lines[0], std::wstring(4095, L'n') + L"\n");
    EXPECT_EQ(recorder.lines[1], std::wstring(4095, L'w') + L"\n");
}

class LoggingObserver : public BexoSystemLogObserver {
public:
    void OnSystemLog(const std::wstring& line) override {
        lines.push_back(line);
        // Re-entry from an observer reaches the other sinks but not the observers.
        SystemLog("from inside");
    }
    std::vector<std::wstring> lines;
};

TEST(SystemLogTest, AnObserverThatLogsIsNotNotifiedAgain) {
    LoggingObserver observer;
    RegisterSystemLogObserver(&observer);
    testing::internal::CaptureStdout();
    SystemLog("outer");
    const std::string out = testing::internal::GetCapturedStdout();
    UnregisterSystemLogObserver(&observer);
    EXPECT_EQ(observer.lines, std::vector<std::wstring>{L"outer\n"});
    EXPECT_EQ(out, "outer\nfrom inside\n");
}

class SelfRemovingObserver : public BexoSystemLogObserver {
public:
    void OnSystemLog(const std::wstring&) override { UnregisterSystemLogObserver(this); }
};

TEST(SystemLogDeathTest, UnregisteringFromInsideANotificationIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* observer = new SelfRemovingObserver();
            RegisterSystemLogObserver(observer);
            SystemLog("boom");
        },
        "Assertion failed: !g_bIsIterating");
}

}  // namespace
