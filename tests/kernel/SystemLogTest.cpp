#include "kernel/SystemLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
