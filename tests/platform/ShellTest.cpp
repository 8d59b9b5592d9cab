#include "platform/Shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/System.h"

using namespace Platform;

namespace {

// A stand-in `xdg-open` first on the search path records its arguments, one a line, and
// its current directory.
class ShellExecuteTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = std::filesystem::temp_directory_path() /
                    ("osmel-shell-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory / "bin");
        const std::filesystem::path launcher = directory / "bin" / "xdg-open";
        std::ofstream(launcher) << "#!/bin/sh\n"
                                   "printf '%s\\n' \"$@\" \"$PWD\" >\"$0.tmp\"\n"
                                   "mv \"$0.tmp\" \"$0.record\"\n";
        std::filesystem::permissions(launcher, std::filesystem::perms::owner_all);
        savedPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
        ::setenv("PATH", ((directory / "bin").string() + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", savedPath.c_str(), 1);
        std::filesystem::remove_all(directory);
    }
    // What the launcher recorded; empty when it has not run within ten seconds.
    std::string Record() const {
        const std::filesystem::path record = directory / "bin" / "xdg-open.record";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!std::filesystem::exists(record)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::ostringstream text;
        text << std::ifstream(record).rdbuf();
        return text.str();
    }

    std::filesystem::path directory;
    std::string savedPath;
};

TEST_F(ShellExecuteTest, HandsTheAddressUnchangedToTheDesktopLauncher) {
    const std::wstring address = L"http://127.0.0.1:8080/a b/\"q\"\\x\\?n=1&m=\\";
    ASSERT_TRUE(ShellExecute(L"", address, L"", directory.wstring(), kShowNormal));
    EXPECT_EQ(Record(),
              "http://127.0.0.1:8080/a b/\"q\"\\x\\?n=1&m=\\\n" + directory.string() + "\n");
}

TEST_F(ShellExecuteTest, FailsWithoutALauncherOrForAnotherVerb) {
    EXPECT_FALSE(ShellExecute(L"print", L"http://127.0.0.1/", L"", L"", kShowNormal));
    EXPECT_EQ(GetLastError(), Error::NotSupported);
    ::setenv("PATH", (directory / "none").c_str(), 1);
    EXPECT_FALSE(ShellExecute(L"", L"http://127.0.0.1/", L"", L"", kShowNormal));
    EXPECT_EQ(GetLastError(), Error::FileNotFound);
}

// A stand-in `pkexec` first on the search path records its arguments, one a line, and its
// current directory, and ends with the status in OSMEL_STANDIN_STATUS.
class ShellExecuteRunAsTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = std::filesystem::temp_directory_path() /
                    ("osmel-runas-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory / "bin");
        std::filesystem::create_directories(directory / "app dir");
        const std::filesystem::path pkexec = directory / "bin" / "pkexec";
        std::ofstream(pkexec) << "#!/bin/sh\n"
                                 "printf '%s\\n' \"$@\" \"$PWD\" >\"$0.record\"\n"
                                 "exit \"${OSMEL_STANDIN_STATUS:-0}\"\n";
        std::filesystem::permissions(pkexec, std::filesystem::perms::owner_all);
        program = directory / "app dir" / "osmel-patcher";
        std::ofstream(program) << "#!/bin/sh\n";
        std::filesystem::permissions(program, std::filesystem::perms::owner_all);
        savedPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
        ::setenv("PATH", ((directory / "bin").string() + ":" + savedPath).c_str(), 1);
        savedDirectory = std::filesystem::current_path();
        std::filesystem::current_path(directory);
    }
    void TearDown() override {
        std::filesystem::current_path(savedDirectory);
        ::setenv("PATH", savedPath.c_str(), 1);
        ::unsetenv("OSMEL_STANDIN_STATUS");
        std::filesystem::remove_all(directory);
    }
    // Starts the program through the stand-in and waits for it: its status, or -1.
    long RunAs(const std::wstring& programText, const std::wstring& parameters) {
        Handle process = nullptr;
        if (!ShellExecuteRunAs(programText, parameters, &process)) {
            return -1;
        }
        EXPECT_EQ(WaitForSingleObject(process, kInfinite), kWaitObject0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(process, &code));
        refused = ElevationRefused(process);
        CloseHandle(process);
        return static_cast<long>(code);
    }
    std::vector<std::string> Recorded() const {
        std::vector<std::string> lines;
        std::ifstream record(directory / "bin" / "pkexec.record");
        for (std::string line; std::getline(record, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::filesystem::path directory;
    std::filesystem::path program;
    std::filesystem::path savedDirectory;
    std::string savedPath;
    bool refused = false;
};

// pkexec gets the program's absolute path in the platform's form (from a relative,
// backslashed one), the caller's directory and the settings that it would clear; the
// elevated copy takes them back and is left with its own arguments, quoting intact.
TEST_F(ShellExecuteRunAsTest, HandsOverTheProgramTheDirectoryAndTheSettings) {
    ::setenv("DISPLAY", ":7", 1);
    ::setenv("OSMEL_REGISTRY", "/srv/a b/registry.reg", 1);
    ::setenv("OSMEL_NOT_HANDED_OVER", "x", 1);
    ASSERT_EQ(RunAs(L"app dir\\osmel-patcher",
                    L"--admin \"--path=C:\\Kel \\\"vor\\\\\" "
                    L"\"/home/Jos\u00e9/\u041a\u0435\u043b\u044c\u0432\u043e\u0440 \u00e9\""),
              0);
    EXPECT_FALSE(refused);
    ::unsetenv("OSMEL_NOT_HANDED_OVER");
    std::vector<std::string> lines = Recorded();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.back(), directory.string()) << "pkexec's own directory";
    lines.pop_back();
    EXPECT_EQ(lines[0], program.string());
    EXPECT_TRUE(std::filesystem::path(lines[0]).is_absolute());
    const auto has = [&lines](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("DISPLAY=:7"));
    EXPECT_TRUE(has("OSMEL_REGISTRY=/srv/a b/registry.reg"));
    EXPECT_FALSE(has("OSMEL_NOT_HANDED_OVER=x"));

    // What the copy does with them, from another directory and without the settings.
    std::filesystem::current_path("/");
    ::unsetenv("DISPLAY");
    ::unsetenv("OSMEL_REGISTRY");
    std::vector<char*> argv;
    for (std::string& line : lines) {
        argv.push_back(line.data());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(lines.size());
    AdoptElevatedStart(&argc, argv.data());
    ASSERT_EQ(argc, 4);
    EXPECT_EQ(std::string(argv[0]), program.string());
    EXPECT_EQ(std::string(argv[1]), "--admin");
    EXPECT_EQ(std::string(argv[2]), "--path=C:\\Kel \"vor\\");
    // A folder's name arrives whole, as UTF-8: narrow text would make it "/home/Jos?/??????? ?".
    EXPECT_EQ(
        std::string(argv[3]),
        "/home/Jos\xc3\xa9/\xd0\x9a\xd0\xb5\xd0\xbb\xd1\x8c\xd0\xb2\xd0\xbe\xd1\x80 \xc3\xa9");
    EXPECT_EQ(argv[4], nullptr);
    EXPECT_EQ(std::filesystem::current_path(), directory);
    EXPECT_EQ(GetEnvironmentVariable("DISPLAY").value_or(""), ":7");
    EXPECT_EQ(GetEnvironmentVariable("OSMEL_REGISTRY").value_or(""), "/srv/a b/registry.reg");
    ::unsetenv("DISPLAY");
    ::unsetenv("OSMEL_REGISTRY");
}

// pkexec's statuses for a dismissed prompt and a refused authorisation mean the program
// never ran; its own statuses pass through.
TEST_F(ShellExecuteRunAsTest, TellsARefusalFromTheProgramsOwnEnd) {
    const struct {
        const char* status;
        bool refused;
    } cases[] = {{"0", false}, {"1", false}, {"255", false}, {"126", true}, {"127", true}};
    for (const auto& c : cases) {
        ::setenv("OSMEL_STANDIN_STATUS", c.status, 1);
        EXPECT_EQ(RunAs(program.wstring(), L""), std::stol(c.status)) << c.status;
        EXPECT_EQ(refused, c.refused) << c.status;
    }
}

TEST_F(ShellExecuteRunAsTest, FailsWithoutPkexecOrWithoutTheProgram) {
    EXPECT_EQ(RunAs(L"app dir\\absent", L""), -1);
    EXPECT_EQ(GetLastError(), Error::FileNotFound);
    ::setenv("PATH", (directory / "none").c_str(), 1);
    EXPECT_EQ(RunAs(program.wstring(), L""), -1);
    EXPECT_EQ(GetLastError(), Error::FileNotFound);
}

// Arguments that ShellExecuteRunAs did not write are left to the program's parser.
TEST(AdoptElevatedStartTest, LeavesOtherCommandLinesAlone) {
    const std::vector<std::vector<std::string>> commandLines = {
        {"prog"},
        {"prog", "--admin"},
        {"prog", "--osmel-elevated-start", "/"},
        {"prog", "--osmel-elevated-start", "/", "DISPLAY=:9"},
    };
    for (std::vector<std::string> arguments : commandLines) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        int argc = static_cast<int>(arguments.size());
        AdoptElevatedStart(&argc, argv.data());
        EXPECT_EQ(argc, static_cast<int>(arguments.size()));
    }
    EXPECT_FALSE(GetEnvironmentVariable("DISPLAY").has_value() &&
                 *GetEnvironmentVariable("DISPLAY") == ":9");
}

}  // namespace
