// The repair flow of a session, run as a session thread against the reference repair
// server over TCP on 127.0.0.1, and the repair server setting.
#include <gtest/gtest.h>
#include <wx/init.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RepairServer.h"
#include "SessionTestSupport.h"
#include "SocketBuffer.h"
#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchingMarker.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "platform/TcpStream.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairClient.h"
#include "repair/SegmentChecksum.h"
#include "repair/buffer/BexoDataBuffer.h"
#include "session/PatchThread.h"
#include "session/RepairServerSetting.h"
#include "session/SessionServices.h"
#include "session/SessionWindow.h"

using namespace BexoPatch;
namespace fs = std::filesystem;
using BexoPatch::testing::ReadFile;
using BexoPatch::testing::WriteFile;

namespace {

const auto* const g_wx = ::testing::AddGlobalTestEnvironment(new BexoPatch::testing::WxEnvironment);

using Line = std::pair<std::int32_t, std::wstring>;

std::mutex g_lock;
std::condition_variable g_logged;
std::vector<Line> g_lines;
bool g_receiving = false;

void CaptureLog(std::int32_t level, const std::wstring& text) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.emplace_back(level, text);
    if (text == L"Receiving updated files.") {
        g_receiving = true;
        g_logged.notify_all();
    }
}

using GaugeWindow = BexoPatch::testing::RecordingWindow;

bool Free(const std::wstring& /*installPath*/) {
    return true;
}
void Release() {}

// The reference server on a free port of 127.0.0.1, serving every connection until it
// is destroyed.
class Server {
public:
    explicit Server(RepairServerOptions options)
        : m_server(std::move(options)), m_listener(Platform::TcpListener::Listen("127.0.0.1", 0)) {
        m_thread = std::thread([this] {
            while (auto stream = m_listener->Accept()) {
                m_server.Serve(*stream);
            }
        });
    }
    ~Server() {
        m_listener->Close();
        m_thread.join();
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    std::uint16_t Port() const { return m_listener->Port(); }

private:
    RepairServer m_server;
    std::unique_ptr<Platform::TcpListener> m_listener;
    std::thread m_thread;
};

// A misbehaving repair server: every connection runs the script on the listener's thread.
class ScriptedServer {
public:
    using Script = std::function<void(Platform::TcpStream&)>;
    explicit ScriptedServer(Script script, int backlog = 64)
        : m_listener(Platform::TcpListener::Listen("127.0.0.1", 0, backlog)) {
        if (!script) {
            return;  // listens, never accepts
        }
        m_thread = std::thread([this, script = std::move(script)] {
            while (auto stream = m_listener->Accept()) {
                script(*stream);
            }
        });
    }
    ~ScriptedServer() {
        m_listener->Close();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;
    std::uint16_t Port() const { return m_listener->Port(); }

private:
    std::unique_ptr<Platform::TcpListener> m_listener;
    std::thread m_thread;
};

void Put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>(v >> (8 * i));
    }
}

std::uint32_t Crc(const std::string& bytes) {
    const std::uint32_t c = SegmentCrc(0, bytes.data(), bytes.size());
    return c == 0 ? 1 : c;
}

std::string Record(bool compressed, const std::wstring& key, std::uint32_t checksum,
                   const std::string& payload) {
    std::string r(1, compressed ? '\1' : '\0');
    const std::u16string units = ToUtf16(key);
    Put32(r, static_cast<std::uint32_t>(units.size()));
    for (const char16_t u : units) {
        r += static_cast<char>(u & 0xFF);
        r += static_cast<char>(u >> 8);
    }
    Put32(r, checksum);
    Put32(r, static_cast<std::uint32_t>(payload.size()));
    return r + payload;
}

std::string Plain(const std::wstring& key, const std::string& bytes) {
    return Record(false, key, Crc(bytes), bytes);
}

std::string Count(std::uint32_t n) {
    std::string out;
    Put32(out, n);
    return out;
}

void Send(Platform::TcpStream& stream, const std::string& bytes) {
    stream.WriteAll(bytes.data(), bytes.size());
}

// Reads until the client goes away.
void Silent(Platform::TcpStream& stream) {
    char drain[256];
    while (stream.ReadSome(drain, sizeof drain) > 0) {
    }
}

