#include "net/BexoInet.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <thread>

#include "kernel/MessageCatalogue.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "net/InetTransport.h"

namespace {

constexpr int kHttpAttempts = 11;
constexpr int kFtpDownloadAttempts = 11;
constexpr int kFtpSizeAttempts = 5;

std::atomic<std::int64_t> g_retryPauseMs{1000};

struct SplitText {
    std::string head;
    std::string tail;
};

// Steps 1 and 2 put the whole text in the tail when the separator is missing, the
// later steps put it in the head.
SplitText Split(const std::string& text, const char* separator, bool missingGoesToTail) {
    const std::size_t at = text.find(separator);
    if (at == std::string::npos) {
        return missingGoesToTail ? SplitText{"", text} : SplitText{text, ""};
    }
    return {text.substr(0, at), text.substr(at + std::char_traits<char>::length(separator))};
}

// Leading white space, an optional sign, digits up to the first non-digit; 0 without
// digits, and values that do not fit a port are 0 too.
std::int32_t ParsePortText(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 0x7FFFFFFF) {
            return 0;
        }
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t length = std::char_traits<char>::length(prefix);
    if (text.size() < length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Sleeps the retry pause in short slices; true when the callback cancelled meanwhile.
bool PauseBeforeRetry(DownloadURLCallback* callback) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(g_retryPauseMs.load());
    for (;;) {
        if (callback != nullptr && callback->IsCancelled()) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(20)));
    }
}

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

namespace inet {

bool CheckContentRange(const std::string& contentRange, std::uint64_t from,
                       HttpResource* resource) {
    // "bytes FIRST-LAST/TOTAL"
    const std::string text = Trim(contentRange);
    const std::size_t dash = text.find('-');
    const std::size_t slash = text.find('/');
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
    const bool parsed = StartsWithNoCase(text, "bytes ") && dash != std::string::npos &&
                        slash != std::string::npos && dash < slash &&
                        ParseDecimal(Trim(text.substr(6, dash - 6)), &first) &&
                        ParseDecimal(Trim(text.substr(dash + 1, slash - dash - 1)), &last) &&
                        ParseDecimal(Trim(text.substr(slash + 1)), &total);
    if (!parsed || first != from || last + 1 != total ||
        (resource->total != 0 && total != resource->total)) {
        SystemLog(
            "DownloadURL> the partial answer \"Content-Range: %s\" does not continue at "
            "byte %llu of %llu bytes",
            contentRange.c_str(), static_cast<unsigned long long>(from),
            static_cast<unsigned long long>(resource->total));
        return false;
    }
    resource->total = total;
    return true;
}

void NoteWholeLength(std::uint64_t length, HttpResource* resource) {
    resource->total = length;
}

std::string EscapePath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        const bool escape = c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}#", c) != nullptr ||
                            (c == '%' && (i + 2 >= path.size() || !IsHexDigit(path[i + 1]) ||
                                          !IsHexDigit(path[i + 2])));
        if (escape) {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 0xF];
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return escaped;
}

HttpOutcome Refuse(Refusal why, const std::string& host, const std::string& detail) {
    HttpOutcome outcome{BEXORESULT_NETWORK_ERROR, true};
    switch (why) {
        case Refusal::kCertificate:
            outcome.problem = FillFields(LoadMessage(270), {ToWide(host), ToWide(detail)});
            break;
        case Refusal::kUnknownHost:
            outcome.problem = FillFields(LoadMessage(271), {ToWide(host)});
            break;
        case Refusal::kRedirectToHttp:
            outcome.problem = FillFields(LoadMessage(186), {ToWide(host)});
            break;
    }
    SystemLog("DownloadURL> %s", ToNarrow(outcome.problem).c_str());
    return outcome;
}

std::uint16_t HttpPort(const ParsedURL& parts) {
    if (parts.port > 0 && parts.port <= 0xFFFF) {
        return static_cast<std::uint16_t>(parts.port);
    }
    return parts.scheme == "https" ? 443 : 80;
}

bool IsFinalHttpStatus(long status) {
    return status >= 400 && status < 500 && status != 408 && status != 429;
}

bool ContentSink::Write(const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        if (callback != nullptr && callback->IsCancelled()) {
            cancelled = true;
            return false;
        }
        const auto piece =
            static_cast<std::uint32_t>(std::min<std::size_t>(size - done, kChunkSize));
        const BEXORESULT result = buffer->WriteData(data + done, piece);
        if (result != BEXORESULT_OK) {
            SystemLog("WriteData returned %d", result);
            writeResult = result;
            return false;
        }
        done += piece;
        received += piece;
    }
    return true;
}

BEXORESULT RestartContent(BexoDataBuffer* buffer, std::uint64_t start) {
    const BEXORESULT result = buffer->SetSize(start);
    return result == BEXORESULT_OK ? buffer->Seek(start) : result;
}

}  // namespace inet

