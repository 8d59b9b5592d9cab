#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/System.h"

using namespace Platform;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = std::filesystem::temp_directory_path() /
                    ("osmel-registry-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);
        store = directory / "registry.reg";
        ::setenv("OSMEL_REGISTRY", store.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("OSMEL_REGISTRY");
        std::filesystem::permissions(directory, std::filesystem::perms::owner_all);
        std::filesystem::remove_all(directory);
    }
    void Write(const std::string& text) { std::ofstream(store, std::ios::binary) << text; }

    static std::wstring QueryText(HKEY key, const std::wstring& name) {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueEx(key, name, &type, nullptr, &size) != 0 || type != REG_SZ) {
            return L"<missing>";
        }
        std::vector<std::uint8_t> data(size);
        EXPECT_EQ(RegQueryValueEx(key, name, &type, data.data(), &size), 0);
        std::wstring text;
        for (DWORD i = 0; i + 1 < size; i += 2) {
            text.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
        }
        EXPECT_EQ(text.back(), L'\0');
        text.pop_back();
        return text;
    }

    std::filesystem::path directory;
    std::filesystem::path store;
};

TEST_F(RegistryTest, ReadsValuesAndEnumeratesKeysInWindowsOrder) {
    Write(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Osmel\\Kelvor]\r\n"
        "\"InstallPath\"=\"C:\\\\Games\\\\Kel\\\"vor\"\r\n"
        "\"IsPatching\"=dword:0000002a\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Osmel\\beta]\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Osmel\\Alpha]\r\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), L"SOFTWARE\\osmel\\KELVOR", KEY_READ, &key), 0);
    EXPECT_EQ(QueryText(key, L"installpath"), L"C:\\Games\\Kel\"vor");
    DWORD type = 0;
    DWORD number = 0;
    DWORD size = sizeof number;
    ASSERT_EQ(RegQueryValueEx(key, L"IsPatching", &type, &number, &size), 0);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(number, 42u);
    EXPECT_EQ(RegQueryValueEx(key, L"Absent", &type, &number, &size),
              static_cast<LONG>(Error::FileNotFound));
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), L"Software\\Osmel", KEY_READ, &key), 0);
    std::vector<std::wstring> names;
    std::wstring name;
    for (DWORD i = 0; RegEnumKeyEx(key, i, &name) == 0; ++i) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"beta", L"Kelvor"}));
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyEx(LocalMachineKey(), L"Software\\Missing", KEY_READ, &key),
              static_cast<LONG>(Error::FileNotFound));
}

TEST_F(RegistryTest, WritesSurviveARereadAndSmallBuffersAskForMore) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyEx(LocalMachineKey(), L"Software\\Osmel\\Kelvor", KEY_WRITE | KEY_READ, &key),
        0);
    const std::u16string text = u"D:\\Kelvor \u00e9";
    std::vector<std::uint8_t> data;
    for (char16_t unit : text + u'\0') {
        data.push_back(static_cast<std::uint8_t>(unit));
        data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    ASSERT_EQ(
        RegSetValueEx(key, L"InstallPath", REG_SZ, data.data(), static_cast<DWORD>(data.size())),
        0);
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueEx(key, L"IsPatching", REG_DWORD, &one, sizeof one), 0);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), L"software\\OSMEL\\kelvor", KEY_READ, &key), 0);
    EXPECT_EQ(QueryText(key, L"InstallPath"), L"D:\\Kelvor \u00e9");
    std::uint8_t small[4];
    DWORD size = sizeof small;
    EXPECT_EQ(RegQueryValueEx(key, L"InstallPath", nullptr, small, &size),
              static_cast<LONG>(Error::MoreData));
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(RegSetValueEx(key, L"X", REG_DWORD, &one, sizeof one),
              static_cast<LONG>(Error::AccessDenied));
    EXPECT_EQ(RegDeleteValue(key, L"IsPatching"), static_cast<LONG>(Error::AccessDenied));
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), L"Software\\Osmel\\Kelvor", KEY_WRITE, &key), 0);
    EXPECT_EQ(RegDeleteValue(key, L"ISPATCHING"), 0);
    EXPECT_EQ(RegDeleteValue(key, L"IsPatching"), static_cast<LONG>(Error::FileNotFound));
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), L"Software\\Osmel\\Kelvor", KEY_READ, &key), 0);
    EXPECT_EQ(RegQueryValueEx(key, L"IsPatching", nullptr, nullptr, &size),
              static_cast<LONG>(Error::FileNotFound));
    EXPECT_EQ(QueryText(key, L"InstallPath"), L"D:\\Kelvor \u00e9");
    RegCloseKey(key);
    EXPECT_FALSE(
        std::filesystem::exists(store.string() + ".tmp." + std::to_string(GetCurrentProcessId())));
}

