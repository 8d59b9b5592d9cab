#include "session/PatchDiscovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../net/LocalServers.h"
#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "patch/PatchCallbacks.h"
#include "platform/System.h"
#include "session/PatchListSignature.h"

namespace fs = std::filesystem;
using BexoPatch::BufferLineReader;
using BexoPatch::ParseKeyValues;
using BexoPatch::PatchDirectory;

namespace {

void Fill(BexoDataBufferMemoryDynamic* buffer, const std::string& text) {
    buffer->WriteData(text.data(), static_cast<std::uint32_t>(text.size()));
    buffer->Seek(0);
}

TEST(BufferLineReaderTest, TakesEachPairOfDifferentBreaksAsOne) {
    BexoDataBufferMemoryDynamic buffer;
    Fill(&buffer, "a\r\nb\n\rc\r\rd\n\ne\r");
    BufferLineReader reader(&buffer);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"a", false}, {"b", false}, {"c", false}, {"", false},
        {"d", false}, {"", false},  {"e", false}, {"", true},
    };
    for (const auto& [text, ended] : expected) {
        std::string line;
        reader.ReadLine(&line);
        EXPECT_EQ(line, text);
        EXPECT_EQ(reader.Ended(), ended);
    }
    BexoDataBufferMemoryDynamic unterminated;
    Fill(&unterminated, "last");
    BufferLineReader last(&unterminated);
    std::string line;
    last.ReadLine(&line);
    EXPECT_EQ(line, "last");
    EXPECT_TRUE(last.Ended());
}

TEST(ParseKeyValuesTest, TrimsSpacesLowerCasesKeysAndUnquotesValues) {
    BexoDataBufferMemoryDynamic buffer;
    Fill(&buffer,
         "  Source-Version :  \"1042\" \n"
         "quote: \"\n"
         "tabbed:\tx\t\n"
         "url: http://h/a:b\n"
         "   \n"
         "Source-Version: 1043\n"
         "no colon here\n"
         "dropped: because the data ends");
    std::map<std::string, std::string> values = {{"stale", "x"}};
    EXPECT_FALSE(ParseKeyValues(&buffer, &values));
    const std::map<std::string, std::string> expected = {
        {"source-version", "1043"},
        {"quote", "\""},
        {"tabbed", "\tx\t"},
        {"url", "http://h/a:b"},
    };
    EXPECT_EQ(values, expected);
}

struct ListCase {
    const char* name;
    const char* list;
    const wchar_t* server;
    bool accepted;
    // source -> target, data address
    std::vector<std::tuple<std::string, std::string, std::wstring>> entries;
};