// Ends the stream in order, then waits for the client to go away.
void Hangup(Platform::TcpStream& stream) {
    stream.ShutdownWrite();
    Silent(stream);
}

// The handshake and the client's summary, as a sound server takes them.
void Greet(Platform::TcpStream& stream) {
    std::uint8_t hello[4];
    ASSERT_TRUE(stream.ReadAll(hello, 4));
    Send(stream, Count(6));
}

void GreetAndTakeSummary(Platform::TcpStream& stream) {
    Greet(stream);
    SocketBuffer connection(&stream, 64u << 20);
    FileTreeSummary summary;
    EXPECT_EQ(summary.Load(&connection), BEXORESULT_OK);
}

const wchar_t kProductKey[] = L"SOFTWARE\\Osmel\\Products\\KelvorSimulator";

// The product key with the "IsPatching" marker, as a step that failed half-way leaves it.
void LeaveMarker() {
    Platform::HKEY key = nullptr;
    ASSERT_EQ(Platform::RegCreateKeyEx(Platform::LocalMachineKey(), kProductKey,
                                       Platform::KEY_WRITE, &key),
              0);
    Platform::RegCloseKey(key);
    ASSERT_TRUE(SetPatchingMarker());
}

bool MarkerPresent() {
    Platform::HKEY key = nullptr;
    if (Platform::RegOpenKeyEx(Platform::LocalMachineKey(), kProductKey, Platform::KEY_QUERY_VALUE,
                               &key) != 0) {
        return false;
    }
    Platform::DWORD type = 0;
    Platform::DWORD size = 0;
    const bool present = Platform::RegQueryValueEx(key, L"IsPatching", &type, nullptr, &size) == 0;
    Platform::RegCloseKey(key);
    return present;
}

class RepairSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-repairsession-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "client");
        Platform::SetEnvironmentVariable("OSMEL_REGISTRY",
                                         (m_dir / "registry.reg").string().c_str());
        SetPatchCallbacks(nullptr, ContinueQuery, CaptureLog);
        ResetSessionServices();
        GetSessionServices().acquireAssetDatabase = Free;
        GetSessionServices().releaseAssetDatabase = Release;
        PatchSettings::Instance().Reset();
        PatchSettings::Instance().SetRepairMode(true);
        PatchSettings::Instance().SetInstallPath(W("client"));
    }
    void TearDown() override {
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        ResetSessionServices();
        PatchSettings::Instance().Reset();
        Platform::SetEnvironmentVariable("OSMEL_REPAIR_SERVER", nullptr);
        Platform::SetEnvironmentVariable("OSMEL_REGISTRY", nullptr);
        fs::remove_all(m_dir);
    }
    std::wstring W(const char* rel) const {
        return Platform::FromSystemPath((m_dir / rel).string());
    }
    RepairServerOptions Reference() const {
        RepairServerOptions options;
        options.root = W("ref");
        return options;
    }

    // Runs one session against 127.0.0.1:port; returns the window log's lines.
    std::vector<Line> RunSessionAgainst(std::uint16_t port, GaugeWindow& window,
                                        bool cancelWhenReceiving = false) {
        Platform::SetEnvironmentVariable("OSMEL_REPAIR_SERVER",
                                         ("127.0.0.1:" + std::to_string(port)).c_str());
        {
            std::lock_guard<std::mutex> hold(g_lock);
            g_lines.clear();
            g_receiving = false;
        }
        PatchThread thread(&window);
        EXPECT_EQ(thread.Create(), wxTHREAD_NO_ERROR);
        EXPECT_EQ(thread.Run(), wxTHREAD_NO_ERROR);
        if (cancelWhenReceiving) {
            std::unique_lock<std::mutex> hold(g_lock);
            g_logged.wait(hold, [] { return g_receiving; });
            window.cancel = true;
        }
        thread.Wait(wxTHREAD_WAIT_BLOCK);
        std::lock_guard<std::mutex> hold(g_lock);
        return g_lines;
    }

    // The keys registered in the client's checksum file.
    FileTreeSummary::EntryMap ChecksumFile() const {
        FileTreeSummary summary;
        BexoDataBufferFile file(W("client/repair.cks"), BexoDataBufferFile::kModeRead);
        EXPECT_TRUE(file.IsOpen());
        summary.Load(&file);
        return summary.Entries();
    }

    fs::path m_dir;
};

