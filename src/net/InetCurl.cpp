// The transport on Linux: libcurl, which stands in for WinINet with the same requests.
#include <curl/curl.h>

#include <mutex>

#include "kernel/SystemLog.h"
#include "net/BexoInet.h"
#include "net/InetTransport.h"

struct BexoInetSession {
    const char* agent = "Bexo";
};

namespace {

using inet::ContentSink;
using inet::HttpOutcome;

// libcurl receives in larger blocks (as the curl tool does), which the write callback
// hands on in chunks, polling the cancel callback before each.
constexpr long kReceiveBlock = 128 * 1024;

// What one transfer hands its libcurl callbacks.
struct Transfer : ContentSink {
    CURL* curl = nullptr;
    // HTTP: what earlier attempts learnt, whether a Range was asked and from where.
    inet::HttpResource* resource = nullptr;
    bool rangeRequested = false;
    std::uint64_t rangeFrom = 0;
    bool statusChecked = false;
    // The answer's range does not continue what was kept.
    bool rangeRefused = false;
};

// Checks the answer's status and range before its first bytes are kept; false when they
// must not be.
bool AcceptAnswer(Transfer* transfer) {
    long status = 0;
    curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status == 206 && transfer->rangeRequested) {
        curl_header* header = nullptr;
        const std::string range = curl_easy_header(transfer->curl, "Content-Range", 0, CURLH_HEADER,
                                                   -1, &header) == CURLHE_OK
                                      ? header->value
                                      : "";
        if (!inet::CheckContentRange(range, transfer->rangeFrom, transfer->resource)) {
            transfer->rangeRefused = true;
            return false;
        }
        return true;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length >= 0) {
        inet::NoteWholeLength(static_cast<std::uint64_t>(length), transfer->resource);
    }
    if (transfer->rangeRequested) {
        // The server sends the whole body: start again where the content began.
        SystemLog("DownloadURL> server ignored the range request (status %ld), restarting", status);
        const BEXORESULT result =
            inet::RestartContent(transfer->buffer, transfer->resource->contentStart);
        if (result != BEXORESULT_OK) {
            SystemLog("WriteData returned %d", result);
            transfer->writeResult = result;
            return false;
        }
    }
    return true;
}

size_t WriteChunks(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t total = size * count;
    if (transfer->resource != nullptr && !transfer->statusChecked) {
        transfer->statusChecked = true;
        if (!AcceptAnswer(transfer)) {
            return 0;
        }
    }
    return transfer->Write(data, total) ? total : 0;
}

// A size query by GET: the headers tell the size, the body is not wanted.
size_t RefuseBody(char* /*data*/, size_t /*size*/, size_t /*count*/, void* context) {
    *static_cast<bool*>(context) = true;
    return 0;
}

// Lets a cancel request end a transfer that is waiting for data.
int CheckCancel(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(context);
    if (transfer->callback != nullptr && transfer->callback->IsCancelled()) {
        transfer->cancelled = true;
        return 1;
    }
    return 0;
}

void SetCommonOptions(CURL* curl, BexoInetSession* session) {
    curl_easy_setopt(curl, CURLOPT_USERAGENT, session->agent);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(inet::kConnectTimeoutSeconds));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(inet::kStallSeconds));
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBlock);
}

void SetTransferCallbacks(CURL* curl, Transfer* transfer) {
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteChunks);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, transfer);
}

std::string HttpURL(const ParsedURL& parts) {
    return parts.scheme + "://" + parts.host + ":" + std::to_string(inet::HttpPort(parts)) + "/" +
           inet::EscapePath(parts.path);
}

