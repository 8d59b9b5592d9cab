// The Win32 backend over the real calls: the registry of HKEY_LOCAL_MACHINE, the file
// rules Windows keeps, the durable flushes, processes, the shell, and the parent's
// output pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Win32Support.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Shell.h"
#include "platform/Sync.h"
#include "platform/System.h"

namespace {

namespace fs = std::filesystem;
using namespace Platform;

class Win32BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("osmel-win32-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            SetFileReadOnly(entry.path().wstring(), false);
        }
        fs::remove_all(root);
    }
    std::wstring W(const char* name) const { return (root / name).wstring(); }
    void Write(const char* name, const std::string& text) const {
        fs::create_directories((root / name).parent_path());
        std::ofstream(root / name, std::ios::binary) << text;
    }

    fs::path root;
};

std::vector<std::uint8_t> Utf16(const std::wstring& text) {
    std::vector<std::uint8_t> bytes;
    for (const wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

TEST(Win32RegistryTest, ValuesAndKeysLiveInTheMachinesRegistry) {
    const std::wstring base = L"SOFTWARE\\Osmel-test-" + std::to_wstring(GetCurrentProcessId());
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), base, KEY_READ, &key),
              static_cast<LONG>(Error::FileNotFound));
    ASSERT_EQ(RegCreateKeyEx(LocalMachineKey(), base + L"\\Kelvor", KEY_READ | KEY_WRITE, &key), 0);
    const std::vector<std::uint8_t> path = Utf16(L"C:\\Games\\K\xE9lvor");
    EXPECT_EQ(
        RegSetValueEx(key, L"InstallPath", REG_SZ, path.data(), static_cast<DWORD>(path.size())),
        0);
    const DWORD patching = 42;
    EXPECT_EQ(RegSetValueEx(key, L"IsPatching", REG_DWORD, &patching, sizeof patching), 0);
    RegCloseKey(key);
    HKEY other = nullptr;
    for (const wchar_t* name : {L"beta", L"Alpha"}) {
        ASSERT_EQ(RegCreateKeyEx(LocalMachineKey(), base + L"\\" + name, KEY_WRITE, &other), 0);
        RegCloseKey(other);
    }

    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), base + L"\\KELVOR", KEY_READ, &key), 0);
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueEx(key, L"installpath", &type, nullptr, &size), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, path.size());
    std::vector<std::uint8_t> data(size - 1);
    size = static_cast<DWORD>(data.size());
    EXPECT_EQ(RegQueryValueEx(key, L"InstallPath", &type, data.data(), &size),
              static_cast<LONG>(Error::MoreData));
    EXPECT_EQ(size, path.size());
    data.resize(size);
    ASSERT_EQ(RegQueryValueEx(key, L"InstallPath", &type, data.data(), &size), 0);
    EXPECT_EQ(data, path);
    DWORD number = 0;
    size = sizeof number;
    ASSERT_EQ(RegQueryValueEx(key, L"IsPatching", &type, &number, &size), 0);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(number, 42u);
    // A key opened for reading changes nothing.
    EXPECT_NE(RegSetValueEx(key, L"IsPatching", REG_DWORD, &patching, sizeof patching), 0);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), base, KEY_READ, &key), 0);
    std::vector<std::wstring> names;
    std::wstring name;
    DWORD index = 0;
    LONG rc = 0;
    while ((rc = RegEnumKeyEx(key, index, &name)) == 0) {
        names.push_back(name);
        ++index;
    }
    EXPECT_EQ(rc, static_cast<LONG>(Error::NoMoreItems));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"beta", L"Kelvor"}));
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), base + L"\\Kelvor", KEY_WRITE, &key), 0);
    EXPECT_EQ(RegDeleteValue(key, L"IsPatching"), 0);
    EXPECT_EQ(RegDeleteValue(key, L"IsPatching"), static_cast<LONG>(Error::FileNotFound));
    RegCloseKey(key);
    EXPECT_TRUE(Win32Support::DeleteLocalMachineTree(base));
}

