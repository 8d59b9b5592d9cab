#include "RepairServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "SocketBuffer.h"
#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "repair/AgentClientTask.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kSeg = 4194304;

// The repair protocol's client side over a blocking stream: handshake, summary upload,
// then the transfer pipeline the product uses.
class StreamClient : public BexoAgentClient {
public:
    StreamClient(std::wstring root, Platform::TcpStream* stream)
        : m_root(std::move(root)), m_buffer(stream, ~0ull) {}
    BexoDataBuffer* Connection() override { return &m_buffer; }
    bool IsConnected() override { return !m_buffer.Failed(); }
    const std::wstring& Root() const override { return m_root; }
    FileTreeSummary& Summary() override { return summary; }
    std::uint32_t Received() const override { return received; }
    void CountReceived() override { ++received; }
    std::uint32_t Announced() const override { return announced; }
    bool CancelRequested() const override { return false; }
    void SaveChecksumFile() override {}
    void ReportProblem(RepairProblem problem, const std::wstring& /*file*/) override {
        problems.push_back(problem);
    }

    // Returns the handshake answer.
    std::uint32_t Run() {
        summary.Scan(m_root, {L"repair.cks", L"unins000.exe"});
        std::uint32_t value = 6;
        m_buffer.WriteData(&value, 4);
        m_buffer.Flush();
        value = 0;
        if (m_buffer.ReadData(&value, 4) != BEXORESULT_OK || value != 6) {
            return value;
        }
        summary.Save(&m_buffer);
        m_buffer.Flush();
        m_buffer.ReadData(&announced, 4);
        ReceiveSegments(this);
        return 6;
    }

    FileTreeSummary summary;
    std::uint32_t received = 0;
    std::uint32_t announced = 0;
    std::vector<RepairProblem> problems;

private:
    std::wstring m_root;
    SocketBuffer m_buffer;
};

std::string RandomText(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>('a' + rng() % 4);  // compressible
    }
    return s;
}

// The summary a client uploads, built by hand so that it can name any path: every key
// with checksum 1 and time 0.
std::vector<std::uint8_t> SummaryNaming(const std::vector<std::wstring>& keys) {
    std::vector<std::uint8_t> out;
    AppendLittleEndian<std::uint32_t>(out, kSummaryMagic);
    AppendLittleEndian<std::uint32_t>(out, static_cast<std::uint32_t>(keys.size()));
    for (const std::wstring& key : keys) {
        const std::u16string units = ToUtf16(key);
        AppendLittleEndian<std::uint32_t>(out, static_cast<std::uint32_t>(units.size()));
        for (const char16_t u : units) {
            AppendLittleEndian<std::uint16_t>(out, static_cast<std::uint16_t>(u));
        }
        AppendLittleEndian<std::uint32_t>(out, 1);
        AppendLittleEndian<std::uint64_t>(out, 0);
    }
    return out;
}

struct Record {
    std::wstring key;
    std::uint32_t checksum = 0;
    std::uint32_t size = 0;
};

// Sends the handshake and the summary, then reads every record the server announces.
std::vector<Record> RecordsFor(Platform::TcpStream& stream,
                               const std::vector<std::uint8_t>& summary) {
    const std::uint8_t hello[4] = {6, 0, 0, 0};
    std::uint8_t word[4];
    std::vector<Record> records;
    if (!stream.WriteAll(hello, 4) || !stream.ReadAll(word, 4) ||
        !stream.WriteAll(summary.data(), summary.size()) || !stream.ReadAll(word, 4)) {
        return records;
    }
    const auto value = [](const std::uint8_t* p) {
        return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    };
    const std::uint32_t count = value(word);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t head[5];
        if (!stream.ReadAll(head, 5)) {
            break;
        }
        std::vector<std::uint8_t> units(2 * static_cast<std::size_t>(value(head + 1)));
        std::uint8_t tail[8];
        if (!stream.ReadAll(units.data(), units.size()) || !stream.ReadAll(tail, 8)) {
            break;
        }
        Record record;
        for (std::size_t u = 0; u < units.size(); u += 2) {
            record.key += static_cast<wchar_t>(units[u] | (units[u + 1] << 8));
        }
        record.checksum = value(tail);
        record.size = value(tail + 4);
        std::vector<std::uint8_t> bytes(record.size);
        if (!stream.ReadAll(bytes.data(), bytes.size())) {
            break;
        }
        records.push_back(record);
    }
    return records;
}

class RepairServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-repaird-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        Put("ref/a.bin", RandomText(2 * kSeg + 10, 1));
        Put("ref/b.txt", "small file");
        Put("ref/dir/c.dat", RandomText(kSeg + 3, 2));
        Put("ref/d.bin", RandomText(100, 3));
        Put("ref/unins000.dat", "reference log");
        fs::copy(m_dir / "ref", m_dir / "client", fs::copy_options::recursive);
        std::string a = Get("client/a.bin");
        a[kSeg + 7] ^= 1;
        Put("client/a.bin", a);
        fs::remove(m_dir / "client/b.txt");
        fs::resize_file(m_dir / "client/dir/c.dat", 5);
        Put("client/d.bin", Get("ref/d.bin") + RandomText(kSeg * 2, 4));
        Put("client/extra.txt", "mine");
        Put("client/unins000.dat", "this machine's log");
    }
    void TearDown() override { fs::remove_all(m_dir); }

    void Put(const std::string& rel, const std::string& content) {
        BexoPatch::testing::WriteFile(m_dir / rel, content);
    }
    std::string Get(const std::string& rel) { return BexoPatch::testing::ReadFile(m_dir / rel); }
    std::wstring W(const std::string& rel) {
        return Platform::FromSystemPath((m_dir / rel).string());
    }

    // Serves `clients` connections with the options; each client repairs its own copy.
    std::vector<std::string> Serve(RepairServerOptions options, int clients = 1) {
        options.root = W("ref");
        RepairServer server(options);
        auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
        std::vector<std::string> lines(static_cast<std::size_t>(clients));
        std::vector<std::thread> servers;
        std::thread acceptor([&] {
            for (int i = 0; i < clients; ++i) {
                auto stream = listener->Accept();
                servers.emplace_back([&server, &lines, i, s = std::move(stream)] {
                    lines[static_cast<std::size_t>(i)] = server.Serve(*s);
                });
            }
        });
        std::vector<std::thread> users;
        answers.assign(static_cast<std::size_t>(clients), 0);
        // Every copy is made before any client starts changing the original.
        for (int i = 1; i < clients; ++i) {
            fs::copy(m_dir / "client", m_dir / ("client" + std::to_string(i)),
                     fs::copy_options::recursive);
        }
        for (int i = 0; i < clients; ++i) {
            const std::string root = i == 0 ? "client" : "client" + std::to_string(i);
            users.emplace_back([this, i, root, port = listener->Port()] {
                auto stream = Platform::TcpStream::Connect("127.0.0.1", port);
                ASSERT_TRUE(stream);
                StreamClient client(W(root), stream.get());
                answers[static_cast<std::size_t>(i)] = client.Run();
                if (i == 0) {
                    received = client.received;
                    announced = client.announced;
                }
            });
        }
        for (auto& t : users) {
            t.join();
        }
        acceptor.join();
        for (auto& t : servers) {
            t.join();
        }
        return lines;
    }

    void ExpectRepaired(const std::string& root) {
        for (const char* name : {"a.bin", "b.txt", "dir/c.dat", "d.bin"}) {
            EXPECT_EQ(Get(root + "/" + name), Get(std::string("ref/") + name)) << root << name;
        }
        EXPECT_EQ(Get(root + "/unins000.dat"), "this machine's log");
    }

    fs::path m_dir;
    std::vector<std::uint32_t> answers;
    std::uint32_t received = 0;
    std::uint32_t announced = 0;
};

