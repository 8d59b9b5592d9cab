// Crash reports from real faults, assertions and exits, each in a child process of
// its own (death tests), since the handlers and the one-report rule are process-wide.
// On Windows the reports are minidumps, read back here stream by stream.
#include "crash/CrashHandlers.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kernel/Assert.h"
#include "platform/Sync.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
    ::_putenv_s(name, value);
#else
    ::setenv(name, value, 1);
#endif
}

#ifdef _WIN32
constexpr std::uint32_t kAccessViolation = 0xC0000005;
constexpr std::uint32_t kStackOverflow = 0xC00000FD;
constexpr std::uint32_t kFatalAppExit = 0x40000015;
constexpr std::uint64_t kMiniDumpWithIndirectlyReferencedMemory = 0x40;

// What a minidump says: its type, the exception stream, the threads and the modules.
struct MiniDump {
    bool valid = false;
    std::uint64_t type = 0;
    bool hasException = false;
    std::uint32_t exceptionThread = 0;
    std::uint32_t exceptionCode = 0;
    std::uint64_t exceptionAddress = 0;
    std::vector<std::uint32_t> threads;
    // Base and size of each module.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> modules;
};

template <typename T>
bool ReadAt(const std::string& bytes, std::uint64_t offset, T* value) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        return false;
    }
    std::memcpy(value, bytes.data() + offset, sizeof(T));
    return true;
}

MiniDump ParseMiniDump(const std::string& bytes) {
    MiniDump dump;
    std::uint32_t signature = 0;
    std::uint32_t streams = 0;
    std::uint32_t directory = 0;
    if (!ReadAt(bytes, 0, &signature) || signature != 0x504D444D ||  // "MDMP"
        !ReadAt(bytes, 8, &streams) || !ReadAt(bytes, 12, &directory) ||
        !ReadAt(bytes, 24, &dump.type)) {
        return dump;
    }
    for (std::uint32_t i = 0; i < streams; ++i) {
        std::uint32_t type = 0;
        std::uint32_t at = 0;
        const std::uint64_t entry = directory + 12ull * i;
        if (!ReadAt(bytes, entry, &type) || !ReadAt(bytes, entry + 8, &at)) {
            return dump;
        }
        std::uint32_t count = 0;
        if (type == 3 && ReadAt(bytes, at, &count)) {  // ThreadListStream
            for (std::uint32_t t = 0; t < count; ++t) {
                std::uint32_t id = 0;
                if (ReadAt(bytes, at + 4 + 48ull * t, &id)) {
                    dump.threads.push_back(id);
                }
            }
        } else if (type == 4 && ReadAt(bytes, at, &count)) {  // ModuleListStream
            for (std::uint32_t m = 0; m < count; ++m) {
                std::uint64_t base = 0;
                std::uint32_t size = 0;
                if (ReadAt(bytes, at + 4 + 108ull * m, &base) &&
                    ReadAt(bytes, at + 4 + 108ull * m + 8, &size)) {
                    dump.modules.emplace_back(base, size);
                }
            }
        } else if (type == 6) {  // ExceptionStream
            dump.hasException = ReadAt(bytes, at, &dump.exceptionThread) &&
                                ReadAt(bytes, at + 8, &dump.exceptionCode) &&
                                ReadAt(bytes, at + 24, &dump.exceptionAddress);
        }
    }
    dump.valid = true;
    return dump;
}

// Where the dump's exception happened, as an offset into the program's image (the
// first module), comparable with this process's own addresses.
std::uint64_t ProgramOffset(const MiniDump& dump) {
    if (dump.modules.empty() || dump.exceptionAddress < dump.modules[0].first) {
        return 0;
    }
    return dump.exceptionAddress - dump.modules[0].first;
}

std::uint64_t OffsetOf(const void* code) {
    Platform::ModuleInfo program;
    Platform::GetProgramModuleInformation(&program);
    return reinterpret_cast<std::uintptr_t>(code) - program.base;
}

