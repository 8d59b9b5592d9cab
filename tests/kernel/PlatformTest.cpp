// The POSIX backend's Windows-shaped answers that the layers above depend on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/System.h"

extern char** environ;

namespace {

TEST(PlatformTest, ErrnoMapsToWin32Numbers) {
    struct Case {
        int errnoValue;
        Platform::DWORD win32;
    };
    const Case cases[] = {
        {ENOENT, 2},   {ENOTDIR, 3},     {EACCES, 5}, {EPERM, 5},          {EEXIST, 183},
        {ENOSPC, 112}, {ENOTEMPTY, 145}, {EXDEV, 17}, {ENAMETOOLONG, 206}, {EROFS, 19},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Platform::Win32ErrorFromErrno(c.errnoValue), c.win32) << c.errnoValue;
    }
}

TEST(PlatformTest, LastErrorIsPerThread) {
    Platform::SetLastError(80);
    Platform::Handle t = Platform::CreateThread(
        0, [](void*) -> Platform::DWORD { return Platform::GetLastError(); }, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(Platform::WaitForSingleObject(t, Platform::kInfinite), Platform::kWaitObject0);
    Platform::DWORD code = 1;
    EXPECT_TRUE(Platform::GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(Platform::GetLastError(), 80u);
    Platform::CloseHandle(t);
}

TEST(PlatformTest, WaitTimesOutAndFailsOnNoHandle) {
    Platform::Handle event = Platform::CreateEvent(true, false, nullptr);
    const auto before = Platform::GetTickCount64();
    EXPECT_EQ(Platform::WaitForSingleObject(event, 30), Platform::kWaitTimeout);
    EXPECT_GE(Platform::GetTickCount64() - before, 29u);
    EXPECT_EQ(Platform::WaitForSingleObject(nullptr, 0), Platform::kWaitFailed);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::InvalidHandle);
    Platform::CloseHandle(event);
}

TEST(PlatformTest, AnExitedButUnreapedChildIsNotRunning) {
    pid_t pid = 0;
    char arg0[] = "true";
    char* argv[] = {arg0, nullptr};
    ASSERT_EQ(posix_spawnp(&pid, "true", nullptr, nullptr, argv, environ), 0);
    // Wait for the exit without reaping, so the child stays a zombie.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(Platform::IsProcessActive(static_cast<Platform::DWORD>(pid)));
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(Platform::IsProcessActive(static_cast<Platform::DWORD>(pid)));
}

TEST(PlatformTest, PathsCrossTheSystemBoundaryAsUtf8WithSlashes) {
    EXPECT_EQ(Platform::ToSystemPath(L"\\tmp\\k\xE9lvor/bin"), "/tmp/k\xC3\xA9lvor/bin");
    EXPECT_EQ(Platform::FromSystemPath("/tmp/k\xC3\xA9lvor"), L"\\tmp\\k\xE9lvor");
}

TEST(PlatformTest, StdoutGoesToTheParentsPipeWhenOneIsWaiting) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("osmel-fifo-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("TEMP", dir.c_str(), 1);
    // Without a pipe, standard output stays as it is.
    EXPECT_FALSE(Platform::RedirectStdoutToParentPipe());

    const int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    const std::string fifo = dir + "/" + std::to_string(getpid()) + "cout";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A FIFO that nobody reads is not a parent's pipe.
    EXPECT_FALSE(Platform::RedirectStdoutToParentPipe());
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(Platform::RedirectStdoutToParentPipe());
    EXPECT_TRUE(Platform::WriteStdout("line\n", 5));
    dup2(saved, STDOUT_FILENO);
    close(saved);
    char buffer[16] = {};
    EXPECT_EQ(read(reader, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "line\n");
    close(reader);
    unsetenv("TEMP");
    std::filesystem::remove_all(dir);
}

TEST(PlatformTest, CopyAndMoveKeepTheirWindowsRules) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("osmel-copy-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "a", std::ios::binary) << "alpha";
    std::ofstream(dir / "b", std::ios::binary) << "beta";
    const auto W = [&](const char* name) { return Platform::FromSystemPath(dir / name); };
    EXPECT_FALSE(Platform::CopyFile(W("a"), W("b"), true));
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::AlreadyExists);
    EXPECT_TRUE(Platform::CopyFile(W("a"), W("b"), false));
    EXPECT_EQ(std::filesystem::file_size(dir / "b"), 5u);
    EXPECT_FALSE(Platform::MoveFile(W("a"), W("b")));
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::AlreadyExists);
    EXPECT_TRUE(Platform::ReplaceFile(W("a"), W("b")));
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    std::filesystem::remove_all(dir);
}

}  // namespace
