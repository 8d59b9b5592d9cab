#include "repair/AgentClientTask.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "FileNames.h"
#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "repair/FileTreeSummary.h"
#include "repair/SegmentChecksum.h"
#include "repair/buffer/BexoUtil.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kSeg = 4194304;

// A repair client whose connection is a prepared byte stream.
class FakeClient : public BexoAgentClient {
public:
    explicit FakeClient(std::wstring root) : m_root(std::move(root)) {}
    BexoDataBuffer* Connection() override { return &stream; }
    bool IsConnected() override { return true; }
    const std::wstring& Root() const override { return m_root; }
    FileTreeSummary& Summary() override { return summary; }
    std::uint32_t Received() const override { return received; }
    void CountReceived() override { ++received; }
    std::uint32_t Announced() const override { return announced; }
    bool CancelRequested() const override { return false; }
    void SaveChecksumFile() override { savedAt.push_back(received); }
    void ReportProblem(RepairProblem problem, const std::wstring& file) override {
        const std::lock_guard<std::mutex> hold(problemLock);
        problems.emplace_back(problem, file);
    }

    void Plain(const std::wstring& key, const std::string& bytes) {
        Record(false, key, Crc(bytes), bytes);
    }
    void Compressed(const std::wstring& key, const std::string& bytes) {
        BexoDataBufferMemoryDynamic in;
        in.WriteData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        in.Seek(0);
        BexoDataBufferMemoryDynamic out;
        ASSERT_EQ(BexoUtil::CompressData(&out, &in), BEXORESULT_OK);
        Record(true, key, Crc(bytes),
               std::string(reinterpret_cast<const char*>(out.GetData()), out.GetSize()));
    }
    void Gone(const std::wstring& key) { Record(false, key, 0, ""); }
    void Record(bool compressed, const std::wstring& key, std::uint32_t checksum,
                const std::string& payload, std::int32_t length = -1) {
        std::string r(1, compressed ? '\1' : '\0');
        const std::u16string units = ToUtf16(key);
        Put(r, static_cast<std::uint32_t>(units.size()));
        for (char16_t u : units) {
            r += static_cast<char>(u & 0xFF);
            r += static_cast<char>(u >> 8);
        }
        Put(r, checksum);
        Put(r, static_cast<std::uint32_t>(length >= 0 || length < -1
                                              ? length
                                              : static_cast<std::int32_t>(payload.size())));
        r += payload;
        stream.Seek(stream.GetSize());
        stream.WriteData(r.data(), static_cast<std::uint32_t>(r.size()));
        stream.Seek(0);
        ++announced;
    }
    static void Put(std::string& s, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            s += static_cast<char>(v >> (8 * i));
        }
    }
    static std::uint32_t Crc(const std::string& s) {
        const std::uint32_t c = SegmentCrc(0, s.data(), s.size());
        return c == 0 ? 1 : c;
    }

    BexoDataBufferMemoryDynamic stream;
    FileTreeSummary summary;
    std::uint32_t received = 0;
    std::uint32_t announced = 0;
    std::vector<std::uint32_t> savedAt;
    std::mutex problemLock;  // the worker and a write thread may both report
    std::vector<std::pair<RepairProblem, std::wstring>> problems;

private:
    std::wstring m_root;
};

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("osmel-transfer-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root / "install");
        client =
            std::make_unique<FakeClient>(Platform::FromSystemPath((m_root / "install").string()));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    fs::path P(const std::string& rel) { return m_root / "install" / rel; }
    void Write(const std::string& rel, const std::string& content) {
        BexoPatch::testing::WriteFile(P(rel), content);
    }
    std::string Read(const std::string& rel) { return BexoPatch::testing::ReadFile(P(rel)); }
    void Run() {
        testing::internal::CaptureStdout();
        ReceiveSegments(client.get());
        output = testing::internal::GetCapturedStdout();
    }

    fs::path m_root;
    std::unique_ptr<FakeClient> client;
    std::string output;
};

TEST_F(TransferTest, WritesPlainAndCompressedSegmentsAndRegistersThem) {
    Write("bin/tool.dll", std::string(2 * kSeg + 100, 'o'));
    const std::string seg1(kSeg, 'n');
    client->Plain(L"bin\\tool.dll#001", seg1);
    client->Compressed(L"bin\\tool.dll#002", "tail!");
    // Segment 2 of a missing file: the gap before it is zero-filled.
    client->Plain(L"new\\dir\\made.bin#002", "late");
    Run();
    EXPECT_EQ(client->received, 3u);
    const std::string tool = Read("bin/tool.dll");
    ASSERT_EQ(tool.size(), 2 * kSeg + 5) << "a short last segment cuts the file";
    EXPECT_EQ(tool.substr(kSeg, kSeg), seg1);
    EXPECT_EQ(tool.substr(2 * kSeg), "tail!");
    const std::string made = Read("new/dir/made.bin");
    ASSERT_EQ(made.size(), 2 * kSeg + 4);
    EXPECT_EQ(made.find_first_not_of('\0'), 2 * kSeg);
    const auto entries = client->summary.Entries();
    EXPECT_EQ(entries.at(L"bin\\tool.dll#001").checksum, FakeClient::Crc(seg1));
    EXPECT_EQ(entries.at(L"bin\\tool.dll#002").checksum, FakeClient::Crc("tail!"));
    EXPECT_EQ(entries.at(L"new\\dir\\made.bin#002").checksum, FakeClient::Crc("late"));
    EXPECT_EQ(client->savedAt, std::vector<std::uint32_t>{3});
}

