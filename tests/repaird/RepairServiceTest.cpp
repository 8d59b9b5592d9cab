// The repair service as operators run it: many connections, slow and stalled peers, and
// a process short of descriptors.
#include "RepairService.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "TestFiles.h"
#include "kernel/LittleEndian.h"
#include "platform/FileLimit.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "repair/FileTreeSummary.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A run of the service on a free port, with its log lines kept.
class Running {
public:
    Running(RepairServer* server, RepairServiceOptions options,
            const std::string& address = "127.0.0.1")
        : m_listener(Platform::TcpListener::Listen(address, 0)),
          m_service(server, options,
                    [this](const std::string& line) {
                        std::lock_guard<std::mutex> lock(m_lock);
                        m_lines.push_back(line);
                        m_logged.notify_all();
                    }),
          m_thread([this] { m_service.Run(m_listener.get()); }) {}
    ~Running() {
        m_service.Stop();
        m_thread.join();
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    std::uint16_t Port() const { return m_listener->Port(); }
    // Waits until `count` lines containing `text` were logged; false after a long while.
    bool WaitFor(const std::string& text, std::size_t count = 1) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_logged.wait_for(lock, 60s, [&] { return Count(text) >= count; });
    }
    std::size_t Count(const std::string& text) const {
        return static_cast<std::size_t>(std::count_if(
            m_lines.begin(), m_lines.end(),
            [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_lines;
    }

private:
    std::unique_ptr<Platform::TcpListener> m_listener;
    std::mutex m_lock;
    std::condition_variable m_logged;
    std::vector<std::string> m_lines;
    RepairService m_service;
    std::thread m_thread;
};

// A client that does the whole exchange: handshake, an empty summary, every record.
// True when it read all it was announced.
bool RepairFromEmpty(std::uint16_t port, std::size_t* records,
                     const std::string& host = "127.0.0.1") {
    auto stream = Platform::TcpStream::Connect(host, port);
    if (!stream) {
        return false;
    }
    std::vector<std::uint8_t> out;
    AppendLittleEndian<std::uint32_t>(out, 6);
    AppendLittleEndian<std::uint32_t>(out, kSummaryMagic);
    AppendLittleEndian<std::uint32_t>(out, 0);
    std::uint8_t word[4];
    if (!stream->WriteAll(out.data(), out.size()) || !stream->ReadAll(word, 4) ||
        !stream->ReadAll(word, 4)) {
        return false;
    }
    const std::uint32_t count = word[0] | (word[1] << 8);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t head[5];
        std::uint8_t tail[8];
        if (!stream->ReadAll(head, 5)) {
            return false;
        }
        std::vector<std::uint8_t> key(2 * static_cast<std::size_t>(head[1] | (head[2] << 8)));
        if (!stream->ReadAll(key.data(), key.size()) || !stream->ReadAll(tail, 8)) {
            return false;
        }
        std::vector<std::uint8_t> bytes(tail[4] | (tail[5] << 8) | (tail[6] << 16));
        if (!stream->ReadAll(bytes.data(), bytes.size())) {
            return false;
        }
    }
    *records = count;
    return true;
}

class RepairServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-repairservice-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        BexoPatch::testing::WriteFile(m_dir / "ref/a.bin", std::string(100000, 'a'));
        BexoPatch::testing::WriteFile(m_dir / "ref/b/c.txt", "c");
        m_options.root = Platform::FromSystemPath((m_dir / "ref").string());
        m_options.compress = false;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path m_dir;
    RepairServerOptions m_options;
};

// Peers that trickle a byte now and then hold a place each; they are cut, by the rate
// they fall below or by the session's length, and a real client is then served in the
// place they held.
TEST_F(RepairServiceTest, TricklingClientsAreCutAndARealClientIsServed) {
    const struct {
        const char* name;
        std::uint32_t sessionMs;
        std::uint64_t minBytesPerSecond;
        std::uint32_t windowMs;
        const char* cut;
    } cases[] = {
        {"rate", 3600000, 1000, 300, "below 1000 bytes/s"},
        {"deadline", 600, 0, 300, "longer than the session limit of 600 ms"},
        // As operators run it: the rate is measured over seconds, not over the time-out.
        {"default rate", 3600000, 1024, RepairServiceOptions().windowMs, "below 1024 bytes/s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_options.timeoutMs = 30000;  // each byte comes well within the time-out
        RepairServer server(m_options);
        RepairServiceOptions options;
        options.maxClients = 2;
        options.sessionMs = c.sessionMs;
        options.minBytesPerSecond = c.minBytesPerSecond;
        options.windowMs = c.windowMs;
        auto running = std::make_unique<Running>(&server, options);

        std::mutex lock;
        std::condition_variable changed;
        int answered = 0;
        bool done = false;
        std::vector<std::thread> slow;
        for (int i = 0; i < 2; ++i) {
            slow.emplace_back([&, port = running->Port()] {
                auto stream = Platform::TcpStream::Connect("127.0.0.1", port);
                // The handshake, then a summary of one long key, a byte at a time.
                std::vector<std::uint8_t> bytes;
                AppendLittleEndian<std::uint32_t>(bytes, 6);
                AppendLittleEndian<std::uint32_t>(bytes, kSummaryMagic);
                AppendLittleEndian<std::uint32_t>(bytes, 1);
                AppendLittleEndian<std::uint32_t>(bytes, 30000);
                bool sent = true;
                for (std::size_t at = 0; sent && at < 4; ++at) {
                    sent = stream->WriteAll(&bytes[at], 1);
                }
                std::uint8_t answer[4];
                if (!sent || !stream->ReadAll(answer, 4)) {
                    return;
                }
                {
                    std::lock_guard<std::mutex> guard(lock);
                    ++answered;
                }
                changed.notify_all();
                // One byte every 20 ms, until the server ends the connection.
                std::unique_lock<std::mutex> guard(lock);
                std::size_t at = 4;
                while (!changed.wait_for(guard, 20ms, [&] { return done; })) {
                    guard.unlock();
                    const std::uint8_t next = at < bytes.size() ? bytes[at] : 0;
                    ++at;
                    const bool ok = stream->WriteAll(&next, 1);
                    guard.lock();
                    if (!ok) {
                        break;
                    }
                }
            });
        }
        {
            std::unique_lock<std::mutex> guard(lock);
            ASSERT_TRUE(changed.wait_for(guard, 60s, [&] { return answered == 2; }));
        }
        std::size_t records = 0;
        EXPECT_TRUE(RepairFromEmpty(running->Port(), &records));
        EXPECT_EQ(records, 2u);
        EXPECT_TRUE(running->WaitFor("2 segments sent"));
        EXPECT_TRUE(running->WaitFor(c.cut, 2));
        for (const std::string& line : running->Lines()) {
            if (line.find("segments sent") != std::string::npos) {
                EXPECT_EQ(line.find("(cut:"), std::string::npos) << line;
            }
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            done = true;
        }
        changed.notify_all();
        for (auto& t : slow) {
            t.join();
        }
    }
}

// Out of descriptors, the service stops accepting for a moment and goes on: the
// connections it could not take are served once others end.
TEST_F(RepairServiceTest, RunningOutOfDescriptorsPausesAcceptingAndGoesOn) {
    const std::uint64_t before = Platform::RaiseOpenFileLimit();
    ASSERT_GT(before, 64u);
    RepairServer server(m_options);
    RepairServiceOptions options;
    options.maxClients = 1000;
    options.acceptPauseMs = 20;
    Running running(&server, options);
    // One whole session first. The sanitizers' checks of a type they meet the first time
    // need descriptors of their own (out of them, they report a false error), so the
    // service's threads and types must be met before descriptors run out.
    std::size_t records = 0;
    ASSERT_TRUE(RepairFromEmpty(running.Port(), &records));
    ASSERT_TRUE(running.WaitFor("2 segments sent"));
    ASSERT_TRUE(Platform::SetOpenFileLimitForTests(64));
    // Idle connections until this process, client and server together, runs out.
    std::vector<std::unique_ptr<Platform::TcpStream>> idle;
    while (idle.size() < 1000) {
        auto stream = Platform::TcpStream::Connect("127.0.0.1", running.Port());
        if (!stream) {
            break;
        }
        idle.push_back(std::move(stream));
    }
    EXPECT_GT(idle.size(), 1u);
    EXPECT_TRUE(running.WaitFor("accept failed"));
    idle.clear();
    records = 0;
    EXPECT_TRUE(RepairFromEmpty(running.Port(), &records));
    EXPECT_EQ(records, 2u);
    EXPECT_TRUE(running.WaitFor("accepting again"));
    EXPECT_TRUE(running.WaitFor("2 segments sent", 2));
    EXPECT_TRUE(Platform::SetOpenFileLimitForTests(before));
}

}  // namespace

// On a listener of every address, IPv6 and IPv4 alike: only the allowed networks' clients
// are served, the others are closed at once with a line that names them.
TEST_F(RepairServiceTest, ServesIPv6AndOnlyTheAllowedNetworks) {
    if (!Platform::TcpListener::Listen("::1", 0)) {
        GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    }
    RepairServer server(m_options);
    RepairServiceOptions options;
    std::string error;
    ASSERT_TRUE(options.allow.Add("::1", &error) && options.allow.Add("10.0.0.0/8", &error));
    Running running(&server, options, "::");
    std::size_t records = 0;
    EXPECT_TRUE(RepairFromEmpty(running.Port(), &records, "::1"));
    EXPECT_EQ(records, 2u);
    ASSERT_TRUE(running.WaitFor("[::1]:"));
    EXPECT_FALSE(RepairFromEmpty(running.Port(), &records, "127.0.0.1"));
    ASSERT_TRUE(running.WaitFor("refused: not in any --allow network"));
    const std::vector<std::string> lines = running.Lines();
    EXPECT_EQ(lines.back().rfind("127.0.0.1:", 0), 0u) << lines.back();
}