TEST_F(RegistryTest, TheStoreFolderIsMadeOnlyWhereItsParentAllowsIt) {
    // Two missing levels: the folder's own parent is missing too, so nothing is made.
    const std::filesystem::path deep = directory / "missing" / "deeper" / "registry.reg";
    ::setenv("OSMEL_REGISTRY", deep.c_str(), 1);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(LocalMachineKey(), L"Software\\Osmel", 0, &key),
              static_cast<LONG>(Error::AccessDenied));
    EXPECT_EQ(RegOpenKeyEx(LocalMachineKey(), L"Software\\Osmel", KEY_WRITE, &key),
              static_cast<LONG>(Error::FileNotFound));
    EXPECT_FALSE(std::filesystem::exists(directory / "missing"));

    // One missing level under a writable folder: made, as an administrator always finds
    // the machine's registry.
    const std::filesystem::path shallow = directory / "made" / "registry.reg";
    ::setenv("OSMEL_REGISTRY", shallow.c_str(), 1);
    ASSERT_EQ(RegCreateKeyEx(LocalMachineKey(), L"Software\\Osmel", 0, &key), 0);
    RegCloseKey(key);
    EXPECT_TRUE(std::filesystem::exists(shallow));
}

TEST_F(RegistryTest, WriteAccessIsRefusedWhenTheStoreIsNotWritable) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root writes anywhere";
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(LocalMachineKey(), L"Software\\Osmel", 0, &key), 0);
    RegCloseKey(key);
    std::filesystem::permissions(store, std::filesystem::perms::owner_read);
    EXPECT_EQ(RegOpenKeyEx(LocalMachineKey(), L"Software\\Osmel", KEY_WRITE, &key),
              static_cast<LONG>(Error::AccessDenied));
    ASSERT_EQ(RegOpenKeyEx(LocalMachineKey(), L"Software\\Osmel", KEY_READ, &key), 0);
    RegCloseKey(key);
    std::filesystem::permissions(store, std::filesystem::perms::owner_all);
    std::filesystem::permissions(
        directory, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_EQ(RegCreateKeyEx(LocalMachineKey(), L"Software\\Other", 0, &key),
              static_cast<LONG>(Error::AccessDenied));
}

// A store shared with a group (the product's users, say) stays so after a write: the
// replacement keeps the mode, the owner and the group.
TEST_F(RegistryTest, AWriteKeepsTheStoresModeAndGroup) {
    Write("Windows Registry Editor Version 5.00\r\n");
    ASSERT_EQ(::chmod(store.c_str(), 0664), 0);
    const gid_t group = ::geteuid() == 0 ? 100 : ::getegid();
    ASSERT_EQ(::chown(store.c_str(), static_cast<uid_t>(-1), group), 0);
    struct stat before {};
    ASSERT_EQ(::stat(store.c_str(), &before), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(LocalMachineKey(), L"Software\\Osmel", KEY_WRITE, &key), 0);
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueEx(key, L"IsPatching", REG_DWORD, &one, sizeof one), 0);
    RegCloseKey(key);
    struct stat after {};
    ASSERT_EQ(::stat(store.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0664u);
    EXPECT_EQ(after.st_gid, group);
    EXPECT_EQ(after.st_uid, before.st_uid);
}

TEST_F(RegistryTest, RefusesMalformedStores) {
    const char* const stores[] = {
        "REGEDIT4\r\n",
        "Windows Registry Editor Version 5.00\r\n\"Orphan\"=\"value\"\r\n",
        "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software]\r\n",
        "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=dword:12\r\n",
        "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=\"open\r\n",
        "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A\r\n",
    };
    for (const char* text : stores) {
        Write(text);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyEx(LocalMachineKey(), L"A", KEY_READ, &key),
                  static_cast<LONG>(Error::BadRegistryFile))
            << text;
    }
}

}  // namespace