TEST_F(TransferTest, ShortLastSegmentDropsTheEntriesBeyondIt) {
    Write("f.bin", std::string(3 * kSeg, 'x'));
    client->summary.Scan(client->Root(), {});
    ASSERT_EQ(client->summary.Count(), 3u);
    client->Plain(L"f.bin#001", "short");
    Run();
    EXPECT_EQ(fs::file_size(P("f.bin")), kSeg + 5);
    const auto entries = client->summary.Entries();
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_FALSE(entries.count(L"f.bin#002"));
}

TEST_F(TransferTest, ChecksumZeroDeletesOrCutsTheFile) {
    Write("whole.bin", "bye");
    Write("long.bin", std::string(5 * kSeg, 'l'));
    client->summary.Scan(client->Root(), {});
    client->Gone(L"whole.bin#000");
    client->Gone(L"long.bin#003");
    Run();
    EXPECT_FALSE(fs::exists(P("whole.bin")));
    EXPECT_EQ(fs::file_size(P("long.bin")), 12582912u);
    const auto entries = client->summary.Entries();
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries.count(L"long.bin#002"));
    EXPECT_FALSE(entries.count(L"whole.bin#000"));
}

TEST_F(TransferTest, AReadOnlyFileIsMadeWritableFirst) {
    Write("ro.txt", "old");
    fs::permissions(P("ro.txt"), fs::perms::owner_read);
    client->Plain(L"ro.txt#000", "new");
    Run();
    EXPECT_EQ(Read("ro.txt"), "new");
}

TEST_F(TransferTest, SavesTheChecksumFileEvery33RecordsAndAtTheEnd) {
    for (int i = 0; i < 70; ++i) {
        client->Plain(L"many\\f" + std::to_wstring(i) + L".txt#000", "x");
    }
    Run();
    EXPECT_EQ(client->received, 70u);
    EXPECT_EQ(client->savedAt, (std::vector<std::uint32_t>{33, 66, 70}));
    EXPECT_EQ(client->summary.Count(), 70u);
}

