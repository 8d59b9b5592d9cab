// The transport on Windows: WinINet, through the platform layer.
#include <memory>
#include <mutex>

#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "net/InetTransport.h"
#include "platform/Inet.h"
#include "platform/Sockets.h"
#include "platform/System.h"

struct BexoInetSession {
    Platform::InternetHandle handle = nullptr;
};

namespace {

using inet::ContentSink;

// Closes a WinINet handle when it goes out of scope.
class ScopedHandle {
public:
    explicit ScopedHandle(Platform::InternetHandle handle) : m_handle(handle) {}
    ~ScopedHandle() { Platform::InternetCloseHandle(m_handle); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Platform::InternetHandle Get() const { return m_handle; }

private:
    Platform::InternetHandle m_handle;
};

unsigned long LastError() {
    return Platform::GetLastError();
}

// Reads the rest of a response into the sink in chunks of one staging area.
BEXORESULT ReadResponse(Platform::InternetHandle file, ContentSink* sink) {
    char staging[inet::kChunkSize];
    for (;;) {
        Platform::DWORD read = 0;
        if (!Platform::InternetReadFile(file, staging, sizeof staging, &read)) {
            SystemLog("InternetReadFile returned %lu with actualByteCount=%llu", LastError(),
                      static_cast<unsigned long long>(sink->received));
            return BEXORESULT_NETWORK_ERROR;
        }
        if (read == 0) {
            return BEXORESULT_OK;
        }
        if (!sink->Write(staging, read)) {
            return sink->cancelled ? BEXORESULT_ABORTED : sink->writeResult;
        }
    }
}

// A response header that is a number; false when it is missing or not a number.
bool QueryNumber(Platform::InternetHandle request, Platform::DWORD level, std::uint64_t* value) {
    std::string text;
    return Platform::HttpQueryInfo(request, level, &text) && ParseDecimal(text, value);
}

// Connects and sends one request; null request (logged) when a step failed.
struct HttpRequest {
    std::unique_ptr<ScopedHandle> connection;
    std::unique_ptr<ScopedHandle> request;
    long status = 0;
    // WinINet's error when no request came back.
    unsigned long error = 0;
};

HttpRequest SendHttpRequest(const ParsedURL& parts, const std::string& url, const char* verb,
                            Platform::DWORD flags, const std::string& headers) {
    HttpRequest sent;
    BexoInetSession* session = GetInternetSession();
    if (session == nullptr) {
        return sent;
    }
    sent.connection = std::make_unique<ScopedHandle>(
        Platform::InternetConnect(session->handle, parts.host, inet::HttpPort(parts), parts.user,
                                  parts.password, Platform::InternetService::Http, 0));
    if (sent.connection->Get() == nullptr) {
        sent.error = LastError();
        SystemLog("InternetConnect returned %lu for url %s", sent.error, url.c_str());
        return sent;
    }
    if (parts.scheme == "https") {
        flags |= Platform::InternetFlag::Secure;
    }
    auto request = std::make_unique<ScopedHandle>(Platform::HttpOpenRequest(
        sent.connection->Get(), verb, "/" + inet::EscapePath(parts.path), flags));
    if (request->Get() == nullptr) {
        sent.error = LastError();
        SystemLog("HttpOpenRequest returned %lu for url %s", sent.error, url.c_str());
        return sent;
    }
    if (!Platform::HttpSendRequest(request->Get(), headers)) {
        sent.error = LastError();
        SystemLog("HttpSendRequest returned %lu", sent.error);
        return sent;
    }
    std::uint64_t status = 0;
    if (!QueryNumber(request->Get(), Platform::HttpQuery::StatusCode, &status)) {
        SystemLog("HttpQueryInfo returned %lu", LastError());
        return sent;
    }
    sent.status = static_cast<long>(status);
    sent.request = std::move(request);
    return sent;
}

// Sends an FTP command and returns the code of the server's reply and its text after
// the code; 0 when no reply came (the thread's last error tells why).
int FtpCommandReply(Platform::InternetHandle connection, const std::string& command, bool binary,
                    std::string* text) {
    const bool sent = Platform::FtpCommand(connection, command, binary);
    const Platform::DWORD error = Platform::GetLastError();
    std::string reply = Platform::InternetGetLastResponseInfo();
    // A reply of several lines ends with its final line.
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) {
        reply.pop_back();
    }
    const std::size_t last = reply.rfind('\n');
    if (last != std::string::npos) {
        reply.erase(0, last + 1);
    }
    std::uint64_t code = 0;
    if (reply.size() < 4 || reply[3] != ' ' || !ParseDecimal(reply.substr(0, 3), &code)) {
        // No reply of its own: the command never got one.
        Platform::SetLastError(sent ? Platform::Error::InvalidParameter : error);
        return 0;
    }
    *text = reply.substr(4);
    return static_cast<int>(code);
}

// Whether the control connection still answers. Wine reports a reset during a command
// as an error of the command's reply, which only this tells apart.
bool IsAlive(Platform::InternetHandle connection) {
    std::string reply;
    return FtpCommandReply(connection, "NOOP", true, &reply) == 200;
}

// The outcome of a request that got no answer: refusals for what no retry mends.
inet::HttpOutcome NoAnswer(const HttpRequest& sent, const ParsedURL& parts) {
    namespace E = Platform::Error;
    switch (sent.error) {
        case E::InternetSecCertDateInvalid:
        case E::InternetSecCertCnInvalid:
        case E::InternetInvalidCa:
        case E::InternetSecCertErrors:
        case E::InternetSecCertNoRevocation:
        case E::InternetSecCertRevocationFailed:
        case E::InternetSecInvalidCert:
        case E::InternetSecCertRevoked:
            return inet::Refuse(inet::Refusal::kCertificate, parts.host,
                                "WinINet error " + std::to_string(sent.error));
        case E::InternetNameNotResolved:
            return inet::Refuse(inet::Refusal::kUnknownHost, parts.host, "");
        case E::InternetHttpsToHttpOnRedirect:
            return inet::Refuse(inet::Refusal::kRedirectToHttp, parts.host, "");
        default:
            return {BEXORESULT_NETWORK_ERROR, false};
    }
}

}  // namespace

