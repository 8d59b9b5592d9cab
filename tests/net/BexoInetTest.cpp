#include "net/BexoInet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LocalServers.h"
#include "platform/System.h"

namespace {

struct URLCase {
    const char* url;
    BEXORESULT result;
    const char* scheme;  // after the default rule
    const char* host;
    std::int32_t port;
    const char* user;
    const char* password;
    const char* path;
};

TEST(ParseURLTest, SplitsAndDefaultsAsTheTableSays) {
    const URLCase cases[] = {
        {"http://patches.example.com/kelvor/patch.zip", BEXORESULT_OK, "http",
         "patches.example.com", 0, "", "", "kelvor/patch.zip"},
        {"HTTP://Patches.Example.COM:8080/a", BEXORESULT_OK, "http", "Patches.Example.COM", 8080,
         "", "", "a"},
        {"ftp://user:pass:word@host:2121/dir/f", BEXORESULT_OK, "ftp", "host", 2121, "user",
         "pass:word", "dir/f"},
        {"http://host/dir@mirror/file", BEXORESULT_OK, "http", "mirror", 0, "host/dir", "", "file"},
        {"ftp.example.com/patches.txt", BEXORESULT_OK, "ftp", "ftp.example.com", 0, "", "",
         "patches.txt"},
        {"example.com/patches.txt", BEXORESULT_OK, "http", "example.com", 0, "", "", "patches.txt"},
        {"HTTPSmirror/x", BEXORESULT_OK, "https", "HTTPSmirror", 0, "", "", "x"},
        {"mirror:21/x", BEXORESULT_OK, "ftp", "mirror", 21, "", "", "x"},
        {"mirror:443", BEXORESULT_OK, "https", "mirror", 443, "", "", ""},
        {"http://host: 81x/", BEXORESULT_OK, "http", "host", 81, "", "", ""},
        {"http://host:port/", BEXORESULT_OK, "http", "host", 0, "", "", ""},
        {"http://:secret@host/", BEXORESULT_INVALID_ARGUMENT, "http", "host", 0, "", "secret", ""},
        {"http:///path", BEXORESULT_INVALID_ARGUMENT, "http", "", 0, "", "", "path"},
        {"", BEXORESULT_INVALID_ARGUMENT, "", "", 0, "", "", ""},
    };
    for (const URLCase& c : cases) {
        SCOPED_TRACE(c.url);
        ParsedURL parts;
        EXPECT_EQ(ParseURL(c.url, &parts), c.result);
        if (c.result == BEXORESULT_OK) {
            ApplyDefaultScheme(&parts);
        }
        EXPECT_EQ(parts.scheme, c.scheme);
        EXPECT_EQ(parts.host, c.host);
        EXPECT_EQ(parts.port, c.port);
        EXPECT_EQ(parts.user, c.user);
        EXPECT_EQ(parts.password, c.password);
        EXPECT_EQ(parts.path, c.path);
    }
}

TEST(DownloadURLTest, RefusesBadURLsBeforeConnecting) {
    BexoDataBufferMemoryDynamic buffer;
    std::uint64_t size = 7;
    EXPECT_EQ(DownloadURL("gopher://127.0.0.1/x", &buffer, 0, nullptr), BEXORESULT_BAD_DATA);
    EXPECT_EQ(GetURLSize("file://127.0.0.1/etc/passwd", &size), BEXORESULT_BAD_DATA);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(DownloadURL("http://:pw@127.0.0.1/x", &buffer, 0, nullptr),
              BEXORESULT_INVALID_ARGUMENT);
    EXPECT_EQ(buffer.GetSize(), 0u);
}

// Cancels once the buffer holds `after` bytes, counting the polls that follow.
class CancelAfter : public DownloadURLCallback {
public:
    CancelAfter(BexoDataBuffer* buffer, std::uint64_t after) : m_buffer(buffer), m_after(after) {}
    bool IsCancelled() override { return m_buffer->GetSize() >= m_after; }

private:
    BexoDataBuffer* m_buffer;
    std::uint64_t m_after;
};

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string Contents(BexoDataBufferMemoryDynamic& buffer) {
    return {reinterpret_cast<const char*>(buffer.GetData()),
            static_cast<std::size_t>(buffer.GetSize())};
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class ServersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_servers = std::make_unique<testservers::Servers>();
        s_package = Pattern(300 * 1024 + 17);
        testservers::WriteText(s_servers->Www() / "package.zip", s_package);
        SetDownloadRetryPause(std::chrono::milliseconds(10));
    }
    static void TearDownTestSuite() { s_servers.reset(); }
    void SetUp() override { ASSERT_TRUE(s_servers->Ready()); }