const Line kScanning{LOG_NORMAL, L"Scanning installed files. This may take a while."};
const Line kConnecting{LOG_NORMAL, L"Connecting to patch servers."};
const Line kPreparing{LOG_NORMAL, L"Preparing download list."};
const Line kReceiving{LOG_NORMAL, L"Receiving updated files."};
const Line kCompleted{LOG_NORMAL, L"Patching completed."};
const Line kAborted{LOG_NORMAL, L"Patching aborted."};
const Line kNoConnection{LOG_ERROR, L"Unable to connect to patch servers."};

// The whole log of a session that received its segments: `counts` is the
// "(n / m segments updated.)" line.
std::vector<Line> Repaired(const wchar_t* counts) {
    return {kScanning, kConnecting, kPreparing, kReceiving, {LOG_NORMAL, counts}, kCompleted};
}

// The whole log of a session that never got through to the server.
std::vector<Line> NotConnected(const wchar_t* stageError) {
    return {kScanning, kConnecting, kNoConnection, {LOG_NORMAL, stageError}, kAborted};
}

TEST_F(RepairSessionTest, RepairsTheInstallationAndFillsTheGauge) {
    WriteFile(m_dir / "ref/bin/tool.dll", std::string((4 << 20) + 5, 't'));
    WriteFile(m_dir / "ref/data/a.txt", "reference");
    WriteFile(m_dir / "client/data/a.txt", "damaged!!");
    WriteFile(m_dir / "client/unins000.exe", "per machine");
    Server server(Reference());
    LeaveMarker();

    GaugeWindow window;
    const std::vector<Line> lines = RunSessionAgainst(server.Port(), window);
    EXPECT_FALSE(MarkerPresent()) << "a repaired installation is no longer half-patched";
    EXPECT_EQ(lines, Repaired(L"(3 / 3 segments updated.)"));
    EXPECT_EQ(window.ranges, std::vector<std::int32_t>{1000});
    ASSERT_FALSE(window.values.empty());
    EXPECT_EQ(window.values.back(), 1000);
    EXPECT_EQ(ReadFile(m_dir / "client/bin/tool.dll"), ReadFile(m_dir / "ref/bin/tool.dll"));
    EXPECT_EQ(ReadFile(m_dir / "client/data/a.txt"), "reference");
    const auto entries = ChecksumFile();
    EXPECT_EQ(entries.count(L"bin\\tool.dll#001"), 1u);
    EXPECT_EQ(entries.count(L"unins000.exe#000"), 0u) << "never uploaded";

    // Nothing is left to do: the server announces no segment and the session succeeds.
    GaugeWindow again;
    EXPECT_EQ(RunSessionAgainst(server.Port(), again), Repaired(L"(0 / 0 segments updated.)"));
    EXPECT_EQ(again.values.back(), 1000);
}

TEST_F(RepairSessionTest, ConnectionFailuresEndInStageThree) {
    WriteFile(m_dir / "ref/a.txt", "reference");
    RepairServerOptions handshake = Reference();
    handshake.handshakeAnswer = 7;
    {
        Server server(handshake);
        GaugeWindow window;
        EXPECT_EQ(RunSessionAgainst(server.Port(), window), NotConnected(L"(Error 10 in stage 3)"));
        EXPECT_TRUE(window.values.empty()) << "the gauge moves only while receiving";
    }

    std::uint16_t closed = 0;
    {
        auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
        closed = listener->Port();
    }
    GaugeWindow window;
    EXPECT_EQ(RunSessionAgainst(closed, window), NotConnected(L"(Error 12 in stage 3)"));
}