// Builds an HTTP request whose error text goes to `errorText` (CURL_ERROR_SIZE bytes);
// null when libcurl has no memory. The proxy settings of the environment (http_proxy,
// https_proxy, no_proxy) apply as libcurl reads them.
CURL* OpenHttpRequest(BexoInetSession* session, const ParsedURL& parts, const std::string& url,
                      char* errorText) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        SystemLog("HttpOpenRequest returned %d for url %s", CURLE_OUT_OF_MEMORY, url.c_str());
        return nullptr;
    }
    SetCommonOptions(curl, session);
    const std::string address = HttpURL(parts);
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    errorText[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    // What came encrypted is never followed to where it would not be.
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR,
                     parts.scheme == "https" ? "https" : "http,https");
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    if (!parts.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, parts.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, parts.password.c_str());
    }
    return curl;
}

// Logs a failed request and tells whether another attempt could help.
HttpOutcome HttpFailure(CURL* curl, CURLcode code, const ParsedURL& parts, const std::string& url,
                        std::uint64_t received, const char* errorText) {
    if (code == CURLE_HTTP_RETURNED_ERROR) {
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        SystemLog("HttpSendRequest returned status %ld for url %s", status, url.c_str());
        const bool final = inet::IsFinalHttpStatus(status);
        return {BEXORESULT_NETWORK_ERROR, final, status};
    }
    const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
    if (code == CURLE_PEER_FAILED_VERIFICATION) {
        return inet::Refuse(inet::Refusal::kCertificate, parts.host, detail);
    }
    if (code == CURLE_COULDNT_RESOLVE_HOST) {
        return inet::Refuse(inet::Refusal::kUnknownHost, parts.host, detail);
    }
    if (code == CURLE_UNSUPPORTED_PROTOCOL && parts.scheme == "https") {
        // Only a redirection can lead an https request to another protocol.
        return inet::Refuse(inet::Refusal::kRedirectToHttp, parts.host, detail);
    }
    if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
        code == CURLE_COULDNT_RESOLVE_PROXY) {
        SystemLog("InternetConnect returned %d for url %s", code, url.c_str());
    } else if (received == 0) {
        SystemLog("HttpSendRequest returned %d", code);
    } else {
        SystemLog("InternetReadFile returned %d with actualByteCount=%llu", code,
                  static_cast<unsigned long long>(received));
    }
    return {BEXORESULT_NETWORK_ERROR, false};
}

}  // namespace

