// The transports behind BexoInet's front, one per system: libcurl on Linux, WinINet on
// Windows. The front parses URLs and runs the attempts; a transport runs one attempt and
// implements BexoFTP's connection. Private to the net library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/BexoResult.h"
#include "net/BexoInet.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace inet {

// Bytes written to the buffer per write, and per poll of the cancel callback.
constexpr std::uint32_t kChunkSize = 16384;
constexpr std::uint32_t kConnectTimeoutSeconds = 30;
// A transfer that moves nothing for this long is taken as lost.
constexpr std::uint32_t kStallSeconds = 60;

struct HttpOutcome {
    HttpOutcome() = default;
    HttpOutcome(BEXORESULT code, bool isFinal, long httpStatus = 0)
        : result(code), final(isFinal), status(httpStatus) {}

    BEXORESULT result = BEXORESULT_OK;
    // A failure that a retry will not change.
    bool final = false;
    // The HTTP status of an answer that failed; 0 when no answer came.
    long status = 0;
    // For a refusal (Refuse): the text for the user.
    std::wstring problem;
};

// What the attempts of one download learnt about the resource: where its content starts
// in the buffer, and its whole length (0 while unknown).
struct HttpResource {
    std::uint64_t contentStart = 0;
    std::uint64_t total = 0;
};

// One GET of an "http" or "https" URL into the buffer at its position. When the position
// is past the content's start, what lies between was fetched by an earlier attempt: the
// rest is asked for with a Range request. The content starts over when the server sends
// the whole body instead; a partial answer whose range does not fit (CheckContentRange)
// drops what was kept and fails, so the next attempt starts over.
HttpOutcome HttpGet(const ParsedURL& parts, const std::string& url, BexoDataBuffer* buffer,
                    std::uint32_t flags, DownloadURLCallback* callback, HttpResource* resource);
// One size query of an "http" or "https" URL: the Content-Length of the headers of a HEAD
// request, or of a GET whose body is not read. The callback (may be null) ends a query
// that waits for the server.
HttpOutcome HttpSize(const ParsedURL& parts, const std::string& url, bool head, std::uint64_t* size,
                     DownloadURLCallback* callback);

// Whether a 206 answer's Content-Range ("bytes FIRST-LAST/TOTAL") starts at `from`, ends
// at its total's last byte and names the total the resource had (when known); the total
// becomes known from it. Anything else is logged.
bool CheckContentRange(const std::string& contentRange, std::uint64_t from, HttpResource* resource);
// The length of a whole (200) answer tells the resource's total.
void NoteWholeLength(std::uint64_t length, HttpResource* resource);

// The URL's path, percent-encoded where it holds what a URL may not: spaces, control
// characters, bytes above 127, and "%" that does not start an escape.
std::string EscapePath(const std::string& path);

// Failures that no retry mends: logged, final, with their text for the user.
enum class Refusal {
    kCertificate,     // detail: why the certificate is not trusted
    kUnknownHost,     // the host name could not be resolved
    kRedirectToHttp,  // an https address redirected to plain http
};
HttpOutcome Refuse(Refusal why, const std::string& host, const std::string& detail);

// The port of an HTTP request: the URL's, else the scheme's default.
std::uint16_t HttpPort(const ParsedURL& parts);
// Whether an HTTP error status ends the call at once: a 4xx other than 408 and 429.
bool IsFinalHttpStatus(long status);

// Writes a response into the buffer in chunks, polling the cancel callback before each.
struct ContentSink {
    BexoDataBuffer* buffer = nullptr;
    DownloadURLCallback* callback = nullptr;
    BEXORESULT writeResult = BEXORESULT_OK;
    bool cancelled = false;
    std::uint64_t received = 0;

    // False when the callback cancelled or a write failed (then logged).
    bool Write(const char* data, std::size_t size);
};

// Whether a transport's error code means the FTP connection is gone (a reset or abort),
// so that a reconnect may help.
bool IsConnectionLost(int code);

// Cuts the buffer to `start` and seeks there, for content that starts over.
BEXORESULT RestartContent(BexoDataBuffer* buffer, std::uint64_t start);

}  // namespace inet