// 100 one-segment files: the server cuts the connection after 40 records. The 40 are
// written and registered, and a second session repairs only the other 60.
TEST_F(RepairSessionTest, ALostConnectionKeepsWhatArrivedAndASecondSessionFinishes) {
    for (int i = 0; i < 100; ++i) {
        WriteFile(m_dir / "ref" / ("f" + std::to_string(100 + i)), "segment " + std::to_string(i));
    }
    LeaveMarker();
    {
        RepairServerOptions cut = Reference();
        cut.cutAfter = 40;
        Server server(cut);
        GaugeWindow window;
        EXPECT_EQ(RunSessionAgainst(server.Port(), window),
                  (std::vector<Line>{kScanning,
                                     kConnecting,
                                     kPreparing,
                                     kReceiving,
                                     {LOG_NORMAL, L"(40 / 100 segments updated.)"},
                                     {LOG_ERROR, L"Error occurred while repairing files."},
                                     {LOG_NORMAL, L"(Error 3 in stage 5)"},
                                     kAborted}));
    }
    int written = 0;
    for (int i = 0; i < 100; ++i) {
        const fs::path file = m_dir / "client" / ("f" + std::to_string(100 + i));
        if (fs::exists(file)) {
            ++written;
            EXPECT_EQ(ReadFile(file), "segment " + std::to_string(i));
        }
    }
    EXPECT_EQ(written, 40);
    EXPECT_EQ(ChecksumFile().size(), 40u);
    EXPECT_TRUE(MarkerPresent()) << "an unfinished repair keeps the marker";

    Server server(Reference());
    GaugeWindow window;
    EXPECT_EQ(RunSessionAgainst(server.Port(), window), Repaired(L"(60 / 60 segments updated.)"));
    EXPECT_EQ(ChecksumFile().size(), 100u);
    EXPECT_FALSE(MarkerPresent());
}

TEST_F(RepairSessionTest, ACancelWhileReceivingEndsWithoutTheStageError) {
    for (int i = 0; i < 20; ++i) {
        WriteFile(m_dir / "ref" / ("f" + std::to_string(100 + i)), "segment");
    }
    RepairServerOptions slow = Reference();
    slow.recordDelayMs = 300;
    Server server(slow);
    GaugeWindow window;
    const std::vector<Line> lines = RunSessionAgainst(server.Port(), window, true);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3], kReceiving);
    EXPECT_EQ(lines[4].first, LOG_NORMAL);
    EXPECT_NE(lines[4].second.find(L" / 20 segments updated.)"), std::wstring::npos)
        << ToNarrow(lines[4].second);
    EXPECT_EQ(lines[5], Line(LOG_NORMAL, L"Patching cancelled."));
    // What arrived before the stop is written and registered.
    std::size_t written = 0;
    for (const auto& entry : fs::directory_iterator(m_dir / "client")) {
        written += entry.path().filename().string()[0] == 'f' ? 1 : 0;
    }
    EXPECT_EQ(ChecksumFile().size(), written);
    EXPECT_LT(written, 20u);
}

const Line kRepairError{LOG_ERROR, L"Error occurred while repairing files."};