// A minidump of the whole process with the fault's thread, code and address.
void ExpectMiniDump(const fs::path& path, std::uint32_t code, const void* function = nullptr) {
    const MiniDump dump = ParseMiniDump(ReadFile(path));
    ASSERT_TRUE(dump.valid) << path;
    EXPECT_EQ(dump.type & kMiniDumpWithIndirectlyReferencedMemory,
              kMiniDumpWithIndirectlyReferencedMemory);
    ASSERT_TRUE(dump.hasException);
    EXPECT_EQ(dump.exceptionCode, code);
    EXPECT_NE(std::find(dump.threads.begin(), dump.threads.end(), dump.exceptionThread),
              dump.threads.end());
    EXPECT_FALSE(dump.modules.empty());
    if (function != nullptr) {
        // Within the function's first few hundred bytes.
        const std::uint64_t start = OffsetOf(function);
        EXPECT_GE(ProgramOffset(dump), start);
        EXPECT_LT(ProgramOffset(dump), start + 512);
    }
}

auto Faulted() {
    return ::testing::ExitedWithCode(static_cast<int>(kAccessViolation));
}
auto StackOverflowed() {
    return ::testing::ExitedWithCode(static_cast<int>(kStackOverflow));
}
// The runtime's abort ends a process with status 3.
auto Aborted() {
    return ::testing::ExitedWithCode(3);
}
#else
auto Faulted() {
    return ::testing::KilledBySignal(SIGSEGV);
}
auto StackOverflowed() {
    return ::testing::KilledBySignal(SIGSEGV);
}
auto Aborted() {
    return ::testing::KilledBySignal(SIGABRT);
}
#endif

class CrashHandlersTest : public ::testing::Test {
protected:
    // A death test's child runs SetUp again: it finds the parent's directory in the
    // environment it inherited and leaves it as it is.
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        const char* inherited = std::getenv(kDirectoryVariable);
        if (inherited != nullptr && inherited[0] != '\0') {
            directory = inherited;
            return;
        }
        directory = fs::temp_directory_path() /
                    ("osmel-crash-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory);
        fs::create_directories(directory);
        SetVariable(kDirectoryVariable, directory.string().c_str());
        owner = true;
    }
    void TearDown() override {
        if (owner) {
            SetVariable(kDirectoryVariable, "");
            fs::remove_all(directory);
        }
    }

    static constexpr const char* kDirectoryVariable = "OSMEL_CRASH_TEST_DIRECTORY";
    bool owner = false;

    // Runs in the child: reports land in the test's directory, the system log in a file.
    void EnterDirectory() const {
        fs::current_path(directory);
        if (std::freopen((directory / "stdout.txt").string().c_str(), "w", stdout) == nullptr) {
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
        Faulted(), "");
    EXPECT_FALSE(fs::exists(directory / "Kelvor-41861_2.dmp"));
#ifdef _WIN32
    ExpectMiniDump(directory / "Kelvor-41861.dmp", kAccessViolation,
                   reinterpret_cast<const void*>(&WriteThroughNull));
#else
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
#endif
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
        StackOverflowed(), "");
#ifdef _WIN32
    ExpectMiniDump(directory / "Kelvor-41861.dmp", kStackOverflow,
                   reinterpret_cast<const void*>(&Recurse));
#else
    const std::string report = ReadFile(directory / "Kelvor-41861.dmp");
    EXPECT_NE(report.find("signal: 11 SIGSEGV"), std::string::npos) << report.substr(0, 2000);
    EXPECT_NE(report.find("Recurse"), std::string::npos);
    EXPECT_NE(report.find("end of report\n"), std::string::npos);
#endif
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
        Faulted(), "");
    EXPECT_EQ(ReadFile(directory / "Kelvor-41861.dmp"), "an earlier run");
#ifdef _WIN32
    ExpectMiniDump(directory / "Kelvor-41861_2.dmp", 0);
#else
    const std::string report = ReadFile(directory / "Kelvor-41861_2.dmp");
    EXPECT_NE(report.find("signal: none (written by the program itself)"), std::string::npos);