TEST_F(RepairServerTest, RepairsChangedMissingShortAndLongFilesAndLeavesTheUsersAlone) {
    const auto lines = Serve({});
    ExpectRepaired("client");
    EXPECT_EQ(Get("client/extra.txt"), "mine");
    // a.bin#001, b.txt#000, dir\c.dat#000 and #001, d.bin#000, and one record cutting d.bin.
    EXPECT_EQ(announced, 6u);
    EXPECT_EQ(received, 6u);
    EXPECT_NE(lines[0].find("5 segments sent"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("1 files cut or removed"), std::string::npos) << lines[0];
}

// A segment of random bytes is sent as it is, without a compression of all of it in vain;
// the compressible ones are still compressed.
TEST_F(RepairServerTest, SendsIncompressibleSegmentsRaw) {
    std::mt19937 rng(5);
    std::string noise(2 * kSeg + 10, '\0');
    for (auto& c : noise) {
        c = static_cast<char>(rng());
    }
    Put("ref/a.bin", noise);
    noise[kSeg + 7] ^= 1;
    Put("client/a.bin", noise);
    const auto lines = Serve({});
    ExpectRepaired("client");
    // dir\c.dat#000 and d.bin#000 shrink; a.bin#001 is noise; b.txt and dir\c.dat#001 are
    // too small to gain.
    EXPECT_NE(lines[0].find("5 segments sent (2 compressed"), std::string::npos) << lines[0];
}

TEST_F(RepairServerTest, DeletesExtraFilesOnlyWhenAsked) {
    RepairServerOptions options;
    options.deleteExtra = true;
    options.compress = false;
    Serve(options);
    ExpectRepaired("client");
    EXPECT_FALSE(fs::exists(m_dir / "client/extra.txt"));
}

// Whether a client's file is extra comes from the reference's own listing: a path leaving
// the root is treated as any other name the reference lacks, so the answer tells nothing
// about the server's files; names the reference has in another case or with other
// separators, and excluded ones, are never removed.
TEST_F(RepairServerTest, DeletionIsDecidedFromTheReferenceListingAlone) {
    Put("ref/empty.dat", "");
    fs::create_directories(m_dir / "ref/sub");
    const std::wstring up = L"..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\";
    const struct {
        std::wstring path;
        bool removed;
    } cases[] = {
        {up + L"etc\\passwd", true},
        {up + L"etc\\no-such-file", true},
        {L"extra.txt", true},
        {L"DIR/C.DAT", false},
        {L"sub", false},
        {L"unins000.dat", false},
    };
    std::vector<std::wstring> keys{L"empty.dat#000"};
    for (const auto& c : cases) {
        keys.push_back(FormatSegmentKey(c.path, 0));
    }
    RepairServerOptions options;
    options.root = W("ref");
    options.deleteExtra = true;
    options.compress = false;
    RepairServer server(options);
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
    std::thread serving([&] {
        auto stream = listener->Accept();
        server.Serve(*stream);
    });
    auto stream = Platform::TcpStream::Connect("127.0.0.1", listener->Port());
    const std::vector<Record> records = RecordsFor(*stream, SummaryNaming(keys));
    stream.reset();
    serving.join();
    std::map<std::wstring, Record> byKey;
    for (const Record& r : records) {
        byKey[r.key] = r;
    }
    ASSERT_TRUE(byKey.count(L"empty.dat#000"));
    EXPECT_EQ(byKey[L"empty.dat#000"].checksum, 1u);  // emptied, not removed
    EXPECT_EQ(byKey[L"empty.dat#000"].size, 0u);
    for (const auto& c : cases) {
        const auto it = byKey.find(FormatSegmentKey(c.path, 0));
        EXPECT_EQ(it != byKey.end(), c.removed) << ToNarrow(c.path);
        if (it != byKey.end()) {
            EXPECT_EQ(it->second.checksum, 0u) << ToNarrow(c.path);
            EXPECT_EQ(it->second.size, 0u) << ToNarrow(c.path);
        }
    }
}

// All sessions draw on one memory budget: a summary that would not fit it is refused,
// the next client is served, and what each session held goes back when it ends.
TEST_F(RepairServerTest, ASummaryBeyondTheMemoryBudgetIsRefused) {
    RepairServerOptions options;
    options.root = W("ref");
    options.memoryBytes = 8u << 20;
    options.compress = false;
    RepairServer server(options);
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
    std::vector<std::string> lines;
    std::thread serving([&] {
        for (int i = 0; i < 2; ++i) {
            auto stream = listener->Accept();
            lines.push_back(server.Serve(*stream));
        }
    });
    std::vector<std::wstring> many;
    for (int i = 0; i < 20000; ++i) {
        many.push_back(FormatSegmentKey(L"extra\file" + std::to_wstring(i), 0));
    }
    for (const auto& keys : {many, std::vector<std::wstring>{L"b.txt#000"}}) {
        auto stream = Platform::TcpStream::Connect("127.0.0.1", listener->Port());
        RecordsFor(*stream, SummaryNaming(keys));
    }
    serving.join();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("dropped: the summary does not fit the memory budget"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("segments sent"), std::string::npos) << lines[1];
    EXPECT_EQ(server.MemoryInUse(), 0u);
}

TEST_F(RepairServerTest, FaultsEndTheSessionEarly) {
    RepairServerOptions cut;
    cut.cutAfter = 2;
    const auto lines = Serve(cut);
    EXPECT_EQ(announced, 6u);
    EXPECT_EQ(received, 2u);
    EXPECT_NE(lines[0].find("cut by request after 2 of 6 records"), std::string::npos);

    RepairServerOptions handshake;
    handshake.handshakeAnswer = 7;
    Serve(handshake);
    EXPECT_EQ(answers, std::vector<std::uint32_t>{7});
}

TEST_F(RepairServerTest, ManyClientsAtOnceAreAllRepaired) {
    const int kClients = 8;
    RepairServerOptions options;
    options.compress = false;
    Serve(options, kClients);
    ExpectRepaired("client");
    for (int i = 1; i < kClients; ++i) {
        ExpectRepaired("client" + std::to_string(i));
    }
}

TEST_F(RepairServerTest, GarbageFromAClientIsDropped) {
    RepairServerOptions options;
    options.root = W("ref");
    options.timeoutMs = 2000;
    RepairServer server(options);
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
    std::string line;
    std::thread serving([&] {
        auto stream = listener->Accept();
        line = server.Serve(*stream);
    });
    auto stream = Platform::TcpStream::Connect("127.0.0.1", listener->Port());
    const char hello[4] = {6, 0, 0, 0};
    stream->WriteAll(hello, 4);
    char answer[4];
    ASSERT_TRUE(stream->ReadAll(answer, 4));
    stream->WriteAll("not a summary at all", 20);
    stream->ShutdownWrite();
    serving.join();
    EXPECT_NE(line.find("dropped: summary refused (BEXORESULT_BAD_DATA)"), std::string::npos)
        << line;
}

}  // namespace

