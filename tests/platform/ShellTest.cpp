#include "platform/Shell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

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

}  // namespace