namespace inet {

HttpOutcome HttpGet(const ParsedURL& parts, const std::string& url, BexoDataBuffer* buffer,
                    std::uint32_t flags, DownloadURLCallback* callback, HttpResource* resource) {
    BexoInetSession* session = GetInternetSession();
    if (session == nullptr) {
        return {BEXORESULT_NETWORK_ERROR, false};
    }
    char errorText[CURL_ERROR_SIZE];
    CURL* curl = OpenHttpRequest(session, parts, url, errorText);
    if (curl == nullptr) {
        return {BEXORESULT_NETWORK_ERROR, false};
    }
    const std::uint64_t contentStart = resource->contentStart;
    Transfer transfer;
    transfer.curl = curl;
    transfer.buffer = buffer;
    transfer.callback = callback;
    transfer.resource = resource;
    SetTransferCallbacks(curl, &transfer);

    curl_slist* headers = nullptr;
    if ((flags & DOWNLOAD_BYPASS_CACHE) != 0) {
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
        headers = curl_slist_append(headers, "Pragma: no-cache");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    }
    const std::uint64_t position = buffer->GetPosition();
    std::string range;
    if (position > contentStart) {
        range = std::to_string(position - contentStart) + "-";
        curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
        transfer.rangeRequested = true;
        transfer.rangeFrom = position - contentStart;
        SystemLog("DownloadURL> resuming %s at byte %llu", url.c_str(),
                  static_cast<unsigned long long>(position - contentStart));
    }
    const CURLcode code = curl_easy_perform(curl);

    HttpOutcome outcome;
    if (transfer.cancelled) {
        outcome = {BEXORESULT_ABORTED, true};
    } else if (transfer.rangeRefused) {
        // What was kept cannot be trusted to belong with this answer: start over.
        resource->total = 0;
        const BEXORESULT dropped = RestartContent(buffer, contentStart);
        outcome = {dropped == BEXORESULT_OK ? BEXORESULT_NETWORK_ERROR : dropped, false};
    } else if (transfer.writeResult != BEXORESULT_OK) {
        outcome = {transfer.writeResult, false};
    } else if (code == CURLE_HTTP_RETURNED_ERROR && transfer.rangeRequested) {
        // 416: what was kept no longer fits the resource; the next attempt starts over.
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        SystemLog("HttpSendRequest returned status %ld for url %s", status, url.c_str());
        if (buffer->Seek(contentStart) != BEXORESULT_OK ||
            buffer->SetSize(contentStart) != BEXORESULT_OK) {
            outcome = {BEXORESULT_IO_ERROR, true};
        } else {
            outcome = {BEXORESULT_NETWORK_ERROR, status != 416 && inet::IsFinalHttpStatus(status),
                       status};
        }
    } else if (code != CURLE_OK) {
        outcome = HttpFailure(curl, code, parts, url, transfer.received, errorText);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return outcome;
}

HttpOutcome HttpSize(const ParsedURL& parts, const std::string& url, bool head, std::uint64_t* size,
                     DownloadURLCallback* callback) {
    BexoInetSession* session = GetInternetSession();
    if (session == nullptr) {
        return {BEXORESULT_NETWORK_ERROR, false};
    }
    char errorText[CURL_ERROR_SIZE];
    CURL* curl = OpenHttpRequest(session, parts, url, errorText);
    if (curl == nullptr) {
        return {BEXORESULT_NETWORK_ERROR, false};
    }
    bool bodyRefused = false;
    if (head) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, RefuseBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bodyRefused);
    }
    Transfer transfer;
    transfer.curl = curl;
    transfer.callback = callback;
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_WRITE_ERROR && bodyRefused) {
        code = CURLE_OK;
    }
    HttpOutcome outcome;
    if (transfer.cancelled) {
        outcome = {BEXORESULT_ABORTED, true};
    } else if (code != CURLE_OK) {
        outcome = HttpFailure(curl, code, parts, url, 0, errorText);
    } else {
        curl_off_t length = -1;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length < 0) {
            SystemLog("HttpQueryInfo returned %d", CURLE_OK);
            outcome.result = BEXORESULT_NETWORK_ERROR;
        } else {
            *size = static_cast<std::uint64_t>(length);
        }
    }
    curl_easy_cleanup(curl);
    return outcome;
}

// Errors after which the connection is gone, as a reset or abort is for WinINet.
bool IsConnectionLost(int code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_FTP_WEIRD_SERVER_REPLY:
        case CURLE_FTP_WEIRD_PASV_REPLY:
        case CURLE_FTP_CANT_GET_HOST:
        case CURLE_FTP_ACCEPT_FAILED:
        case CURLE_FTP_ACCEPT_TIMEOUT:
            return true;
        default:
            return false;
    }
}

}  // namespace inet

BexoInetSession* GetInternetSession() {
    // Lives until the process ends, like the WinINet session it stands for.
    static std::mutex lock;
    static BexoInetSession session;
    static bool created = false;
    const std::lock_guard<std::mutex> guard(lock);
    if (!created) {
        const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code != CURLE_OK) {
            SystemLog("BexoInetInternal::CreateInternetSession> InternetOpen failed with error %d",
                      code);
            return nullptr;
        }
        created = true;
    }
    return &session;
}

void BexoFTP::Close() {
    if (m_connection != nullptr) {
        curl_easy_cleanup(static_cast<CURL*>(m_connection));
        m_connection = nullptr;
    }
}

std::string BexoFTP::FileURL(const std::string& path) const {
    return "ftp://" + m_host + ":" + std::to_string(m_port) + "/" + inet::EscapePath(path);
}