// Each bad record stops the transfer after the one good record before it was written,
// and nothing is written for the bad record.
TEST_F(TransferTest, MalformedRecordsStopTheTransfer) {
    struct Case {
        const char* name;
        void (*add)(FakeClient&);
        const char* message;
    };
    const Case cases[] = {
        {"compressed without data", [](FakeClient& c) { c.Record(true, L"bad.txt#000", 5, ""); },
         "mismatched flags from server"},
        {"checksum 0 with data", [](FakeClient& c) { c.Record(false, L"bad.txt#000", 0, "x"); },
         "mismatched flags from server"},
        {"negative length", [](FakeClient& c) { c.Record(false, L"bad.txt#000", 5, "", -5); },
         "data bytes from server"},
        {"plain segment above 4 MiB",
         [](FakeClient& c) { c.Record(false, L"bad.txt#000", 5, "", 4194305); },
         "data bytes from server"},
        {"parent directory", [](FakeClient& c) { c.Plain(L"..\\escape.txt#000", "x"); },
         "refused key outside the installation"},
        {"inner parent directory",
         [](FakeClient& c) { c.Plain(L"bin\\..\\..\\escape.txt#000", "x"); },
         "refused key outside the installation"},
        {"absolute", [](FakeClient& c) { c.Plain(L"\\tmp\\escape.txt#000", "x"); },
         "refused key outside the installation"},
        {"drive", [](FakeClient& c) { c.Plain(L"C:\\escape.txt#000", "x"); },
         "refused key outside the installation"},
        // The stream ends inside the data.
        {"truncated record",
         [](FakeClient& c) {
             c.Record(false, L"bad.txt#000", 5, "ab", 10);
             c.announced += 1;
         },
         "ReceiveFile> error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        client->Plain(L"good.txt#000", "fine");
        c.add(*client);
        if (std::string(c.name) != "truncated record") {
            client->Plain(L"after.txt#000", "never");
        }
        Run();
        EXPECT_EQ(Read("good.txt"), "fine");
        EXPECT_FALSE(fs::exists(P("bad.txt")));
        EXPECT_FALSE(fs::exists(P("after.txt")));
        EXPECT_FALSE(fs::exists(m_root / "escape.txt"));
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        if (std::string(c.name) != "truncated record") {
            ASSERT_EQ(client->problems.size(), 1u);
            EXPECT_EQ(client->problems[0].first, RepairProblem::kBadRecord);
        } else {
            EXPECT_TRUE(client->problems.empty()) << "a lost connection is told by the counts";
        }
    }
}

TEST_F(TransferTest, AContainerClaimingMoreThanASegmentIsNotDecompressed) {
    // One chunk that claims 8 MiB of raw data from a tiny stream.
    std::string container;
    FakeClient::Put(container, 1);
    FakeClient::Put(container, 8);
    FakeClient::Put(container, 8 * kSeg);
    container += std::string(8, '\x78');
    client->Record(true, L"big.bin#000", 7, container);
    Run();
    EXPECT_FALSE(fs::exists(P("big.bin")));
    EXPECT_NE(output.find("ThreadedDecompress> error"), std::string::npos);
    ASSERT_EQ(client->problems.size(), 1u);
    EXPECT_EQ(client->problems[0].first, RepairProblem::kDamagedData);
    EXPECT_EQ(client->problems[0].second, JoinPath(client->Root(), L"big.bin"));
}

TEST(SegmentKeySafetyTest, OnlyRelativeKeysInsideTheRootPass) {
    EXPECT_TRUE(IsSafeSegmentKey(L"bin\\tool.dll#000"));
    EXPECT_TRUE(IsSafeSegmentKey(L"a..b\\c#001"));
    EXPECT_FALSE(IsSafeSegmentKey(L"#000"));
    EXPECT_FALSE(IsSafeSegmentKey(L"a\\\\b#000"));
    EXPECT_FALSE(IsSafeSegmentKey(L"a/../b#000"));
    EXPECT_FALSE(IsSafeSegmentKey(L"/etc/passwd#000"));
    EXPECT_FALSE(IsSafeSegmentKey(L"C:x#000"));
    // ":" is an ordinary name character on POSIX; Windows reads it as a drive or a stream.
    EXPECT_EQ(IsSafeSegmentKey(L"data\\a:b.txt#000"), !Platform::WindowsFileNames());
}

// Every row of the names table from the listing to the summary's key to the repair write,
// in an installation whose folder is not plain ASCII.
TEST_F(TransferTest, EveryNameGoesFromTheListingToItsKeyToTheRepairWrite) {
    if (Platform::WindowsFileNames()) {
        GTEST_SKIP() << "Windows names none of these files";
    }
    const std::string folder = BexoPatch::testing::kUnusualFolder;
    const fs::path install = m_root / fs::path(std::u8string(folder.begin(), folder.end()));
    client = std::make_unique<FakeClient>(Platform::FromSystemPath(install.string()));
    const std::vector<std::string> names = BexoPatch::testing::PosixFileNames();
    const auto file = [&install](const std::string& name) {
        return install / "data" / fs::path(std::u8string(name.begin(), name.end()));
    };
    for (const std::string& name : names) {
        BexoPatch::testing::WriteFile(file(name), "old " + name);
    }
    ASSERT_EQ(client->summary.Scan(client->Root(), {}), BEXORESULT_OK);
    auto entries = client->summary.Entries();
    ASSERT_EQ(entries.size(), names.size());
    for (const std::string& name : names) {
        const std::wstring key = L"data\\" + Utf8ToWide(name) + L"#000";
        ASSERT_EQ(entries.count(key), 1u) << name;
        EXPECT_EQ(entries.at(key).checksum, FakeClient::Crc("old " + name)) << name;
        client->Plain(key, "repaired " + name);
    }
    Run();
    EXPECT_EQ(client->received, names.size()) << output;
    entries = client->summary.Entries();
    for (const std::string& name : names) {
        EXPECT_EQ(BexoPatch::testing::ReadFile(file(name)), "repaired " + name) << name;
        EXPECT_EQ(entries.at(L"data\\" + Utf8ToWide(name) + L"#000").checksum,
                  FakeClient::Crc("repaired " + name))
            << name;
    }
}

TEST_F(TransferTest, NeverWritesThroughALinkOutOfTheInstallation) {
    if (Platform::WindowsFileNames()) {
        GTEST_SKIP() << "POSIX links";
    }
    BexoPatch::testing::WriteFile(m_root / "outside/target.txt", "outside");
    fs::create_directory_symlink(m_root / "outside", P("link"));
    fs::create_symlink(m_root / "outside/target.txt", P("file-link.txt"));
    for (const wchar_t* key : {L"link\\pwned.txt#000", L"file-link.txt#000"}) {
        client->Plain(key, "written through");
        Run();
        EXPECT_NE(output.find("refused to write through a link"), std::string::npos) << output;
        EXPECT_EQ(client->received, 1u);
        client = std::make_unique<FakeClient>(client->Root());
    }
    EXPECT_FALSE(fs::exists(m_root / "outside/pwned.txt"));
    EXPECT_EQ(BexoPatch::testing::ReadFile(m_root / "outside/target.txt"), "outside");
}

}  // namespace