// What each misbehaving server must lead to: the window's lines, the marker, the files
// and the checksum file. Every row starts from a client holding keep.txt ("kept") with
// the marker set, and the time limits at one second.
TEST_F(RepairSessionTest, HostileServersEndTheSessionWithWhatHappened) {
    const std::wstring client = W("client");
    const auto error = [](const std::wstring& text) { return Line{LOG_ERROR, text}; };
    const auto normal = [](const wchar_t* text) { return Line{LOG_NORMAL, text}; };
    // A session that failed while receiving: the counts, the problem and the code.
    const auto failedReceiving = [&](const wchar_t* counts, const std::wstring& problem,
                                     const wchar_t* code) {
        return std::vector<Line>{kScanning,    kConnecting,    kPreparing,
                                 kReceiving,   normal(counts), error(problem),
                                 kRepairError, normal(code),   kAborted};
    };
    const std::wstring keep = JoinPath(client, L"keep.txt");

    struct Row {
        const char* name;
        std::function<void()> prepare;  // more client and reference files
        ScriptedServer::Script script;  // null: the reference server
        std::vector<Line> lines;
        bool markerStays;
        std::map<std::wstring, std::uint32_t> checksums;  // the checksum file, exactly
        std::function<void()> checkFiles;
        int backlog = 64;
        bool neverAccept = false;
    };
    const std::map<std::wstring, std::uint32_t> untouched{{L"keep.txt#000", Crc("kept")}};
    const auto keptAsItWas = [this] { EXPECT_EQ(ReadFile(m_dir / "client/keep.txt"), "kept"); };
    const Row rows[] = {
        {"a record that targets a directory",
         [this] { fs::create_directories(m_dir / "client/target"); },
         [](Platform::TcpStream& s) {
             GreetAndTakeSummary(s);
             Send(s, Count(1) + Plain(L"target#000", "data"));
             Hangup(s);
         },
         failedReceiving(L"(0 / 1 segments updated.)",
                         FillFields(LoadMessage(266), {JoinPath(client, L"target")}),
                         L"(Error 2 in stage 5)"),
         true, untouched, [this] { EXPECT_TRUE(fs::is_directory(m_dir / "client/target")); }},
        {"a compressed record that does not decompress", nullptr,
         [](Platform::TcpStream& s) {
             GreetAndTakeSummary(s);
             std::string container = Count(1) + Count(8) + Count(3) + std::string(8, '\xFF');
             Send(s, Count(1) + Record(true, L"keep.txt#000", Crc("new"), container));
             Hangup(s);
         },
         failedReceiving(L"(0 / 1 segments updated.)", FillFields(LoadMessage(267), {keep}),
                         L"(Error 10 in stage 5)"),
         true, untouched, keptAsItWas},
        {"a record whose bytes fail its checksum", nullptr,
         [](Platform::TcpStream& s) {
             GreetAndTakeSummary(s);
             Send(s, Count(1) + Record(false, L"keep.txt#000", Crc("other"), "new"));
             Hangup(s);
         },
         failedReceiving(L"(0 / 1 segments updated.)", FillFields(LoadMessage(267), {keep}),
                         L"(Error 10 in stage 5)"),
         true, untouched, keptAsItWas},
        {"four bytes for segment 1000", nullptr,
         [](Platform::TcpStream& s) {
             GreetAndTakeSummary(s);
             Send(s, Count(1) + Plain(L"huge.bin#1000", "huge"));
             Hangup(s);
         },
         failedReceiving(L"(0 / 1 segments updated.)",
                         FillFields(LoadMessage(268), {JoinPath(client, L"huge.bin")}),
                         L"(Error 10 in stage 5)"),
         true, untouched, [this] { EXPECT_FALSE(fs::exists(m_dir / "client/huge.bin")); }},
        {"a record for a key the client never had",
         nullptr,
         [](Platform::TcpStream& s) {
             GreetAndTakeSummary(s);
             Send(s, Count(1) + Plain(L"new\\file.txt#000", "fresh"));
             Hangup(s);
         },
         Repaired(L"(1 / 1 segments updated.)"),
         false,
         {{L"keep.txt#000", Crc("kept")}, {L"new\\file.txt#000", Crc("fresh")}},
         [this] { EXPECT_EQ(ReadFile(m_dir / "client/new/file.txt"), "fresh"); }},
        {"a count larger than the records sent",
         nullptr,
         [](Platform::TcpStream& s) {
             GreetAndTakeSummary(s);
             Send(s, Count(3) + Plain(L"keep.txt#000", "mended"));
             Hangup(s);
         },
         {kScanning, kConnecting, kPreparing, kReceiving, normal(L"(1 / 3 segments updated.)"),
          kRepairError, normal(L"(Error 3 in stage 5)"), kAborted},
         true,
         {{L"keep.txt#000", Crc("mended")}},
         [this] { EXPECT_EQ(ReadFile(m_dir / "client/keep.txt"), "mended"); }},
        {"a server whose backlog is full",
         nullptr,
         nullptr,
         {kScanning, kConnecting, error(FillFields(LoadMessage(262), {L"1"})), kNoConnection,
          normal(L"(Error 15 in stage 3)"), kAborted},
         true,
         untouched,
         keptAsItWas,
         0,
         true},
        {"accepts and never answers",
         nullptr,
         Silent,
         {kScanning, kConnecting, error(FillFields(LoadMessage(263), {L"1"})), kNoConnection,
          normal(L"(Error 15 in stage 3)"), kAborted},
         true,
         untouched,
         keptAsItWas},
        {"closes after the handshake",
         nullptr,
         [](Platform::TcpStream& s) {
             Greet(s);
             Hangup(s);
         },
         {kScanning, kConnecting, kPreparing, kNoConnection, normal(L"(Error 13 in stage 4)"),
          kAborted},
         true,
         untouched,
         keptAsItWas},
        {"takes the summary and never answers",
         nullptr,
         [](Platform::TcpStream& s) {
             Greet(s);
             Silent(s);
         },
         {kScanning, kConnecting, kPreparing, error(FillFields(LoadMessage(264), {L"1"})),
          kNoConnection, normal(L"(Error 15 in stage 4)"), kAborted},
         true,
         untouched,
         keptAsItWas},
        {"falls silent mid-transfer",
         nullptr,
         [](Platform::TcpStream& s) {
             GreetAndTakeSummary(s);
             Send(s, Count(2) + Plain(L"keep.txt#000", "mended"));
             Silent(s);
         },
         failedReceiving(L"(1 / 2 segments updated.)", FillFields(LoadMessage(265), {L"1"}),
                         L"(Error 15 in stage 5)"),
         true,
         {{L"keep.txt#000", Crc("mended")}},
         [this] { EXPECT_EQ(ReadFile(m_dir / "client/keep.txt"), "mended"); }},
        {"trickles a byte at a time", nullptr,
         [](Platform::TcpStream& s) {
             GreetAndTakeSummary(s);
             const std::string bytes = Count(1) + Plain(L"keep.txt#000", "mended");
             for (const char c : bytes) {
                 if (!s.WriteAll(&c, 1)) {
                     break;
                 }
                 std::this_thread::sleep_for(std::chrono::milliseconds(150));
             }
             Silent(s);
         },
         failedReceiving(L"(0 / 1 segments updated.)", FillFields(LoadMessage(265), {L"1"}),
                         L"(Error 15 in stage 5)"),
         true, untouched, keptAsItWas},
        {"the reference server, whose file is empty",
         [this] {
             WriteFile(m_dir / "ref/empty.txt", "");
             WriteFile(m_dir / "client/empty.txt", "content the reference no longer has");
         },
         nullptr, Repaired(L"(1 / 1 segments updated.)"), false, untouched,
         [this] {
             EXPECT_TRUE(fs::exists(m_dir / "client/empty.txt"));
             EXPECT_EQ(fs::file_size(m_dir / "client/empty.txt"), 0u);
         }},
    };

    RepairTimeLimits limits;
    limits.connectMs = limits.handshakeMs = limits.uploadMs = limits.receiveMs = 1000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        SetRepairTimeLimits(limits);
        WriteFile(m_dir / "ref/keep.txt", "kept");
        WriteFile(m_dir / "client/keep.txt", "kept");
        if (row.prepare) {
            row.prepare();
        }
        LeaveMarker();
        GaugeWindow window;
        std::vector<Line> lines;
        if (row.script || row.neverAccept) {
            ScriptedServer server(row.script, row.backlog);
            // The one connection a full backlog still queues.
            const auto filler = row.neverAccept
                                    ? Platform::TcpStream::Connect("127.0.0.1", server.Port())
                                    : nullptr;
            lines = RunSessionAgainst(server.Port(), window);
        } else {
            Server server(Reference());
            lines = RunSessionAgainst(server.Port(), window);
        }
        SetRepairTimeLimits(RepairTimeLimits{});
        EXPECT_EQ(lines, row.lines);
        EXPECT_EQ(MarkerPresent(), row.markerStays);
        std::map<std::wstring, std::uint32_t> checksums;
        for (const auto& [key, entry] : ChecksumFile()) {
            checksums[key] = entry.checksum;
        }
        EXPECT_EQ(checksums, row.checksums);
        row.checkFiles();
    }
}

