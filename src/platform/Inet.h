// WinINet, Windows' HTTP and FTP client, for the net layer's transfers on Windows. Only
// the Win32 backend has these calls: elsewhere the net layer transfers through libcurl,
// a library rather than the OS. Strings are UTF-8; a failed call leaves WinINet's error
// as the thread's last error.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Win32Types.h"

namespace Platform {

struct InternetObject;
using InternetHandle = InternetObject*;

// Flags of InternetConnect and HttpOpenRequest, WinINet's INTERNET_FLAG_ values.
namespace InternetFlag {
constexpr DWORD Reload = 0x80000000u;
constexpr DWORD Passive = 0x08000000u;
constexpr DWORD NoCacheWrite = 0x04000000u;
constexpr DWORD Secure = 0x00800000u;
constexpr DWORD NoUi = 0x00000200u;
constexpr DWORD PragmaNoCache = 0x00000100u;
}  // namespace InternetFlag

// HttpQueryInfo's HTTP_QUERY_ levels.
namespace HttpQuery {
constexpr DWORD ContentLength = 5;
constexpr DWORD StatusCode = 19;
constexpr DWORD ContentRange = 53;
}  // namespace HttpQuery

namespace Error {
constexpr DWORD InternetNameNotResolved = 12007;
constexpr DWORD InternetConnectionAborted = 12030;
constexpr DWORD InternetConnectionReset = 12031;
constexpr DWORD InternetSecCertDateInvalid = 12037;
constexpr DWORD InternetSecCertCnInvalid = 12038;
constexpr DWORD InternetHttpsToHttpOnRedirect = 12040;
constexpr DWORD InternetInvalidCa = 12045;
constexpr DWORD InternetSecCertErrors = 12055;
constexpr DWORD InternetSecCertNoRevocation = 12056;
constexpr DWORD InternetSecCertRevocationFailed = 12057;
constexpr DWORD InternetSecInvalidCert = 12169;
constexpr DWORD InternetSecCertRevoked = 12170;
}  // namespace Error

enum class InternetService { Ftp, Http };

// The session, with the system's proxy settings (INTERNET_OPEN_TYPE_PRECONFIG).
InternetHandle InternetOpen(const std::string& agent);
// The time limits for connecting and for receiving, for the handle and what is opened
// under it.
void InternetSetTimeouts(InternetHandle handle, DWORD connectMilliseconds,
                         DWORD receiveMilliseconds);
// An empty user means anonymous (FTP) or none (HTTP). For FTP this connects and logs in.
InternetHandle InternetConnect(InternetHandle session, const std::string& host, std::uint16_t port,
                               const std::string& user, const std::string& password,
                               InternetService service, DWORD flags);
// True with *read 0 at the end of the data.
bool InternetReadFile(InternetHandle file, void* data, DWORD size, DWORD* read);
void InternetCloseHandle(InternetHandle handle);
// The text of the server's last reply on this thread (FTP).
std::string InternetGetLastResponseInfo();

// A request that accepts any type ("*/*"); the object is the path from the server's root.
InternetHandle HttpOpenRequest(InternetHandle connection, const char* verb,
                               const std::string& object, DWORD flags);
// Sends the request with extra header lines, each ending in "\r\n".
bool HttpSendRequest(InternetHandle request, const std::string& headers);
// A header of the response as text; false when the response has none.
bool HttpQueryInfo(InternetHandle request, DWORD level, std::string* value);

// Opens a file on the server for reading in binary mode.
InternetHandle FtpOpenFile(InternetHandle connection, const std::string& path);
bool FtpGetFileSize(InternetHandle file, std::uint64_t* size);
// Sends a command that opens no data connection; true when the server's reply is a
// positive one (WinINet's judgement). The reply's text is then
// InternetGetLastResponseInfo.
bool FtpCommand(InternetHandle connection, const std::string& command, bool binary);

}  // namespace Platform