#endif
    EXPECT_FALSE(fs::exists(directory / "Kelvor-41861_3.dmp"));
}

TEST_F(CrashHandlersTest, AnAbortLeavesAReport) {
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            std::abort();
        },
        Aborted(), "");
#ifdef _WIN32
    ExpectMiniDump(directory / "Kelvor-41861.dmp", kFatalAppExit);
#else
    const std::string report = ReadFile(directory / "Kelvor-41861.dmp");
    EXPECT_NE(report.find("signal: 6 SIGABRT"), std::string::npos) << report.substr(0, 2000);
    EXPECT_NE(report.find("end of report\n"), std::string::npos);
#endif
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
    EXPECT_EQ(log.rfind("Assertion failed: two == 3\nCrash report written: ", 0), 0u) << log;
    EXPECT_NE(log.find("Kelvor-41861.dmp\ncallstack: "), std::string::npos) << log;
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
#ifdef _WIN32
        ExpectMiniDump(directory / "Kelvor-41861.dmp", 0);
#else
        const std::string report = ReadFile(directory / "Kelvor-41861.dmp");
        EXPECT_NE(report.find("end of report\n"), std::string::npos);
        // The report shows where the misuse happened, not only the handler.
        EXPECT_NE(report.find(c.inStack), std::string::npos) << report.substr(0, 3000);
#endif
        const std::string expected =
            std::string(c.exceptionLine != nullptr ? c.exceptionLine : "") +
            "Invalid Parameter Handler> function=NULL, file=NULL, line=0\n";
        // The report's path comes first, told as it is written.
        const std::string log = ReadFile(directory / "stdout.txt");
        const std::size_t told = log.find("Kelvor-41861.dmp\n");
        ASSERT_NE(told, std::string::npos) << log;
        EXPECT_EQ(log.rfind("Crash report written: ", 0), 0u) << log;
        EXPECT_EQ(log.substr(told + 17), expected);
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

TEST_F(CrashHandlersTest, AFaultOnAGuardedThreadGoesToTheGuardFirst) {
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            if (!SetFatalDumpName(L"patcher")) {
                std::exit(1);
            }
            EnableFatalExceptionGuard([] {
                WriteFatalDump();
                Platform::TerminateCurrentProcess(255);
            });
            WriteThroughNull(g_null);
        },
        ::testing::ExitedWithCode(255), "");
    int reports = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name != "stdout.txt") {
            ++reports;
            EXPECT_EQ(name.rfind("patcher-v35673-", 0), 0u) << name;
#ifdef _WIN32
            ExpectMiniDump(entry.path(), kAccessViolation,
                           reinterpret_cast<const void*>(&WriteThroughNull));
#else
            EXPECT_NE(ReadFile(entry.path()).find("signal: 11 SIGSEGV"), std::string::npos);
#endif
        }
    }
    EXPECT_EQ(reports, 1);
}

// The guard's report is the process's one report: an abort while the process ends
// after it (the window's engine, say) writes no second one.
TEST_F(CrashHandlersTest, AnAbortAfterTheFatalReportWritesNoSecondReport) {
    EXPECT_EXIT(
        {
            EnterDirectory();
            InstallCrashHandlers();
            if (!SetFatalDumpName(L"patcher")) {
                std::exit(1);
            }
            EnableFatalExceptionGuard([] {
                WriteFatalDump();
                std::abort();
            });
            WriteThroughNull(g_null);
        },
        Aborted(), "");
    std::vector<std::string> reports;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().filename() != "stdout.txt") {
            reports.push_back(entry.path().filename().string());
        }
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rfind("patcher-v35673-", 0), 0u) << reports[0];
}