TEST(RepairServerSettingTest, ParsesHostAndPortStrictly) {
    struct Case {
        const wchar_t* text;
        const char* host;  // null: refused
        std::uint16_t port;
    };
    const std::string longLabel(64, 'a');
    const std::wstring longLabelText = L"x." + std::wstring(longLabel.begin(), longLabel.end());
    const Case cases[] = {
        {L"repair.example.com", "repair.example.com", 6000},
        {L"repair.example.com:7000", "repair.example.com", 7000},
        {L"127.0.0.1:65535", "127.0.0.1", 65535},
        {L"h-1:1", "h-1", 1},
        {L"", nullptr, 0},
        {L":6000", nullptr, 0},
        {L"host:", nullptr, 0},
        {L"host:0", nullptr, 0},
        {L"host:65536", nullptr, 0},
        {L"host:123456", nullptr, 0},
        {L"host:12a", nullptr, 0},
        {L"host:+12", nullptr, 0},
        {L"host: 12", nullptr, 0},
        {L"host:1:2", nullptr, 0},
        {L"[::1]:6000", nullptr, 0},
        {L"a..b", nullptr, 0},
        {L".a", nullptr, 0},
        {L"a.", nullptr, 0},
        {L"ho st", nullptr, 0},
        {L"h\x00E9st", nullptr, 0},
        {longLabelText.c_str(), nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToNarrow(c.text));
        RepairServerAddress address;
        std::wstring problem;
        const bool parsed = ParseRepairServer(c.text, &address, &problem);
        EXPECT_EQ(parsed, c.host != nullptr);
        if (parsed) {
            EXPECT_EQ(address.host, c.host);
            EXPECT_EQ(address.port, c.port);
        } else {
            EXPECT_FALSE(problem.empty());
        }
    }
}