    static inline std::string s_package;
    static inline std::unique_ptr<testservers::Servers> s_servers;
};

TEST_F(ServersTest, HttpDownloadAndSize) {
    BexoDataBufferMemoryDynamic buffer;
    ASSERT_EQ(
        DownloadURL(s_servers->HttpURL("package.zip"), &buffer, DOWNLOAD_BYPASS_CACHE, nullptr),
        BEXORESULT_OK);
    EXPECT_EQ(Contents(buffer), s_package);
    EXPECT_NE(s_servers->HttpLog().find("GET /package.zip HTTP/1.1 200 [-] [no-cache] [no-cache]"),
              std::string::npos);

    std::uint64_t size = 0;
    ASSERT_EQ(GetURLSize(s_servers->HttpURL("package.zip"), &size), BEXORESULT_OK);
    EXPECT_EQ(size, s_package.size());
}

TEST_F(ServersTest, HttpDownloadCutsTheTailOfAnOlderLongerContent) {
    BexoDataBufferMemoryDynamic buffer;
    const std::string older(s_package.size() + 5000, 'x');
    ASSERT_EQ(buffer.WriteData(older.data(), static_cast<std::uint32_t>(older.size())),
              BEXORESULT_OK);
    ASSERT_EQ(buffer.Seek(0), BEXORESULT_OK);
    ASSERT_EQ(DownloadURL(s_servers->HttpURL("package.zip"), &buffer, 0, nullptr), BEXORESULT_OK);
    EXPECT_EQ(Contents(buffer), s_package);
}

TEST_F(ServersTest, HttpNotFoundFailsAtOnceWithoutContent) {
    BexoDataBufferMemoryDynamic buffer;
    EXPECT_EQ(DownloadURL(s_servers->HttpURL("missing.zip"), &buffer, 0, nullptr),
              BEXORESULT_NETWORK_ERROR);
    EXPECT_EQ(buffer.GetSize(), 0u);
    std::uint64_t size = 1;
    EXPECT_EQ(GetURLSize(s_servers->HttpURL("missing-size.zip"), &size), BEXORESULT_NETWORK_ERROR);
    EXPECT_EQ(size, 0u);
    // nginx writes its access log line after the response has gone out: wait for it.
    std::string log = s_servers->HttpLog();
    for (int i = 0; i < 200 && Count(log, "/missing-size.zip HTTP/1.1 404") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = s_servers->HttpLog();
    }
    EXPECT_EQ(Count(log, "GET /missing.zip HTTP/1.1 404"), 1u);
    EXPECT_EQ(Count(log, "/missing-size.zip HTTP/1.1 404"), 1u);
}

TEST_F(ServersTest, CancelEndsTheDownloadWithinOneChunkAndMakesNoFurtherAttempt) {
    for (const std::string& url :
         {s_servers->HttpURL("package.zip"), s_servers->FtpURL("package.zip")}) {
        SCOPED_TRACE(url);
        BexoDataBufferMemoryDynamic buffer;
        CancelAfter cancel(&buffer, 40000);
        const std::size_t before = Count(s_servers->HttpLog(), "GET /package.zip");
        EXPECT_EQ(DownloadURL(url, &buffer, 0, &cancel), BEXORESULT_ABORTED);
        EXPECT_GE(buffer.GetSize(), 40000u);
        EXPECT_LT(buffer.GetSize(), 40000u + 16384u);
        EXPECT_LE(Count(s_servers->HttpLog(), "GET /package.zip"), before + 1);
    }
}

TEST_F(ServersTest, FtpDownloadResumesAtTheBufferSize) {
    BexoDataBufferMemoryDynamic buffer;
    ASSERT_EQ(buffer.WriteData(s_package.data(), 1000), BEXORESULT_OK);
    ASSERT_EQ(DownloadURL(s_servers->FtpURL("package.zip"), &buffer, 0, nullptr), BEXORESULT_OK);
    EXPECT_EQ(Contents(buffer), s_package);
    EXPECT_NE(s_servers->FtpLog().find("\"REST 1000\""), std::string::npos);

    std::uint64_t size = 0;
    ASSERT_EQ(GetURLSize(s_servers->FtpURL("package.zip"), &size), BEXORESULT_OK);
    EXPECT_EQ(size, s_package.size());
}