namespace inet {

// Errors after which the connection is gone. Wine reports a reset or aborted control
// connection with the socket's own error.
bool IsConnectionLost(int code) {
    switch (static_cast<Platform::DWORD>(code)) {
        case Platform::Error::InternetConnectionAborted:
        case Platform::Error::InternetConnectionReset:
        case Platform::Error::WsaEConnAborted:
        case Platform::Error::WsaEConnReset:
            return true;
        default:
            return false;
    }
}

HttpOutcome HttpGet(const ParsedURL& parts, const std::string& url, BexoDataBuffer* buffer,
                    std::uint32_t flags, DownloadURLCallback* callback, HttpResource* resource) {
    const std::uint64_t contentStart = resource->contentStart;
    Platform::DWORD requestFlags = Platform::InternetFlag::NoUi;
    std::string headers;
    if ((flags & DOWNLOAD_BYPASS_CACHE) != 0) {
        requestFlags |= Platform::InternetFlag::Reload | Platform::InternetFlag::NoCacheWrite |
                        Platform::InternetFlag::PragmaNoCache;
        headers += "Cache-Control: no-cache\r\n";
    }
    const std::uint64_t position = buffer->GetPosition();
    const bool rangeRequested = position > contentStart;
    if (rangeRequested) {
        headers += "Range: bytes=" + std::to_string(position - contentStart) + "-\r\n";
        SystemLog("DownloadURL> resuming %s at byte %llu", url.c_str(),
                  static_cast<unsigned long long>(position - contentStart));
    }
    const HttpRequest sent = SendHttpRequest(parts, url, "GET", requestFlags, headers);
    if (sent.request == nullptr) {
        return NoAnswer(sent, parts);
    }
    if (sent.status >= 400) {
        SystemLog("HttpSendRequest returned status %ld for url %s", sent.status, url.c_str());
        bool final = IsFinalHttpStatus(sent.status);
        if (rangeRequested) {
            // 416: what was kept no longer fits the resource; the next attempt starts over.
            if (RestartContent(buffer, contentStart) != BEXORESULT_OK) {
                return {BEXORESULT_IO_ERROR, true};
            }
            final = final && sent.status != 416;
        }
        return {BEXORESULT_NETWORK_ERROR, final, sent.status};
    }
    std::uint64_t announced = 0;
    const bool lengthKnown =
        QueryNumber(sent.request->Get(), Platform::HttpQuery::ContentLength, &announced);
    if (rangeRequested && sent.status == 206) {
        std::string range;
        Platform::HttpQueryInfo(sent.request->Get(), Platform::HttpQuery::ContentRange, &range);
        if (!CheckContentRange(range, position - contentStart, resource)) {
            // What was kept cannot be trusted to belong with this answer: start over.
            resource->total = 0;
            const BEXORESULT dropped = RestartContent(buffer, contentStart);
            return {dropped == BEXORESULT_OK ? BEXORESULT_NETWORK_ERROR : dropped, false};
        }
    } else if (lengthKnown) {
        NoteWholeLength(announced, resource);
    }
    if (rangeRequested && sent.status != 206) {
        // The server sends the whole body: start again where the content began.
        SystemLog("DownloadURL> server ignored the range request (status %ld), restarting",
                  sent.status);
        const BEXORESULT restarted = RestartContent(buffer, contentStart);
        if (restarted != BEXORESULT_OK) {
            SystemLog("WriteData returned %d", restarted);
            return {restarted, false};
        }
    }
    ContentSink sink;
    sink.buffer = buffer;
    sink.callback = callback;
    const BEXORESULT read = ReadResponse(sent.request->Get(), &sink);
    if (sink.cancelled) {
        return {BEXORESULT_ABORTED, true};
    }
    if (read != BEXORESULT_OK) {
        return {read, false};
    }
    if (lengthKnown && sink.received < announced) {
        // WinINet ends a body that the server cut short as if it were complete.
        SystemLog("InternetReadFile returned %lu with actualByteCount=%llu",
                  static_cast<unsigned long>(Platform::Error::InternetConnectionAborted),
                  static_cast<unsigned long long>(sink.received));
        return {BEXORESULT_NETWORK_ERROR, false};
    }
    return {};
}

HttpOutcome HttpSize(const ParsedURL& parts, const std::string& url, bool head, std::uint64_t* size,
                     DownloadURLCallback* /*callback*/) {
    // A GET's body is never read: closing the request ends it.
    const HttpRequest sent =
        SendHttpRequest(parts, url, head ? "HEAD" : "GET", Platform::InternetFlag::NoUi, "");
    if (sent.request == nullptr) {
        return NoAnswer(sent, parts);
    }
    if (sent.status >= 400) {
        SystemLog("HttpSendRequest returned status %ld for url %s", sent.status, url.c_str());
        return {BEXORESULT_NETWORK_ERROR, IsFinalHttpStatus(sent.status), sent.status};
    }
    if (!QueryNumber(sent.request->Get(), Platform::HttpQuery::ContentLength, size)) {
        SystemLog("HttpQueryInfo returned %lu", LastError());
        return {BEXORESULT_NETWORK_ERROR, false};
    }
    return {};
}

}  // namespace inet