TEST(RepairServerSettingTest, TheEnvironmentWinsOverTheRegistryOverTheDefault) {
    const fs::path store =
        fs::temp_directory_path() /
        ("osmel-repairsetting-" + std::to_string(Platform::GetCurrentProcessId()) + ".reg");
    fs::remove(store);
    Platform::SetEnvironmentVariable("OSMEL_REGISTRY", store.string().c_str());
    Platform::SetEnvironmentVariable("OSMEL_REPAIR_SERVER", nullptr);
    const auto read = [](std::vector<std::wstring>* problems) {
        const RepairServerAddress address = ReadRepairServerSetting(problems);
        return address.host + ":" + std::to_string(address.port);
    };
    const auto setRegistry = [](const std::wstring& text) {
        Platform::HKEY key = nullptr;
        ASSERT_EQ(Platform::RegCreateKeyEx(Platform::LocalMachineKey(),
                                           L"SOFTWARE\\Osmel\\Products\\KelvorSimulator",
                                           Platform::KEY_WRITE, &key),
                  0);
        std::vector<std::uint8_t> data;
        for (const wchar_t c : text + L'\0') {
            data.push_back(static_cast<std::uint8_t>(c & 0xFF));
            data.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        ASSERT_EQ(Platform::RegSetValueEx(key, L"RepairServer", Platform::REG_SZ, data.data(),
                                          static_cast<Platform::DWORD>(data.size())),
                  0);
        Platform::RegCloseKey(key);
    };

    // On Windows the registry is the machine's own and outlives the test.
    const auto clearRegistry = [] {
        Platform::HKEY key = nullptr;
        if (Platform::RegOpenKeyEx(Platform::LocalMachineKey(),
                                   L"SOFTWARE\\Osmel\\Products\\KelvorSimulator",
                                   Platform::KEY_WRITE, &key) == 0) {
            Platform::RegDeleteValue(key, L"RepairServer");
            Platform::RegCloseKey(key);
        }
    };
    clearRegistry();

    std::vector<std::wstring> problems;
    EXPECT_EQ(read(&problems), std::string(kDefaultRepairServerHost) + ":6000");
    EXPECT_TRUE(problems.empty());

    setRegistry(L"registry.example.com:6100");
    EXPECT_EQ(read(&problems), "registry.example.com:6100");
    Platform::SetEnvironmentVariable("OSMEL_REPAIR_SERVER", "env.example.com");
    EXPECT_EQ(read(&problems), "env.example.com:6000");
    EXPECT_TRUE(problems.empty());

    // A bad value is reported by name and the next source is used.
    Platform::SetEnvironmentVariable("OSMEL_REPAIR_SERVER", "env.example.com:70000");
    EXPECT_EQ(read(&problems), "registry.example.com:6100");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0],
              L"The environment variable OSMEL_REPAIR_SERVER=\"env.example.com:70000\" is "
              L"ignored: the port must be a number from 1 to 65535.");
    problems.clear();
    setRegistry(L"bad host");
    EXPECT_EQ(read(&problems), std::string(kDefaultRepairServerHost) + ":6000");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[1].find(L"RepairServer=\"bad host\" is ignored"), std::wstring::npos);

    clearRegistry();
    Platform::SetEnvironmentVariable("OSMEL_REPAIR_SERVER", nullptr);
    Platform::SetEnvironmentVariable("OSMEL_REGISTRY", nullptr);
    fs::remove(store);
}

}  // namespace