TEST_F(Win32BackendTest, ReadOnlyFilesAndExistingTargetsAreRefused) {
    Write("ro.txt", "kept");
    Write("other.txt", "other");
    ASSERT_TRUE(SetFileReadOnly(W("ro.txt"), true));
    EXPECT_TRUE(GetFileAttributes(W("ro.txt"))->readOnly);
    EXPECT_FALSE(CanOpenForWriting(W("ro.txt")));
    EXPECT_EQ(GetLastError(), Error::AccessDenied);
    EXPECT_FALSE(DeleteFile(W("ro.txt")));
    EXPECT_EQ(GetLastError(), Error::AccessDenied);
    EXPECT_TRUE(CanOpenForWriting(W("other.txt")));

    EXPECT_FALSE(MoveFile(W("other.txt"), W("ro.txt")));
    EXPECT_EQ(GetLastError(), Error::AlreadyExists);
    EXPECT_FALSE(CopyFile(W("other.txt"), W("ro.txt"), true));
    EXPECT_TRUE(CopyFile(W("ro.txt"), W("copy.txt"), false));
    EXPECT_TRUE(GetFileAttributes(W("copy.txt"))->readOnly);

    ASSERT_TRUE(SetFileReadOnly(W("ro.txt"), false));
    EXPECT_TRUE(ReplaceFile(W("other.txt"), W("ro.txt")));
    FileStatus status;
    ASSERT_TRUE(GetFileStatus(W("ro.txt"), &status));
    EXPECT_EQ(status.size, 5);
    EXPECT_FALSE(FileAccessExists(W("other.txt")));
    EXPECT_EQ(GetLastError(), Error::FileNotFound);
}

TEST_F(Win32BackendTest, DirectoriesListTheirEntriesAndFlushDurably) {
    Write("tree/a.txt", "a");
    Write("tree/sub/b.txt", "b");
    ASSERT_TRUE(SetFileReadOnly(W("tree/sub/b.txt"), true));
    std::vector<DirectoryEntry> entries;
    ASSERT_TRUE(ListDirectoryEntries(W("tree"), &entries));
    std::vector<std::wstring> names;
    for (const DirectoryEntry& entry : entries) {
        names.push_back(entry.name + (entry.directory ? L"/" : L""));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"../", L"./", L"a.txt", L"sub/"}));
    EXPECT_FALSE(ListDirectoryEntries(W("none"), &entries));

    EXPECT_TRUE(SyncDirectory(W("tree")));
    // A read-only file has nothing to flush and does not stop the rest.
    EXPECT_TRUE(SyncFileSystem(W("tree")));
    EXPECT_FALSE(SyncFileSystem(W("none")));
    std::uint64_t available = 0;
    EXPECT_TRUE(GetFreeDiskSpace(W("tree"), &available));
    EXPECT_GT(available, 0u);
}

TEST_F(Win32BackendTest, StreamsSeekTruncateAndSyncBeyond4GiB) {
    std::FILE* f = OpenFileStream(W("big.bin"), "w+b");
    ASSERT_NE(f, nullptr);
    constexpr std::int64_t kFar = 5'000'000'000LL;
    ASSERT_TRUE(SeekFileStream(f, kFar, SEEK_SET));
    ASSERT_EQ(std::fputc('x', f), 'x');
    EXPECT_EQ(TellFileStream(f), kFar + 1);
    EXPECT_TRUE(SyncFileStream(f));
    EXPECT_TRUE(TruncateFileStream(f, 10));
    std::fclose(f);
    FileStatus status;
    ASSERT_TRUE(GetFileStatus(W("big.bin"), &status));
    EXPECT_EQ(status.size, 10);
    EXPECT_EQ(OpenFileStream(W("none/x.bin"), "rb"), nullptr);
    EXPECT_EQ(GetLastError(), Error::FileNotFound);
}

TEST(Win32ProcessTest, AnEndedProcessIsNotTerminatedAgain) {
    const std::optional<std::string> comspec = GetEnvironmentVariable("COMSPEC");
    ASSERT_TRUE(comspec.has_value());
    const std::wstring shell = FromSystemPath(*comspec);
    Handle readEnd = nullptr;
    Handle writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd));
    ProcessStartup startup;
    startup.stdOutput = writeEnd;
    startup.stdError = writeEnd;
    startup.endWithParent = true;
    ProcessInformation information;
    ASSERT_TRUE(CreateProcess(L"\"" + shell + L"\" /c exit 7", startup, &information));
    CloseHandle(writeEnd);
    char buffer[64];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &n)) {
    }
    EXPECT_EQ(GetLastError(), Error::BrokenPipe);
    ASSERT_EQ(WaitForSingleObject(information.process, kInfinite), kWaitObject0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(information.process, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(TerminateProcess(information.process, 1));
    EXPECT_EQ(GetLastError(), Error::AccessDenied);
    for (Handle h : {readEnd, information.process, information.thread}) {
        CloseHandle(h);
    }
    EXPECT_FALSE(
        CreateProcess(L"\"C:\\nonexistent\\KelvorUtil.exe\"", ProcessStartup{}, &information));
}

TEST(Win32SystemTest, StdoutGoesToTheParentsPipeWhenOneIsServed) {
    EXPECT_FALSE(RedirectStdoutToParentPipe());
    bool redirected = false;
    const std::string received = Win32Support::CaptureThroughParentPipe(
        [] { return WriteStdout("line\n", 5); }, &redirected);
    EXPECT_TRUE(redirected);
    EXPECT_EQ(received, "line\n");
}

TEST(Win32SystemTest, AChildStartedSuspendedWritesItsSystemLogIntoTheParentsPipe) {
    const std::wstring helper = L"\"" + FromSystemPath(OSMEL_SYSTEM_LOG_HELPER) + L"\"";
    unsigned long exitCode = 1;
    EXPECT_EQ(Win32Support::RunWithParentPipe(helper, &exitCode), "redirected=1\nwide \x92\n");
    EXPECT_EQ(exitCode, 0u);

    // Without a parent's pipe the child keeps the standard output it was given.
    Handle readEnd = nullptr;
    Handle writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd));
    ProcessStartup startup;
    startup.stdOutput = writeEnd;
    ProcessInformation information;
    ASSERT_TRUE(CreateProcess(helper, startup, &information));
    CloseHandle(writeEnd);
    std::string output;
    char buffer[64];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &n)) {
        output.append(buffer, n);
    }
    ASSERT_EQ(WaitForSingleObject(information.process, kInfinite), kWaitObject0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(information.process, &code));
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(output, "redirected=0\nwide \x92\n");
    for (Handle h : {readEnd, information.process, information.thread}) {
        CloseHandle(h);
    }
}