BEXORESULT ParseURL(const std::string& url, ParsedURL* parts) {
    const SplitText scheme = Split(url, "://", true);
    const SplitText userinfo = Split(scheme.tail, "@", true);
    const SplitText credentials = Split(userinfo.head, ":", false);
    const SplitText hostpath = Split(userinfo.tail, "/", false);
    const SplitText hostport = Split(hostpath.head, ":", false);

    parts->scheme = scheme.head;
    for (char& c : parts->scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    parts->user = credentials.head;
    parts->password = credentials.tail;
    parts->host = hostport.head;
    parts->port = ParsePortText(hostport.tail);
    parts->path = hostpath.tail;
    if (parts->host.empty() || (parts->user.empty() && !parts->password.empty())) {
        return BEXORESULT_INVALID_ARGUMENT;
    }
    return BEXORESULT_OK;
}

void ApplyDefaultScheme(ParsedURL* parts) {
    if (!parts->scheme.empty()) {
        return;
    }
    if (parts->port == 21 ||
        (parts->port != 80 && parts->port != 443 && StartsWithNoCase(parts->host, "ftp"))) {
        parts->scheme = "ftp";
    } else if (parts->port == 443 ||
               (parts->port != 80 && StartsWithNoCase(parts->host, "https"))) {
        parts->scheme = "https";
    } else {
        parts->scheme = "http";
    }
}

void SetDownloadRetryPause(std::chrono::milliseconds pause) {
    g_retryPauseMs.store(pause.count());
}

BEXORESULT DownloadURL(const std::string& url, BexoDataBuffer* buffer, std::uint32_t flags,
                       DownloadURLCallback* callback, std::wstring* problem) {
    if (problem != nullptr) {
        problem->clear();
    }
    ParsedURL parts;
    const BEXORESULT parsed = ParseURL(url, &parts);
    if (parsed != BEXORESULT_OK) {
        return parsed;
    }
    ApplyDefaultScheme(&parts);

    if (parts.scheme == "ftp") {
        BEXORESULT result = BEXORESULT_NETWORK_ERROR;
        for (int attempt = 0; attempt < kFtpDownloadAttempts; ++attempt) {
            if (attempt > 0 && PauseBeforeRetry(callback)) {
                return result;
            }
            BexoFTP ftp;
            result = ftp.Open(parts.host, parts.user, parts.password, true, parts.port);
            if (result != BEXORESULT_OK) {
                continue;
            }
            result = ftp.GetFileAtPath(parts.path, buffer, callback);
            if (result == BEXORESULT_OK) {
                return result;
            }
            if (result == BEXORESULT_ABORTED || result == BEXORESULT_DISK_FULL ||
                (callback != nullptr && callback->IsCancelled())) {
                return result;
            }
        }
        return result;
    }

    if (parts.scheme == "http" || parts.scheme == "https") {
        inet::HttpResource resource;
        resource.contentStart = buffer->GetPosition();
        inet::HttpOutcome outcome;
        for (int attempt = 0; attempt < kHttpAttempts; ++attempt) {
            if (attempt > 0 && PauseBeforeRetry(callback)) {
                return outcome.result;
            }
            outcome = inet::HttpGet(parts, url, buffer, flags, callback, &resource);
            if (outcome.result == BEXORESULT_OK) {
                // An older, longer content must not keep its tail.
                if (buffer->GetSize() > buffer->GetPosition()) {
                    return buffer->SetSize(buffer->GetPosition());
                }
                return BEXORESULT_OK;
            }
            // A full disk stays full: another attempt would only download again.
            if (outcome.final || outcome.result == BEXORESULT_DISK_FULL ||
                (callback != nullptr && callback->IsCancelled())) {
                if (problem != nullptr) {
                    *problem = outcome.problem;
                }
                return outcome.result;
            }
        }
        return outcome.result;
    }
    return BEXORESULT_BAD_DATA;
}

BEXORESULT GetURLSize(const std::string& url, std::uint64_t* size, DownloadURLCallback* callback,
                      std::wstring* problem) {
    *size = 0;
    if (problem != nullptr) {
        problem->clear();
    }
    ParsedURL parts;
    const BEXORESULT parsed = ParseURL(url, &parts);
    if (parsed != BEXORESULT_OK) {
        return parsed;
    }
    ApplyDefaultScheme(&parts);

    BEXORESULT result = BEXORESULT_BAD_DATA;
    if (parts.scheme == "http" || parts.scheme == "https") {
        for (int attempt = 0; attempt < kHttpAttempts; ++attempt) {
            if (attempt > 0 && PauseBeforeRetry(callback)) {
                result = BEXORESULT_ABORTED;
                break;
            }
            inet::HttpOutcome outcome = inet::HttpSize(parts, url, true, size, callback);
            if (outcome.status == 405 || outcome.status == 501) {
                // A server that will not answer HEAD (405 Method Not Allowed, 501 Not
                // Implemented): ask with a GET.
                SystemLog("GetURLSize> HEAD refused with status %ld, asking with GET",
                          outcome.status);
                outcome = inet::HttpSize(parts, url, false, size, callback);
            }
            result = outcome.result;
            if (outcome.final && problem != nullptr) {
                *problem = outcome.problem;
            }
            if (result == BEXORESULT_OK || outcome.final) {
                break;
            }
        }
    } else if (parts.scheme == "ftp") {
        for (int attempt = 0; attempt < kFtpSizeAttempts; ++attempt) {
            if (attempt > 0 && PauseBeforeRetry(callback)) {
                result = BEXORESULT_ABORTED;
                break;
            }
            BexoFTP ftp;
            result = ftp.Open(parts.host, parts.user, parts.password, true, parts.port);
            if (result == BEXORESULT_OK) {
                result = ftp.GetFileSize(parts.path, size);
            }
            if (result == BEXORESULT_OK) {
                break;
            }
        }
    }
    if (result != BEXORESULT_OK) {
        *size = 0;
    }
    return result;
}

BexoFTP::BexoFTP() = default;

BexoFTP::~BexoFTP() {
    Close();
}

BEXORESULT BexoFTP::Reconnect() {
    if (inet::IsConnectionLost(m_lastError)) {
        Open(m_host, m_user, m_password, m_passive, m_port);
    }
    return BEXORESULT_NETWORK_ERROR;
}