// Sessions use the reference of the last scan, not of the moment they start; a segment
// that changed since is sent with the checksum of the bytes sent, never the scan's.
TEST_F(RepairServerTest, SessionsUseTheLastScanAndNoSegmentIsTorn) {
    RepairServerOptions options;
    options.root = W("ref");
    options.compress = false;
    RepairServer server(options);
    server.ScanReference();
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
    const auto session = [&] {
        std::thread serving([&] {
            auto stream = listener->Accept();
            server.Serve(*stream);
        });
        auto stream = Platform::TcpStream::Connect("127.0.0.1", listener->Port());
        StreamClient client(W("client"), stream.get());
        client.Run();
        stream.reset();  // the server waits for the client's end
        serving.join();
        return client.problems;
    };
    std::string changed = Get("ref/a.bin");
    changed[3] ^= 2;
    changed[kSeg + 3] ^= 2;
    Put("ref/a.bin", changed);
    fs::last_write_time(m_dir / "ref/a.bin",
                        fs::last_write_time(m_dir / "ref/a.bin") + std::chrono::seconds(10));

    // The client's damaged second segment is sent as it is now; its first segment is
    // the scan's, so it stays.
    EXPECT_TRUE(session().empty());
    std::string held = Get("client/a.bin");
    EXPECT_EQ(held.substr(kSeg, kSeg), changed.substr(kSeg, kSeg));
    EXPECT_NE(held.substr(0, kSeg), changed.substr(0, kSeg));

    EXPECT_NE(server.ScanReference().find("reference scanned: 4 files"), std::string::npos);
    EXPECT_TRUE(session().empty());
    EXPECT_EQ(Get("client/a.bin"), changed);
}