BexoInetSession* GetInternetSession() {
    // Lives until the process ends, as WinINet's sessions are meant to.
    static std::mutex lock;
    static BexoInetSession session;
    const std::lock_guard<std::mutex> guard(lock);
    if (session.handle == nullptr) {
        const Platform::InternetHandle handle = Platform::InternetOpen("Bexo");
        if (handle == nullptr) {
            SystemLog("BexoInetInternal::CreateInternetSession> InternetOpen failed with error %lu",
                      LastError());
            return nullptr;
        }
        Platform::InternetSetTimeouts(handle, inet::kConnectTimeoutSeconds * 1000,
                                      inet::kStallSeconds * 1000);
        session.handle = handle;
    }
    return &session;
}

void BexoFTP::Close() {
    Platform::InternetCloseHandle(static_cast<Platform::InternetHandle>(m_connection));
    m_connection = nullptr;
}

BEXORESULT BexoFTP::Open(const std::string& host, const std::string& user,
                         const std::string& password, bool passive, std::int32_t port) {
    m_host = host;
    m_user = user;
    m_password = password;
    m_passive = passive;
    m_port = port > 0 && port <= 0xFFFF ? port : 21;

    Close();
    m_session = GetInternetSession();
    if (m_session == nullptr) {
        return BEXORESULT_NETWORK_ERROR;
    }
    const Platform::InternetHandle connection = Platform::InternetConnect(
        m_session->handle, host, static_cast<std::uint16_t>(m_port), user, password,
        Platform::InternetService::Ftp, passive ? Platform::InternetFlag::Passive : 0);
    if (connection == nullptr) {
        m_lastError = static_cast<int>(LastError());
        SystemLog("BexoFTP::Open> Connection to \"%s\" failed with error %d", host.c_str(),
                  m_lastError);
        return BEXORESULT_NETWORK_ERROR;
    }
    m_connection = connection;
    return BEXORESULT_OK;
}