TEST(Win32SystemTest, VersionAndLibraries) {
    OsVersion version;
    ASSERT_TRUE(GetVersionEx(&version));
    EXPECT_GE(version.major, 5u);
    EXPECT_GT(version.build, 0u);
    EXPECT_NE(LoadLibrary(L"kernel32.dll"), nullptr);
    EXPECT_EQ(LoadLibrary(L"osmel-no-such-library.dll"), nullptr);
    EXPECT_EQ(GetLastError(), 126u);  // ERROR_MOD_NOT_FOUND
}

TEST_F(Win32BackendTest, TheShellStartsProgramsInTheirDirectoryAndAsAdministrator) {
    const std::optional<std::string> comspec = GetEnvironmentVariable("COMSPEC");
    ASSERT_TRUE(comspec.has_value());
    const std::wstring shell = FromSystemPath(*comspec);
    fs::create_directories(root / "work dir");
    ASSERT_TRUE(
        ShellExecute(L"", shell, L"/c echo started>started.txt", W("work dir"), kShowNormal));
    // Not waited for by the call: the file appears when the shell has run.
    for (int i = 0; i < 600 && !fs::exists(root / "work dir" / "started.txt"); ++i) {
        Sleep(50);
    }
    EXPECT_TRUE(fs::exists(root / "work dir" / "started.txt"));
    EXPECT_FALSE(ShellExecute(L"", W("none.exe"), L"", L"", kShowNormal));
    EXPECT_EQ(GetLastError(), Error::FileNotFound);

    Handle process = nullptr;
    ASSERT_TRUE(ShellExecuteRunAs(shell, L"/c exit 7", &process));
    ASSERT_EQ(WaitForSingleObject(process, kInfinite), kWaitObject0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(process);
    EXPECT_FALSE(ShellExecuteRunAs(W("none.exe"), L"", &process));

    const fs::path saved = fs::current_path();
    ASSERT_TRUE(SetCurrentDirectory(W("work dir")));
    EXPECT_TRUE(FileAccessExists(L"started.txt"));
    ASSERT_TRUE(SetCurrentDirectory(saved.wstring()));

    // The first shell was not waited for, and a running program's current directory cannot
    // be removed: the folder goes once that shell has ended.
    std::error_code error;
    for (int i = 0; i < 600; ++i) {
        fs::remove_all(root / "work dir", error);
        if (!error) {
            break;
        }
        Sleep(50);
    }
    EXPECT_FALSE(error) << error.message();
}

TEST(Win32SystemTest, EnvironmentTempDirectoryAndErrnoNumbers) {
    EXPECT_FALSE(GetEnvironmentVariable("OSMEL_SURELY_UNSET_VARIABLE").has_value());
    EXPECT_TRUE(GetEnvironmentVariable("PATH").has_value());
    const std::wstring temp = GetTempDirectory();
    ASSERT_FALSE(temp.empty());
    EXPECT_NE(temp.back(), L'\\');
    EXPECT_TRUE(GetFileAttributes(temp)->directory);
    EXPECT_EQ(Win32ErrorFromErrno(ENOENT), Error::FileNotFound);
    EXPECT_EQ(Win32ErrorFromErrno(EACCES), Error::AccessDenied);
    EXPECT_EQ(Win32ErrorFromErrno(EEXIST), Error::AlreadyExists);
    EXPECT_EQ(Win32ErrorFromErrno(ENOSPC), Error::DiskFull);
    EXPECT_EQ(ToSystemPath(L"C:/Games/K\xE9lvor"), "C:\\Games\\K\xC3\xA9lvor");
    EXPECT_EQ(FromSystemPath("C:/Games/K\xC3\xA9lvor"), L"C:\\Games\\K\xE9lvor");
}

}  // namespace
