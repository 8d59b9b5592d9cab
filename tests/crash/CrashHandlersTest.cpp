// Crash reports from real faults, assertions and exits, each in a child process of
// its own (death tests), since the handlers and the one-report rule are process-wide.
#include "crash/CrashHandlers.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "kernel/Assert.h"
#include "platform/Sync.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class CrashHandlersTest : public ::testing::Test {
protected:
    // A death test's child runs SetUp again: it finds the parent's directory in the
    // environment it inherited and leaves it as it is.
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (const char* inherited = std::getenv(kDirectoryVariable)) {
            directory = inherited;
            return;
        }
        directory = fs::temp_directory_path() /
                    ("osmel-crash-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory);
        fs::create_directories(directory);
        ::setenv(kDirectoryVariable, directory.c_str(), 1);
        owner = true;
    }
    void TearDown() override {
        if (owner) {
            ::unsetenv(kDirectoryVariable);
            fs::remove_all(directory);
        }
    }

    static constexpr const char* kDirectoryVariable = "OSMEL_CRASH_TEST_DIRECTORY";
    bool owner = false;

    // Runs in the child: reports land in the test's directory, the system log in a file.
    void EnterDirectory() const {
        fs::current_path(directory);
        if (std::freopen((directory / "stdout.txt").c_str(), "w", stdout) == nullptr) {
            std::abort();
        }
    }

    fs::path directory;
};

// Reached through a pointer the compiler cannot see through, so the write stays.
int* volatile g_null = nullptr;

// The sanitizer would report the null store itself; the fault is what is tested.
__attribute__((noinline, no_sanitize("undefined"))) void WriteThroughNull(int* target) {
    *target = 42;
}

TEST_F(CrashHandlersTest, ANullWriteInAWorkerThreadLeavesOneReportWithTheFaultingFunction) {
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            std::thread([] { WriteThroughNull(g_null); }).join();
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    const std::string report = ReadFile(directory / "Kelvor-41861.dmp");
    EXPECT_NE(report.find("signal: 11 SIGSEGV"), std::string::npos) << report;
    EXPECT_NE(report.find("fault address: 0x0000000000000000"), std::string::npos);
    EXPECT_NE(report.find("registers:\n  rip"), std::string::npos);
    EXPECT_NE(report.find("(faulting)"), std::string::npos);
    // The stack starts at the faulting function, with its source line.
    const std::size_t stack = report.find("stack:\n  #0 ");
    ASSERT_NE(stack, std::string::npos) << report;
    const std::string firstFrame = report.substr(stack, report.find('\n', stack + 8) - stack);
    EXPECT_NE(firstFrame.find("WriteThroughNull"), std::string::npos) << firstFrame;
    EXPECT_NE(firstFrame.find("CrashHandlersTest.cpp:"), std::string::npos) << firstFrame;
    EXPECT_NE(report.find("memory map:\n"), std::string::npos);
    EXPECT_NE(report.find("end of report\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(directory / "Kelvor-41861_2.dmp"));
}

// Runs off the thread's stack (the limit is far beyond it); the volatile buffer keeps
// every frame.
volatile int g_depthLimit = 1 << 30;

__attribute__((noinline, no_sanitize("address"))) int Recurse(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth >= g_depthLimit) {
        return frame[0];
    }
    return Recurse(depth + 1) + frame[0];
}

TEST_F(CrashHandlersTest, AStackOverflowInAWorkerThreadIsReportedFromTheAlternateStack) {
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            Platform::Handle thread = Platform::CreateThread(
                256 * 1024, [](void*) -> Platform::DWORD { return Recurse(0); }, nullptr);
            Platform::WaitForSingleObject(thread, Platform::kInfinite);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    const std::string report = ReadFile(directory / "Kelvor-41861.dmp");
    EXPECT_NE(report.find("signal: 11 SIGSEGV"), std::string::npos) << report.substr(0, 2000);
    EXPECT_NE(report.find("Recurse"), std::string::npos);
    EXPECT_NE(report.find("end of report\n"), std::string::npos);
}

TEST_F(CrashHandlersTest, ASecondFaultWritesNoSecondReportAndNamesAreNumbered) {
    std::ofstream(directory / "Kelvor-41861.dmp") << "an earlier run";
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            WriteCrashDumpNow();
            WriteThroughNull(g_null);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EQ(ReadFile(directory / "Kelvor-41861.dmp"), "an earlier run");
    const std::string report = ReadFile(directory / "Kelvor-41861_2.dmp");
    EXPECT_NE(report.find("signal: none (written by the program itself)"), std::string::npos);
    EXPECT_FALSE(fs::exists(directory / "Kelvor-41861_3.dmp"));
}

TEST_F(CrashHandlersTest, AFailedAssertionLogsWritesAReportAndEndsWithStatus3) {
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            const int two = 2;
            BexoAssert(two == 3);
        },
        ::testing::ExitedWithCode(3), "");
    EXPECT_TRUE(fs::exists(directory / "Kelvor-41861.dmp"));
    const std::string log = ReadFile(directory / "stdout.txt");
    EXPECT_EQ(log.rfind("Assertion failed: two == 3\ncallstack: ", 0), 0u) << log;
    const std::size_t callstack = log.find("callstack: ");
    const std::size_t end = log.find('\n', callstack);
    EXPECT_LE(end - callstack - 11, 511u);
    EXPECT_NE(log.find("CrashHandlersTest.cpp:"), std::string::npos) << log;
}