TEST_F(ServersTest, FtpMissingFileFails) {
    BexoDataBufferMemoryDynamic buffer;
    EXPECT_EQ(DownloadURL(s_servers->FtpURL("missing.zip"), &buffer, 0, nullptr),
              BEXORESULT_NETWORK_ERROR);
    EXPECT_EQ(buffer.GetSize(), 0u);
    std::uint64_t size = 1;
    EXPECT_EQ(GetURLSize(s_servers->FtpURL("missing.zip"), &size), BEXORESULT_NETWORK_ERROR);
    EXPECT_EQ(size, 0u);
}

TEST_F(ServersTest, FtpOpenFailsOnAClosedPort) {
    BexoFTP ftp;
    EXPECT_EQ(ftp.Open("127.0.0.1", "", "", true, testservers::FreePort()),
              BEXORESULT_NETWORK_ERROR);
    EXPECT_FALSE(ftp.IsConnected());
    BexoDataBufferMemoryDynamic buffer;
    EXPECT_EQ(ftp.GetFileAtPath("package.zip", &buffer, nullptr), BEXORESULT_INVALID_STATE);
}

TEST_F(ServersTest, FtpResetBeforeTheFileOpensStartsAgainFromByteZero) {
    BexoDataBufferMemoryDynamic buffer;
    ASSERT_EQ(buffer.WriteData(s_package.data(), 1000), BEXORESULT_OK);
    BexoFTP ftp;
    ASSERT_EQ(ftp.Open("127.0.0.1", "", "", true, s_servers->ResetFtpPort()), BEXORESULT_OK);
    ASSERT_EQ(ftp.GetFileAtPath("package.zip", &buffer, nullptr), BEXORESULT_OK);
    EXPECT_EQ(Contents(buffer), s_package);
    const std::string commands = s_servers->ResetFtpCommands();
    EXPECT_EQ(Count(commands, "RETR package.zip"), 2u) << commands;
    EXPECT_EQ(Count(commands, "REST 1000"), 1u) << commands;
    EXPECT_LT(commands.find("REST 1000"), commands.find("RETR package.zip"));
}

// An HTTP peer that serves one scripted answer per connection, to show what a retry
// does after a connection lost in the middle of a body.
class ScriptedHttp {
public:
    enum Answer {
        kCutAfterHalf,
        kHonourRange,
        kIgnoreRange,
        // A partial answer that starts at byte 0 whatever was asked for.
        kRangeFromZero,
        // A partial answer at the right place of a resource that grew meanwhile.
        kRangeOfAnotherTotal,
        // 405 for HEAD, the whole body for GET.
        kRefuseHead,
    };

    ScriptedHttp(std::string body, std::vector<Answer> answers, std::string path = "package.zip")
        : m_body(std::move(body)),
          m_path(std::move(path)),
          m_listener(Platform::TcpListener::Listen("127.0.0.1", 0)) {
        m_thread = std::thread([this, answers] {
            for (const Answer answer : answers) {
                auto stream = m_listener->Accept();
                if (stream == nullptr) {
                    return;
                }
                m_requests.push_back(ReadRequest(*stream));
                Serve(*stream, answer, m_requests.back());
            }
        });
    }
    ~ScriptedHttp() {
        m_listener->Close();
        m_thread.join();
    }
    ScriptedHttp(const ScriptedHttp&) = delete;
    ScriptedHttp& operator=(const ScriptedHttp&) = delete;

    std::string URL() const {
        return "http://127.0.0.1:" + std::to_string(m_listener->Port()) + "/" + m_path;
    }
    // Read after the download returned, when the peer has served every answer.
    const std::vector<std::string>& Requests() const { return m_requests; }

private:
    static std::string ReadRequest(Platform::TcpStream& stream) {
        std::string request;
        char chunk[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const long count = stream.ReadSome(chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            request.append(chunk, static_cast<std::size_t>(count));
        }
        return request;
    }

    void Serve(Platform::TcpStream& stream, Answer answer, const std::string& request) {
        const std::size_t size = m_body.size();
        const std::size_t range = request.find("Range: bytes=");
        std::string reply;
        const auto partial = [&](std::size_t from, std::size_t total) {
            return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) +
                   "-" + std::to_string(total - 1) + "/" + std::to_string(total) +
                   "\r\nContent-Length: " + std::to_string(size - from) +
                   "\r\nConnection: close\r\n\r\n" + m_body.substr(from);
        };
        const std::size_t asked =
            range != std::string::npos ? std::stoul(request.substr(range + 13)) : 0;
        if (answer == kHonourRange && range != std::string::npos) {
            reply = partial(asked, size);
        } else if (answer == kRangeFromZero) {
            reply = partial(0, size);
        } else if (answer == kRangeOfAnotherTotal) {
            reply = partial(asked, size + 1000);
        } else if (answer == kRefuseHead && request.rfind("HEAD ", 0) == 0) {
            reply =
                "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: "
                "close\r\n\r\n";
        } else {
            reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                    "\r\nConnection: close\r\n\r\n" +
                    (answer == kCutAfterHalf ? m_body.substr(0, size / 2) : m_body);
        }
        // A cut answer ends with an orderly close before its announced length, so the
        // client surely has the first half when it notices.
        stream.WriteAll(reply.data(), reply.size());
    }

