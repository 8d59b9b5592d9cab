#include "kernel/MessageCatalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "kernel/StringTableData.h"

namespace {

class MessageCatalogueTest : public ::testing::Test {
protected:
    void SetUp() override { SetMessageLanguage(9); }
    void TearDown() override { SetMessageLanguage(0); }
};

TEST_F(MessageCatalogueTest, LoadsByBlockAndEntry) {
    EXPECT_EQ(LoadMessage(121), L"print usage");
    EXPECT_EQ(LoadMessage(131), L" to ");
    EXPECT_EQ(LoadMessage(151), L"Patching...\n");
    EXPECT_EQ(LoadMessage(174), L"Download Progress %lu kB of %lu kB, %lu hr %lu min remaining");
    EXPECT_EQ(LoadMessage(255),
              L"This version of Kelvor requires the August 2009 release of DirectX9. \n"
              L"The patch can be retried once DirectX is updated.");
    EXPECT_EQ(LoadMessage(133), L"") << "an absent entry of an existing block";
    EXPECT_EQ(LoadMessage(300), L"") << "a block that does not exist";
    EXPECT_EQ(LoadMessage(5), L"");
}

TEST_F(MessageCatalogueTest, TheLongestMessageFitsItsBuffer) {
    wchar_t buffer[kMessageBufferUnits];
    LoadMessageInto(132, buffer);
    EXPECT_EQ(std::wcslen(buffer), 232u);
    EXPECT_EQ(std::wstring(buffer), LoadMessage(132));
}

TEST_F(MessageCatalogueTest, EveryEnglishBlockHoldsSixteenEntries) {
    std::size_t englishBlocks = 0;
    for (std::size_t i = 0; i < kStringTableResourceCount; ++i) {
        const StringTableResource& r = kStringTableResources[i];
        if (r.language != 9) {
            continue;
        }
        ++englishBlocks;
        std::size_t at = 0;
        for (int entry = 0; entry < 16; ++entry) {
            ASSERT_LE(at + 2, r.size);
            const std::size_t units =
                kStringTableData[r.offset + at] | (kStringTableData[r.offset + at + 1] << 8);
            at += 2 + 2 * units;
        }
        EXPECT_EQ(at, r.size);
    }
    EXPECT_EQ(englishBlocks, 12u) << "blocks 8 to 17, 21 and 22";
}

// The placeholders of a message in order ("%s", "%d", "%lu"...): a translation is filled
// with the same values in the same order.
std::vector<std::wstring> Placeholders(const std::wstring& text) {
    std::vector<std::wstring> found;
    for (std::size_t at = text.find(L'%'); at != std::wstring::npos; at = text.find(L'%', at)) {
        std::size_t end = at + 1;
        while (end < text.size() && text[end] == L'l') {
            ++end;
        }
        if (end < text.size()) {
            found.push_back(text.substr(at, end + 1 - at));
        }
        at = end + 1;
    }
    return found;
}

// Every English message has its German, French and Russian translation, with the same
// placeholders in the same order, and no translation has a message English lacks.
TEST(MessageTablesTest, EveryTableHasEnglishsMessagesWithTheirPlaceholders) {
    constexpr std::uint32_t kLastId = 400;
    for (const std::uint16_t language : {1031, 1036, 1049}) {
        SCOPED_TRACE(language);
        for (std::uint32_t id = 0; id <= kLastId; ++id) {
            SCOPED_TRACE(id);
            SetMessageLanguage(9);
            const std::wstring english = LoadMessage(id);
            SetMessageLanguage(language);
            const std::wstring translated = LoadMessage(id);
            EXPECT_EQ(english.empty(), translated.empty());
            EXPECT_EQ(Placeholders(english), Placeholders(translated));
        }
    }
    SetMessageLanguage(0);
}

TEST(MessageLanguageTest, FollowsTheLocaleWithEnglishWhereNoTableMatches) {
    struct Case {
        const char* locale;
        std::uint16_t language;
    };
    const Case cases[] = {{"de_DE.UTF-8", 1031}, {"fr_CA", 1036}, {"ru_RU.KOI8-R", 1049}, {"C", 9},
                          {"ja_JP", 9},          {"en_GB", 9}};
    for (const Case& c : cases) {
        EXPECT_EQ(LanguageForLocale(c.locale), c.language) << c.locale;
    }
    SetMessageLanguage(0);
    setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(LoadMessage(190), L"Apply Update") << "no Japanese table: English";
    unsetenv("LC_ALL");
}

}  // namespace