#ifndef _WIN32
// Two threads that fault at the same moment leave one whole report, whichever wins: the
// other waits for it instead of ending the process under the writer. The report holds
// every thread's stack.
TEST_F(CrashHandlersTest, TwoThreadsFaultingAtOnceLeaveOneWholeReport) {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
    // ThreadSanitizer defers signals to its own points, so two faults never race here.
    GTEST_SKIP() << "ThreadSanitizer defers fault signals";
#endif
#endif
    struct Case {
        const char* name;
        void (*second)();
    };
    const Case cases[] = {
        {"segfault+segfault", [] { WriteThroughNull(g_null); }},
        {"segfault+abort", [] { std::abort(); }},
    };
    const auto faulted = [](int status) {
        return WIFSIGNALED(status) && (WTERMSIG(status) == SIGSEGV || WTERMSIG(status) == SIGABRT);
    };
    for (int run = 0; run < 50; ++run) {
        const Case& c = cases[run % 2];
        SCOPED_TRACE(std::string(c.name) + ", run " + std::to_string(run));
        static void (*s_second)() = nullptr;
        s_second = c.second;
        EXPECT_EXIT(
            {
                EnterDirectory();
                InstallCrashHandlers();
                static std::atomic<int> ready{0};
                const auto together = [] {
                    ready.fetch_add(1);
                    while (ready.load() < 2) {
                    }
                };
                std::thread first([&] {
                    together();
                    WriteThroughNull(g_null);
                });
                std::thread second([&] {
                    together();
                    s_second();
                });
                first.join();
                second.join();
            },
            faulted, "");
        // A death test's child runs the earlier rounds' checks too, on reports gone.
        if (!owner) {
            continue;
        }
        const std::string report = ReadFile(directory / "Kelvor-41861.dmp");
        EXPECT_FALSE(fs::exists(directory / "Kelvor-41861_2.dmp"));
        ASSERT_GE(report.size(), 14u);
        EXPECT_EQ(report.substr(report.size() - 14), "end of report\n") << report.substr(0, 500);
        // The main thread and the other faulting thread, each with its stack.
        const std::size_t others = report.find("\nother threads:");
        ASSERT_NE(others, std::string::npos);
        const std::string rest = report.substr(others);
        std::size_t threads = 0;
        for (std::size_t at = rest.find("\nthread "); at != std::string::npos;
             at = rest.find("\nthread ", at + 1)) {
            ++threads;
        }
        EXPECT_GE(threads, 2u) << rest.substr(0, 3000);
        EXPECT_EQ(rest.find("(it did not answer)"), std::string::npos) << rest.substr(0, 3000);
        EXPECT_NE(rest.find("CrashHandlersTest.cpp:"), std::string::npos) << rest.substr(0, 3000);
        fs::remove(directory / "Kelvor-41861.dmp");
    }
}

// Where the current directory takes no file, the report goes to the state directory's
// crash folder, which keeps its newest ten, and its path is told on standard error.
TEST_F(CrashHandlersTest, AReportTheCurrentDirectoryRefusesGoesToTheStateDirectory) {
    const fs::path crashes = directory / "state" / "osmel" / "crashes";
    fs::create_directories(crashes);
    const auto now = fs::file_time_type::clock::now();
    for (int i = 0; i < 12; ++i) {
        const fs::path old = crashes / ("old-" + std::to_string(i) + ".dmp");
        std::ofstream(old) << i;
        fs::last_write_time(old, now - std::chrono::hours(100 - i));
    }
    EXPECT_EXIT(
        {
            EnterDirectory();
            SetVariable("XDG_STATE_HOME", (directory / "state").string().c_str());
            // No one, root included, makes files in /proc.
            fs::current_path("/proc");
            InstallCrashHandlers();
            WriteThroughNull(g_null);
        },
        Faulted(), "Crash report written: " + (crashes / "Kelvor-41861.dmp").string());
    const std::string report = ReadFile(crashes / "Kelvor-41861.dmp");
    EXPECT_NE(report.find("end of report\n"), std::string::npos);
    std::vector<std::string> kept;
    for (const auto& entry : fs::directory_iterator(crashes)) {
        kept.push_back(entry.path().filename().string());
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"Kelvor-41861.dmp", "old-10.dmp", "old-11.dmp",
                                              "old-3.dmp", "old-4.dmp", "old-5.dmp", "old-6.dmp",
                                              "old-7.dmp", "old-8.dmp", "old-9.dmp"}));
}
#endif

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