TEST(ParsePatchListTest, ReadsTheRecordsItCanUse) {
    const ListCase cases[] = {
        {"crlf, capitals, quotes, relative data address",
         "\r\n\r\nSOURCE-VERSION: 100\r\nTarget-Version: \"101\"\r\npatch-exe-url: x.exe\r\n"
         "patch-data-url: \"100_to_101.zip\"\r\n\r\n\r\n"
         "source-version: 101\r\ntarget-version: 102\r\npatch-exe-url: y.exe\r\n"
         "patch-data-url: FTP://mirror/101_to_102.zip\r\n",
         L"http://patches.example.com/kelvor",
         true,
         {{"100", "101", L"http://patches.example.com/kelvor/100_to_101.zip"},
          {"101", "102", L"FTP://mirror/101_to_102.zip"}}},
        {"a spaces-only line joins two records, the later values win",
         "source-version: 1\ntarget-version: 2\npatch-exe-url: e\npatch-data-url: a.zip\n"
         "   \n"
         "source-version: 5\ntarget-version: 6\npatch-exe-url: e\npatch-data-url: b.zip\n",
         L"http://s/",
         true,
         {{"5", "6", L"http://s/b.zip"}}},
        {"a bad record is skipped, the next is used",
         "source-version: 1\ntarget-version: 2\npatch-exe-url: e\n\n"
         "source-version: 2\ntarget-version: 3\npatch-exe-url: e\npatch-data-url: c.zip\n"
         "no colon\n\n"
         "source-version: 3\ntarget-version: 4\npatch-exe-url: e\npatch-data-url: http://h/d\n",
         L"http://s",
         true,
         {{"3", "4", L"http://h/d"}}},
        {"https data address counts as relative",
         "source-version: 1\ntarget-version: 2\npatch-exe-url: e\n"
         "patch-data-url: https://h/p.zip\n",
         L"http://s",
         true,
         {{"1", "2", L"http://s/https://h/p.zip"}}},
        {"relative data address without a server",
         "source-version: 1\ntarget-version: 2\npatch-exe-url: e\npatch-data-url: p.zip\n",
         L"",
         false,
         {}},
        {"versions that would name another directory",
         "source-version: 1\ntarget-version: ../../x\npatch-exe-url: e\n"
         "patch-data-url: http://h/p\n\n"
         "source-version: ..\ntarget-version: 2\npatch-exe-url: e\npatch-data-url: http://h/p\n",
         L"http://s",
         false,
         {}},
        {"a last line without a break on its own is dropped",
         "\n\nsource-version: 1",
         L"http://s",
         false,
         {}},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.name);
        BexoDataBufferMemoryDynamic buffer;
        Fill(&buffer, c.list);
        PatchDirectory directory;
        EXPECT_EQ(directory.ParsePatchList(&buffer, c.server), c.accepted);
        EXPECT_EQ(directory.Patches().size(), c.entries.size());
        for (const auto& [source, target, data] : c.entries) {
            const auto entry = directory.FindPatch(source);
            ASSERT_TRUE(entry.has_value()) << source;
            EXPECT_EQ(entry->targetVersion, target);
            EXPECT_EQ(entry->dataUrl, data);
        }
    }
}

std::mutex g_linesLock;
std::vector<std::wstring> g_lines;

void CollectLine(std::int32_t, const std::wstring& text) {
    const std::lock_guard<std::mutex> guard(g_linesLock);
    g_lines.push_back(text);
}

TEST(ParsePatchListTest, ReadsEachPackagesSizeAndDigestWhenWellFormed) {
    const std::string digest(64, 'A');
    BexoDataBufferMemoryDynamic buffer;
    Fill(&buffer,
         "source-version: 1\ntarget-version: 2\npatch-exe-url: e\npatch-data-url: a\n"
         "patch-data-size: 123\npatch-data-sha256: " +
             digest +
             "\n\n"
             "source-version: 2\ntarget-version: 3\npatch-exe-url: e\npatch-data-url: b\n"
             "patch-data-size: 12x\npatch-data-sha256: " +
             digest + "\n");
    PatchDirectory directory;
    ASSERT_TRUE(directory.ParsePatchList(&buffer, L"http://s"));
    EXPECT_EQ(directory.FindPatch("1")->dataSize, 123u);
    EXPECT_EQ(directory.FindPatch("1")->dataSha256, std::string(64, 'a'));
    EXPECT_FALSE(directory.FindPatch("2")->dataSize.has_value());
    EXPECT_TRUE(directory.FindPatch("2")->dataSha256.empty());
}