    std::string m_body;
    std::string m_path;
    std::unique_ptr<Platform::TcpListener> m_listener;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

TEST(HttpRetryTest, ResumesWithARangeAfterALostConnection) {
    SetDownloadRetryPause(std::chrono::milliseconds(10));
    const std::string body = Pattern(200000);
    ScriptedHttp peer(body, {ScriptedHttp::kCutAfterHalf, ScriptedHttp::kHonourRange});
    BexoDataBufferMemoryDynamic buffer;
    ASSERT_EQ(DownloadURL(peer.URL(), &buffer, 0, nullptr), BEXORESULT_OK);
    EXPECT_EQ(Contents(buffer), body);
    ASSERT_EQ(peer.Requests().size(), 2u);
    EXPECT_EQ(peer.Requests()[0].find("Range:"), std::string::npos);
    EXPECT_NE(peer.Requests()[1].find("Range: bytes=100000-"), std::string::npos);
}

TEST(HttpRetryTest, StartsOverWhenTheServerIgnoresTheRange) {
    SetDownloadRetryPause(std::chrono::milliseconds(10));
    const std::string body = Pattern(200000);
    ScriptedHttp peer(body, {ScriptedHttp::kCutAfterHalf, ScriptedHttp::kIgnoreRange});
    // An older, longer content in the buffer: none of it may survive.
    BexoDataBufferMemoryDynamic buffer;
    const std::string older(300000, 'x');
    ASSERT_EQ(buffer.WriteData(older.data(), static_cast<std::uint32_t>(older.size())),
              BEXORESULT_OK);
    ASSERT_EQ(buffer.Seek(0), BEXORESULT_OK);
    ASSERT_EQ(DownloadURL(peer.URL(), &buffer, 0, nullptr), BEXORESULT_OK);
    EXPECT_EQ(Contents(buffer), body);
    ASSERT_EQ(peer.Requests().size(), 2u);
    EXPECT_NE(peer.Requests()[1].find("Range: bytes=100000-"), std::string::npos);
}

// Servers that answer what was not asked, or refuse what they should answer: one row
// each, with the result, the content and the requests the client had to make.
TEST(HttpRetryTest, ServersThatCannotFoolTheClient) {
    SetDownloadRetryPause(std::chrono::milliseconds(10));
    const std::string body = Pattern(102400);
    struct Row {
        const char* name;
        std::vector<ScriptedHttp::Answer> answers;
        std::string path;
        bool sizeQuery;
        std::vector<const char*> requestLines;  // the first line of each request, in order
    };
    const Row rows[] = {
        {"a resumed answer that starts at byte 0",
         {ScriptedHttp::kCutAfterHalf, ScriptedHttp::kRangeFromZero, ScriptedHttp::kIgnoreRange},
         "package.zip",
         false,
         {"GET /package.zip", "GET /package.zip", "GET /package.zip"}},
        {"a resumed answer of another total",
         {ScriptedHttp::kCutAfterHalf, ScriptedHttp::kRangeOfAnotherTotal,
          ScriptedHttp::kIgnoreRange},
         "package.zip",
         false,
         {"GET /package.zip", "GET /package.zip", "GET /package.zip"}},
        {"a server that refuses HEAD",
         {ScriptedHttp::kRefuseHead, ScriptedHttp::kRefuseHead},
         "package.zip",
         true,
         {"HEAD /package.zip", "GET /package.zip"}},
        {"a path with a space and a non-ASCII name",
         {ScriptedHttp::kIgnoreRange},
         "my files/pr\xC3\xBC"
         "fung 100%.zip",
         false,
         {"GET /my%20files/pr%C3%BCfung%20100%25.zip"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedHttp peer(body, row.answers, row.path);
        if (row.sizeQuery) {
            std::uint64_t size = 0;
            EXPECT_EQ(GetURLSize(peer.URL(), &size), BEXORESULT_OK);
            EXPECT_EQ(size, body.size());
        } else {
            BexoDataBufferMemoryDynamic buffer;
            EXPECT_EQ(DownloadURL(peer.URL(), &buffer, 0, nullptr), BEXORESULT_OK);
            EXPECT_EQ(Contents(buffer), body) << "a content of " << buffer.GetSize() << " bytes";
        }
        ASSERT_EQ(peer.Requests().size(), row.requestLines.size());
        for (std::size_t i = 0; i < row.requestLines.size(); ++i) {
            EXPECT_EQ(peer.Requests()[i].rfind(row.requestLines[i], 0), 0u) << peer.Requests()[i];
        }
        if (row.requestLines.size() == 3) {
            // The partial file was dropped: the last attempt asks for everything.
            EXPECT_NE(peer.Requests()[1].find("Range: bytes=51200-"), std::string::npos);
            EXPECT_EQ(peer.Requests()[2].find("Range:"), std::string::npos);
        }
    }
}

TEST_F(ServersTest, AnUntrustedCertificateIsReportedAsSuchAndNotRetried) {
    const auto refusals = [] {
        return Count(s_servers->HttpsErrorLog(), "SSL_do_handshake() failed");
    };
    [[maybe_unused]] const std::size_t before = refusals();
    BexoDataBufferMemoryDynamic buffer;
    std::wstring problem;
    EXPECT_EQ(DownloadURL(s_servers->HttpsURL("package.zip"), &buffer, 0, nullptr, &problem),
              BEXORESULT_NETWORK_ERROR);
    EXPECT_EQ(problem.rfind(L"The certificate of 127.0.0.1 is not trusted: ", 0), 0u)
        << std::string(problem.begin(), problem.end());
    std::uint64_t size = 1;
    EXPECT_EQ(GetURLSize(s_servers->HttpsURL("package.zip"), &size, nullptr, &problem),
              BEXORESULT_NETWORK_ERROR);
    EXPECT_EQ(problem.rfind(L"The certificate of 127.0.0.1 is not trusted: ", 0), 0u);
    EXPECT_EQ(buffer.GetSize(), 0u);
#ifndef _WIN32
    // nginx logs a refused handshake as it ends; the one download and the one size query
    // made one handshake each. WinINet completes the handshake and refuses the certificate
    // afterwards, on connections it pools and may open again itself, so there nginx's log
    // cannot count our attempts.
    for (int i = 0; i < 200 && refusals() < before + 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(refusals(), before + 2);
#endif
}

// The proxy settings of the environment, as curl and most Linux programs read them.
TEST_F(ServersTest, TheEnvironmentsProxySettingsAreUsed) {
#ifdef _WIN32
    GTEST_SKIP() << "WinINet takes the system's proxy settings, not the environment's";
#endif
    const auto carried = [](const std::string& what) { return Count(s_servers->ProxyLog(), what); };
    const std::string url = s_servers->HttpURL("package.zip");
    const std::string plain = "Request (file descriptor";
    Platform::SetEnvironmentVariable("http_proxy", s_servers->ProxyAddress().c_str());
    Platform::SetEnvironmentVariable("https_proxy", s_servers->ProxyAddress().c_str());
    const std::size_t viaProxy = carried("GET " + url + " HTTP");
    const std::size_t tunnels = carried(": CONNECT 127.0.0.1:");

    BexoDataBufferMemoryDynamic buffer;
    EXPECT_EQ(DownloadURL(url, &buffer, 0, nullptr), BEXORESULT_OK);
    EXPECT_EQ(Contents(buffer), s_package);
    EXPECT_EQ(carried("GET " + url + " HTTP"), viaProxy + 1);
    // https goes through the proxy's tunnel, and still meets the certificate.
    std::wstring problem;
    EXPECT_EQ(DownloadURL(s_servers->HttpsURL("package.zip"), &buffer, 0, nullptr, &problem),
              BEXORESULT_NETWORK_ERROR);
    EXPECT_FALSE(problem.empty());
    EXPECT_EQ(carried(": CONNECT 127.0.0.1:"), tunnels + 1);

    // Hosts in no_proxy are reached directly.
    Platform::SetEnvironmentVariable("no_proxy", "127.0.0.1");
    const std::size_t requests = carried(plain);
    BexoDataBufferMemoryDynamic direct;
    EXPECT_EQ(DownloadURL(url, &direct, 0, nullptr), BEXORESULT_OK);
    EXPECT_EQ(Contents(direct), s_package);
    EXPECT_EQ(carried(plain), requests);
    for (const char* name : {"http_proxy", "https_proxy", "no_proxy"}) {
        Platform::SetEnvironmentVariable(name, nullptr);
    }
}

}  // namespace
