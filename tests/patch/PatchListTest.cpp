#include "patch/PatchList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include "kernel/Text.h"
#include "platform/System.h"

namespace {

TEST(PatchListTest, Parsing) {
    struct Case {
        const char* name;
        std::string text;
        BEXORESULT result;
        std::vector<PatchListEntry> entries;
    };
    const PatchListEntry a{L"bin\\kelvor.exe", L"0123456789abcdef0123456789abcdef",
                           L"fedcba9876543210fedcba9876543210"};
    const PatchListEntry b{L"data\\\x00e9t\x00e9.ka", L"11111111111111111111111111111111", L""};
    const Case cases[] = {
        {"empty", "", BEXORESULT_OK, {}},
        {"CR LF",
         "bin\\kelvor."
         "exe\r\n0123456789abcdef0123456789abcdef\r\nfedcba9876543210fedcba9876543210\r\n",
         BEXORESULT_OK,
         {a}},
        {"LF and a UTF-8 name",
         "bin\\kelvor.exe\n0123456789abcdef0123456789abcdef\nfedcba9876543210fedcba9876543210\n"
         "data\\\xc3\xa9t\xc3\xa9.ka\n11111111111111111111111111111111\n\n",
         BEXORESULT_OK,
         {a, b}},
        {"no final line end",
         "bin\\kelvor.exe\r\n0123456789abcdef0123456789abcdef\r\nfedcba9876543210fedcba9876543210",
         BEXORESULT_OK,
         {a}},
        {"byte order mark",
         "\xEF\xBB\xBF"
         "data\\\xc3\xa9t\xc3\xa9.ka\r\n11111111111111111111111111111111\r\n\r\n",
         BEXORESULT_OK,
         {b}},
        {"cut short", "bin\\a.exe\r\nabc\r\n", BEXORESULT_BAD_DATA, {}},
        {"extra blank line", "a.txt\r\n\r\n\r\n\r\n", BEXORESULT_BAD_DATA, {}},
        {"climbs out", "..\\..\\etc\\x.txt\r\n\r\n\r\n", BEXORESULT_BAD_DATA, {}},
        {"absolute", "a.txt\r\n\r\n\r\nC:\\Windows\\x.dll\r\n\r\n\r\n", BEXORESULT_BAD_DATA, {}},
        {"rooted", "/etc/passwd\n\n\n", BEXORESULT_BAD_DATA, {}},
        {"empty path", "\r\nabc\r\n\r\n", BEXORESULT_BAD_DATA, {}},
        {"not UTF-8", "bin\\\xe9.exe\r\n\r\n\r\n", BEXORESULT_BAD_DATA, {}},
        {"overlong UTF-8", "bin\\\xc0\xae.exe\r\n\r\n\r\n", BEXORESULT_BAD_DATA, {}},
        {"cut UTF-8", "a.txt\r\n\r\n\xe2\x82", BEXORESULT_BAD_DATA, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PatchListEntry> entries{a};
        std::string error;
        ASSERT_EQ(ParsePatchList(c.text, &entries, &error), c.result) << error;
        ASSERT_EQ(entries.size(), c.entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].path, c.entries[i].path);
            EXPECT_EQ(entries[i].targetMD5, c.entries[i].targetMD5);
            EXPECT_EQ(entries[i].sourceMD5, c.entries[i].sourceMD5);
        }
        if (c.result != BEXORESULT_OK) {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(PatchListTest, FilesAndTheirFormat) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("osmel-list-" + std::to_string(Platform::GetCurrentProcessId()));
    std::filesystem::create_directories(dir);
    const std::vector<PatchListEntry> entries{{L"bin\\a.exe", L"aa", L"bb"},
                                              {L"b.txt", L"cc", L""}};
    const std::string text = FormatPatchList(entries);
    EXPECT_EQ(text, "bin\\a.exe\r\naa\r\nbb\r\nb.txt\r\ncc\r\n\r\n");
    std::ofstream(dir / "list.txt", std::ios::binary) << text;
    std::vector<PatchListEntry> read;
    std::string error;
    ASSERT_EQ(ReadPatchList((dir / "list.txt").wstring(), &read, &error), BEXORESULT_OK);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].path, L"b.txt");
    EXPECT_EQ(ReadPatchList((dir / "missing.txt").wstring(), &read, &error), BEXORESULT_NOT_FOUND);
    std::filesystem::remove_all(dir);
}

TEST(PatchListTest, TheConverterRuleLooksAtTheFileNameOnly) {
    struct Case {
        const wchar_t* path;
        bool converter;
        const wchar_t* difference;
    };
    const Case cases[] = {
        {L"terrain.ka", true, L"terrain-diff.ka"},
        {L"data\\maps.kar\\map.ka", true, L"data\\maps.kar\\map-diff.ka"},
        {L"data/maps.kar/map.ka", true, L"data/maps.kar/map-diff.ka"},
        {L"a.ka.ka", true, L"a.ka-diff.ka"},
        {L".ka", false, L".ka.diff"},
        {L"data\\.ka", false, L"data\\.ka.diff"},
        {L"terrain.kab", false, L"terrain.kab.diff"},
        {L"x.ka\\readme.txt", false, L"x.ka\\readme.txt.diff"},
        {L"terrain.KA", false, L"terrain.KA.diff"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsConverterFileName(c.path), c.converter) << WideToUtf8(c.path);
        EXPECT_EQ(DifferenceFileName(c.path, c.converter), c.difference) << WideToUtf8(c.path);
    }
}

}  // namespace