BEXORESULT BexoFTP::GetFileSize(const std::string& path, std::uint64_t* size) {
    *size = 0;
    if (!IsConnected()) {
        return BEXORESULT_INVALID_STATE;
    }
    for (int attempt = 0; attempt < 2 && IsConnected(); ++attempt) {
        auto* connection = static_cast<Platform::InternetHandle>(m_connection);
        // SIZE in binary mode answers "213 <bytes>" without opening a data connection.
        std::string reply;
        if (FtpCommandReply(connection, "TYPE I", true, &reply) == 200 &&
            FtpCommandReply(connection, "SIZE " + path, true, &reply) == 213 &&
            ParseDecimal(reply, size)) {
            return BEXORESULT_OK;
        }
        // A server without SIZE: open the file and ask WinINet.
        const ScopedHandle file(Platform::FtpOpenFile(connection, path));
        if (file.Get() != nullptr && Platform::FtpGetFileSize(file.Get(), size)) {
            return BEXORESULT_OK;
        }
        m_lastError = static_cast<int>(LastError());
        SystemLog("FtpOpenFile returned %d.", m_lastError);
        Reconnect();
    }
    return BEXORESULT_NETWORK_ERROR;
}

BEXORESULT BexoFTP::GetFileAtPath(const std::string& path, BexoDataBuffer* buffer,
                                  DownloadURLCallback* callback) {
    if (!IsConnected()) {
        return BEXORESULT_INVALID_STATE;
    }
    std::uint64_t offset = buffer->GetSize();
    if (offset != 0) {
        SystemLog("BexoFTP::GetFileAtPath> resuming download of \"%s\" at byte %llu.", path.c_str(),
                  static_cast<unsigned long long>(offset));
    }
    if (const BEXORESULT result = buffer->Seek(offset); result != BEXORESULT_OK) {
        return result;
    }
    int lastError = 0;
    // Keeps the error of a failed step; true when the connection is gone with it.
    const auto failed = [this, &lastError](Platform::InternetHandle connection) {
        lastError = m_lastError = static_cast<int>(LastError());
        if (inet::IsConnectionLost(lastError)) {
            return true;
        }
        if (IsAlive(connection)) {
            return false;
        }
        m_lastError = static_cast<int>(Platform::Error::InternetConnectionReset);
        return true;
    };
    for (int attempt = 0; attempt < 2 && IsConnected();) {
        auto* connection = static_cast<Platform::InternetHandle>(m_connection);
        bool lost = false;
        // Servers take a restart offset only in binary mode.
        std::string reply;
        if (offset != 0 &&
            (FtpCommandReply(connection, "TYPE I", true, &reply) != 200 ||
             FtpCommandReply(connection, "REST " + std::to_string(offset), true, &reply) != 350)) {
            lost = failed(connection);
            if (!lost) {
                SystemLog("BexoFTP::GetFileAtPath> unable to resume download of \"%s\" (error %d).",
                          path.c_str(), lastError);
                offset = 0;
                if (const BEXORESULT emptied = inet::RestartContent(buffer, 0);
                    emptied != BEXORESULT_OK) {
                    return emptied;
                }
                continue;
            }
        }
        if (!lost) {
            const ScopedHandle file(Platform::FtpOpenFile(connection, path));
            if (file.Get() != nullptr) {
                ContentSink sink;
                sink.buffer = buffer;
                sink.callback = callback;
                return ReadResponse(file.Get(), &sink);
            }
            lost = failed(connection);
        }
        ++attempt;
        if (lost) {
            // The restart offset is lost with the connection.
            SystemLog(
                "BexoFTP::GetFileAtPath> connection lost before \"%s\" opened (error %d), "
                "starting again from byte 0.",
                path.c_str(), lastError);
            offset = 0;
            if (const BEXORESULT emptied = inet::RestartContent(buffer, 0);
                emptied != BEXORESULT_OK) {
                return emptied;
            }
            Reconnect();
        }
    }
    SystemLog("FtpOpenFile returned %d.", lastError);
    return BEXORESULT_NETWORK_ERROR;
}