BEXORESULT BexoFTP::Open(const std::string& host, const std::string& user,
                         const std::string& password, bool passive, std::int32_t port) {
    m_host = host;
    m_user = user;
    m_password = password;
    m_passive = passive;
    m_port = port > 0 ? port : 21;

    Close();
    m_session = GetInternetSession();
    CURL* curl = m_session != nullptr ? curl_easy_init() : nullptr;
    if (curl == nullptr) {
        SystemLog("BexoFTP::Open> Connection to \"%s\" failed with error %d", host.c_str(),
                  CURLE_FAILED_INIT);
        return BEXORESULT_NETWORK_ERROR;
    }
    SetCommonOptions(curl, m_session);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
    if (!user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    }
    if (!passive) {
        curl_easy_setopt(curl, CURLOPT_FTPPORT, "-");
    }
    // Logging in is what connecting means here; the connection stays with the handle.
    const std::string root = FileURL("");
    curl_easy_setopt(curl, CURLOPT_URL, root.c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
        m_lastError = code;
        SystemLog("BexoFTP::Open> Connection to \"%s\" failed with error %d", host.c_str(), code);
        curl_easy_cleanup(curl);
        return BEXORESULT_NETWORK_ERROR;
    }
    m_connection = curl;
    return BEXORESULT_OK;
}

BEXORESULT BexoFTP::GetFileSize(const std::string& path, std::uint64_t* size) {
    *size = 0;
    if (!IsConnected()) {
        return BEXORESULT_INVALID_STATE;
    }
    const std::string address = FileURL(path);
    for (int attempt = 0; attempt < 2 && IsConnected(); ++attempt) {
        auto* curl = static_cast<CURL*>(m_connection);
        curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
        const CURLcode code = curl_easy_perform(curl);
        curl_off_t length = -1;
        if (code == CURLE_OK) {
            curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            if (length >= 0) {
                *size = static_cast<std::uint64_t>(length);
                return BEXORESULT_OK;
            }
        }
        m_lastError = code;
        SystemLog("FtpOpenFile returned %d.", code);
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
    BEXORESULT result = buffer->Seek(offset);
    if (result != BEXORESULT_OK) {
        return result;
    }
    const std::string address = FileURL(path);
    int lastCode = CURLE_OK;
    for (int attempt = 0; attempt < 2 && IsConnected();) {
        auto* curl = static_cast<CURL*>(m_connection);
        Transfer transfer;
        transfer.curl = curl;
        transfer.buffer = buffer;
        transfer.callback = callback;
        SetTransferCallbacks(curl, &transfer);
        curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
        curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
        const CURLcode code = curl_easy_perform(curl);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
        if (code == CURLE_OK) {
            return BEXORESULT_OK;
        }
        if (transfer.cancelled) {
            return BEXORESULT_ABORTED;
        }
        if (transfer.writeResult != BEXORESULT_OK) {
            return transfer.writeResult;
        }
        m_lastError = code;
        lastCode = code;
        if (transfer.received != 0) {
            SystemLog("InternetReadFile returned %d with actualByteCount=%llu", code,
                      static_cast<unsigned long long>(transfer.received));
            return BEXORESULT_NETWORK_ERROR;
        }
        if (offset != 0 &&
            (code == CURLE_FTP_COULDNT_USE_REST || code == CURLE_BAD_DOWNLOAD_RESUME)) {
            SystemLog("BexoFTP::GetFileAtPath> unable to resume download of \"%s\" (error %d).",
                      path.c_str(), code);
            offset = 0;
            if (const BEXORESULT emptied = inet::RestartContent(buffer, 0);
                emptied != BEXORESULT_OK) {
                return emptied;
            }
            continue;
        }
        ++attempt;
        if (inet::IsConnectionLost(code)) {
            // The restart offset is lost with the connection.
            SystemLog(
                "BexoFTP::GetFileAtPath> connection lost before \"%s\" opened (error %d), "
                "starting again from byte 0.",
                path.c_str(), code);
            offset = 0;
            if (const BEXORESULT emptied = inet::RestartContent(buffer, 0);
                emptied != BEXORESULT_OK) {
                return emptied;
            }
            Reconnect();
        }
    }
    SystemLog("FtpOpenFile returned %d.", lastCode);
    return BEXORESULT_NETWORK_ERROR;
}
