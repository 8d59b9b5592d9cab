// HTTP and FTP transfers into data buffers. Every call blocks its thread; calls from
// different threads share only the process-wide session. Log lines go to the system log.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "kernel/BexoResult.h"
#include "repair/buffer/BexoDataBuffer.h"

struct ParsedURL {
    std::string scheme;
    std::string host;
    std::int32_t port = 0;
    std::string user;
    std::string password;
    // After the first "/" that follows the host part, without that slash.
    std::string path;
};

// Splits a URL into its parts; INVALID_ARGUMENT for an empty host or a password
// without a user name. The scheme is lower-cased; the default rules are not applied.
BEXORESULT ParseURL(const std::string& url, ParsedURL* parts);
// Fills an empty scheme from the port (21, 80, 443), else from the host's prefix.
void ApplyDefaultScheme(ParsedURL* parts);

// Polled before every 16 KiB chunk, while a transfer waits for data and during the
// pauses between attempts; true stops the transfer.
class DownloadURLCallback {
public:
    DownloadURLCallback() = default;
    DownloadURLCallback(const DownloadURLCallback&) = delete;
    DownloadURLCallback& operator=(const DownloadURLCallback&) = delete;
    virtual ~DownloadURLCallback() = default;
    virtual bool IsCancelled() = 0;
};

enum : std::uint32_t {
    DOWNLOAD_BYPASS_CACHE = 1,  // HTTP only: no-cache request headers
};

// Fetches an "http", "https" or "ftp" URL into the buffer at its position (FTP: at its
// size, resuming). HTTP statuses of 400 and above fail; a 4xx other than 408 and 429
// ends the call at once. A retried HTTP transfer resumes with a Range request, or
// starts again at the first attempt's position when the server sends the whole body.
// On success the buffer ends where the content ends. The callback may be null.
// A failure that no retry mends (an untrusted certificate, an unknown server name, a
// redirection from https to http) ends the call at once, and its text for the user goes
// to `problem` when given (left empty for other failures).
BEXORESULT DownloadURL(const std::string& url, BexoDataBuffer* buffer, std::uint32_t flags,
                       DownloadURLCallback* callback, std::wstring* problem = nullptr);
// The size of the resource; 0 unless the result is OK. The callback (may be null) stops
// the query (ABORTED), as it stops a download. A server that refuses HEAD is asked with a
// GET whose body is not read; `problem` is filled as DownloadURL fills it.
BEXORESULT GetURLSize(const std::string& url, std::uint64_t* size,
                      DownloadURLCallback* callback = nullptr, std::wstring* problem = nullptr);

// The pause between attempts of DownloadURL and GetURLSize (1000 ms unless changed);
// tests shorten it. A cancel request ends a pause early.
void SetDownloadRetryPause(std::chrono::milliseconds pause);

// The process-wide transfer session, set up on the first call; null when that failed
// (the next call tries again).
struct BexoInetSession;
BexoInetSession* GetInternetSession();

// One FTP connection. Destroying it closes the connection, never the session.
class BexoFTP {
public:
    BexoFTP();
    ~BexoFTP();
    BexoFTP(const BexoFTP&) = delete;
    BexoFTP& operator=(const BexoFTP&) = delete;

    // Connects and logs in. A port of 0 or below means 21.
    BEXORESULT Open(const std::string& host, const std::string& user, const std::string& password,
                    bool passive, std::int32_t port = 0);
    BEXORESULT GetFileSize(const std::string& path, std::uint64_t* size);
    // Writes the file into the buffer from the buffer's current size on, asking the
    // server to restart there (REST); when it will not, the buffer is emptied first.
    BEXORESULT GetFileAtPath(const std::string& path, BexoDataBuffer* buffer,
                             DownloadURLCallback* callback);
    // Opens again after a lost connection; always NETWORK_ERROR (called on failure paths).
    BEXORESULT Reconnect();

    bool IsConnected() const { return m_connection != nullptr; }

private:
    void Close();
    // The URL of a file on this connection's server, for libcurl.
    std::string FileURL(const std::string& path) const;

    BexoInetSession* m_session = nullptr;
    void* m_connection = nullptr;
    std::string m_host;
    std::string m_user;
    std::string m_password;
    bool m_passive = true;
    std::int32_t m_port = 21;
    // The transport's error of the last failed step (a libcurl code, or WinINet's last
    // error on Windows), for Reconnect.
    int m_lastError = 0;
};
