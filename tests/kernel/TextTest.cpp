#include "kernel/Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/Utf8.h"

namespace {

TEST(TextTest, ToNarrowKeepsOnlyItsSetAndMapsTheTypographicCharacters) {
    struct Case {
        wchar_t in;
        char out;
    };
    const Case cases[] = {
        {L'A', 'A'},         {L' ', ' '},         {L'\x7F', '\x7F'},   {L'\t', '\t'},
        {L'\n', '\n'},       {L'\r', '\r'},       {L'\x2026', '\x85'}, {L'\x2018', '\x91'},
        {L'\x2019', '\x92'}, {L'\x201C', '\x93'}, {L'\x201D', '\x94'}, {L'\x2013', '\x96'},
        {L'\xAB', '\xAB'},   {L'\xB0', '\xB0'},   {L'\xBB', '\xBB'},   {L'\xE9', '?'},
        {L'\0', '?'},        {L'\x1F', '?'},      {L'\x20AC', '?'},    {L'\x2014', '?'},
    };
    for (const Case& c : cases) {
        const std::string narrow = ToNarrow(std::wstring(1, c.in));
        ASSERT_EQ(narrow.size(), 1u);
        EXPECT_EQ(narrow[0], c.out) << "U+" << std::hex << static_cast<unsigned>(c.in);
    }
}

TEST(TextTest, ToWideInvertsEveryCharacterToNarrowKeeps) {
    for (unsigned u = 0; u < 0x10000; ++u) {
        const std::wstring one(1, static_cast<wchar_t>(u));
        const std::string narrow = ToNarrow(one);
        if (narrow != "?" || u == '?') {
            EXPECT_EQ(ToWide(narrow), one) << "U+" << std::hex << u;
        }
    }
}

TEST(TextTest, ToWideDecodesTheOtherHighBytesByWindows1252) {
    EXPECT_EQ(ToWide("\x80"), L"\x20AC");
    EXPECT_EQ(ToWide("\x9F"), L"\x0178");
    EXPECT_EQ(ToWide("\x81\x8D\x8F\x90\x9D"), L"\x81\x8D\x8F\x90\x9D");
    EXPECT_EQ(ToWide("\xE9\xFF\xA0"), L"\xE9\xFF\xA0");
    EXPECT_EQ(ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(TextTest, Utf16AndUtf8RoundTripAstralCharacters) {
    const std::wstring text = L"k\xE9y-\U0001F600-\x4E2D";
    const std::u16string units = ToUtf16(text);
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(units.size(), text.size() + 1);
    }
    EXPECT_EQ(FromUtf16(units), text);
    EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
    EXPECT_EQ(WideToUtf8(L"\xE9"), "\xC3\xA9");
}

TEST(TextTest, Utf8DecodingReplacesMalformedSequences) {
    struct Case {
        std::string in;
        std::wstring out;
    };
    const Case cases[] = {
        {"\xC3", L"\xFFFD"},                      // truncated
        {"\xC0\xAF", L"\xFFFD\xFFFD"},            // overlong
        {"\xED\xA0\x80", L"\xFFFD\xFFFD\xFFFD"},  // encoded surrogate
        {"a\xFF"
         "b",
         L"a\xFFFD"
         L"b"},
        {"\xE2\x82\xAC", L"\x20AC"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.in), c.out);
    }
}

TEST(TextTest, Utf16LessOrdersByCodeUnits) {
    std::vector<std::wstring> names = {L"\xFFFD", L"b", L"\U0001F600", L"B", L"a", L"\xE000"};
    std::sort(names.begin(), names.end(), Utf16Less());
    const std::vector<std::wstring> expected = {L"B",          L"a",      L"b",
                                                L"\U0001F600", L"\xE000", L"\xFFFD"};
    EXPECT_EQ(names, expected);
}

}  // namespace

TEST(TextTest, FillFieldsReplacesTheFieldsInOrderAndLeavesTheRest) {
    const struct {
        const wchar_t* text;
        std::initializer_list<std::wstring> values;
        const wchar_t* filled;
    } cases[] = {
        {L"Patching from %s to %s.", {L"41590", L"41600"}, L"Patching from 41590 to 41600."},
        {L"at least %dMB", {L"4096"}, L"at least 4096MB"},
        {L"%lu kB of %lu kB, %lu min", {L"5", L"10", L"1"}, L"5 kB of 10 kB, 1 min"},
        // A value that looks like a field is not filled again; 100% is not a field.
        {L"%s and %s", {L"%s"}, L"%s and %s"},
        {L"100% of %s", {L"x", L"y"}, L"100% of x"},
        {L"none", {L"x"}, L"none"},
        {L"ends in %", {L"x"}, L"ends in %"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FillFields(c.text, c.values), c.filled) << WideToUtf8(c.text);
    }
}

TEST(TextTest, ParseDecimalTakesOnlyPlainDigitsThatFitASignedSize) {
    const struct {
        const char* text;
        bool parsed;
        std::uint64_t value;
    } cases[] = {
        {"0", true, 0},
        {"102400", true, 102400},
        {"999999999999999999", true, 999999999999999999u},
        {"9999999999999999999", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"+1", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"0x10", false, 0},
    };
    for (const auto& c : cases) {
        std::uint64_t value = 7;
        EXPECT_EQ(ParseDecimal(c.text, &value), c.parsed) << c.text;
        EXPECT_EQ(value, c.parsed ? c.value : 7) << c.text;
    }
}