// An exception leaving a noexcept function is a misuse the runtime ends with
// std::terminate. The throw is out of the compiler's sight, which would refuse it.
void (*volatile g_thrower)() = [] { throw std::runtime_error("the cache is gone"); };

// NOLINTNEXTLINE(bugprone-exception-escape): the escape is what is tested
__attribute__((noinline)) void ThrowThroughNoexcept() noexcept {
    g_thrower();
}

TEST_F(CrashHandlersTest, TheRuntimesReportOfAMisuseLogsWritesAReportAndEndsWithStatus3) {
    struct Case {
        const char* name;
        void (*misuse)();
        const char* exceptionLine;
        const char* inStack;
    };
    const Case cases[] = {
        {"terminate", [] { std::terminate(); }, nullptr, "TerminateHandler"},
        {"noexcept", [] { ThrowThroughNoexcept(); },
         "Unhandled exception: std::runtime_error: the cache is gone\n", "ThrowThroughNoexcept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(directory / "Kelvor-41861.dmp");
        EXPECT_EXIT(
            {
                EnterDirectory();
                InstallCrashHandlers();
                c.misuse();
            },
            ::testing::ExitedWithCode(3), "");
        const std::string report = ReadFile(directory / "Kelvor-41861.dmp");
        EXPECT_NE(report.find("end of report\n"), std::string::npos);
        // The report shows where the misuse happened, not only the handler.
        EXPECT_NE(report.find(c.inStack), std::string::npos) << report.substr(0, 3000);
        const std::string expected =
            std::string(c.exceptionLine != nullptr ? c.exceptionLine : "") +
            "Invalid Parameter Handler> function=NULL, file=NULL, line=0\n";
        EXPECT_EQ(ReadFile(directory / "stdout.txt"), expected);
    }
}

TEST_F(CrashHandlersTest, AnExitThatBypassesDisarmingLeavesAReport) {
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(fs::exists(directory / "Kelvor-41861.dmp"));

    fs::remove(directory / "Kelvor-41861.dmp");
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            DisarmCrashHandlers();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(fs::exists(directory / "Kelvor-41861.dmp"));
}

TEST_F(CrashHandlersTest, TheFatalReportIsNamedAfterTheStartTime) {
    EXPECT_EXIT(
        {
            EnterDirectory();
            if (!SetFatalDumpName(L"patcher")) {
                std::exit(1);
            }
            WriteFatalDump();
            WriteFatalDump();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    int reports = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name != "stdout.txt") {
            ++reports;
            EXPECT_TRUE(std::regex_match(
                name, std::regex(R"(patcher-v35673-20\d\d\.\d\d\.\d\d-\d\d\.\d\d\.\d\d\.dmp)")))
                << name;
        }
    }
    EXPECT_EQ(reports, 1);
}

}  // namespace
