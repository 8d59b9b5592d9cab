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
    BEXORESULT result = BEXORESULT_OK;
    // A failure that a retry will not change.
    bool final = false;
};

// One GET of an "http" or "https" URL into the buffer at its position. When the position
// is past contentStart, what lies between was fetched by an earlier attempt: the rest is
// asked for with a Range request, and the content starts over at contentStart when the
// server sends the whole body instead.
HttpOutcome HttpGet(const ParsedURL& parts, const std::string& url, BexoDataBuffer* buffer,
                    std::uint32_t flags, DownloadURLCallback* callback, std::uint64_t contentStart);
// One size query of an "http" or "https" URL: the Content-Length of its headers. The
// callback (may be null) ends a query that waits for the server.
HttpOutcome HttpSize(const ParsedURL& parts, const std::string& url, std::uint64_t* size,
                     DownloadURLCallback* callback);

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