TEST(PatchListSignatureTest, ReadsTheTermsOfTheTrustedComment) {
    struct Case {
        const char* comment;
        bool ok;
        std::uint64_t version;
        const char* expires;  // as written back, or "" for none
    };
    const Case cases[] = {
        {"list-version:7", true, 7, ""},
        {"list-version:41 expires:2031-02-03T04:05:06Z", true, 41, "2031-02-03T04:05:06Z"},
        {"timestamp:1\tlist-version:9\texpires:2024-02-29T23:59:59Z\tfile:x", true, 9,
         "2024-02-29T23:59:59Z"},
        {"", false, 0, ""},
        {"timestamp:1796911668\tfile:patches.txt\thashed", false, 0, ""},
        {"list-version:", false, 0, ""},
        {"list-version:-3", false, 0, ""},
        {"list-version:12345678901234567890", false, 0, ""},
        {"list-version:3 list-version:4", false, 0, ""},
        {"list-version:3 expires:2023-02-29T00:00:00Z", false, 0, ""},
        {"list-version:3 expires:2031-02-03 04:05:06Z", false, 0, ""},
        {"list-version:3 expires:1969-12-31T23:59:59Z", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.comment);
        BexoPatch::ListTerms terms;
        std::string error;
        ASSERT_EQ(BexoPatch::ParseListComment(c.comment, &terms, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(terms.version, c.version);
            EXPECT_EQ(terms.expires == 0 ? std::string() : BexoPatch::FormatUtcTime(terms.expires),
                      c.expires);
        }
    }
    std::int64_t seconds = 0;
    ASSERT_TRUE(BexoPatch::ParseUtcTime("1970-01-02T00:00:01Z", &seconds));
    EXPECT_EQ(seconds, 86401);
    EXPECT_TRUE(BexoPatch::IsBuildAbove("41600", "41590"));
    EXPECT_TRUE(BexoPatch::IsBuildAbove("100000", "99999"));
    EXPECT_FALSE(BexoPatch::IsBuildAbove("41590", "41590"));
    EXPECT_FALSE(BexoPatch::IsBuildAbove("41580", "41590"));
    EXPECT_FALSE(BexoPatch::IsBuildAbove("41600b", "41590"));
}

TEST(FetchPatchListTest, SkipsAServerThatIsDownAndUsesTheNext) {
    testservers::Servers servers;
    ASSERT_TRUE(servers.Ready());
    fs::create_directories(servers.Www() / "kelvor");
    testservers::WriteText(servers.Www() / "kelvor" / "patches.txt",
                           "source-version: 100\r\ntarget-version: 101\r\n"
                           "patch-exe-url: p.exe\r\npatch-data-url: 100_to_101.zip\r\n");
    SetDownloadRetryPause(std::chrono::milliseconds(5));
    SetPatchCallbacks(nullptr, nullptr, CollectLine);

    const std::wstring down =
        L"http://127.0.0.1:" + std::to_wstring(testservers::FreePort()) + L"/kelvor";
    const std::wstring up = ToWide(servers.HttpURL("kelvor"));
    PatchDirectory directory;
    EXPECT_TRUE(directory.FetchPatchList({L"", down, up}, nullptr));
    EXPECT_EQ(directory.SelectedServer(), up);
    const auto entry = directory.FindPatch("100");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->dataUrl, up + L"/100_to_101.zip");
    EXPECT_FALSE(directory.FindPatch("101").has_value());
    const std::vector<std::wstring> expected = {L"Unable to download patch file: " + down +
                                                L"/patches.txt"};
    EXPECT_EQ(g_lines, expected);

    g_lines.clear();
    EXPECT_FALSE(directory.FetchPatchList({down}, nullptr));
    EXPECT_EQ(directory.SelectedServer(), L"");
    EXPECT_EQ(g_lines.back(), L"Unable to connect to any patch servers.");
    EXPECT_TRUE(directory.FindPatch("100").has_value());

    // A "list" far beyond any real one is refused before it fills the memory.
    fs::create_directories(servers.Www() / "huge");
    testservers::WriteText(servers.Www() / "huge" / "patches.txt",
                           "source-version: 100\r\ntarget-version: 101\r\n"
                           "patch-exe-url: p.exe\r\npatch-data-url: 100_to_101.zip\r\n" +
                               std::string(2u << 20, '\n'));
    g_lines.clear();
    const std::wstring huge = ToWide(servers.HttpURL("huge"));
    EXPECT_FALSE(PatchDirectory().FetchPatchList({huge}, nullptr));
    EXPECT_EQ(g_lines.front(), L"Unable to download patch file: " + huge + L"/patches.txt");
    SetPatchCallbacks(nullptr, nullptr, nullptr);
}

}  // namespace
