#include "platform/Inet.h"

#include <cwchar>
#include <vector>

#include "platform/Utf8.h"
#include "platform/win32/WinApi.h"

// After windows.h, which it builds on.
#include <wininet.h>

// The platform layer's own functions of these names.
#undef FtpCommand
#undef FtpOpenFile
#undef HttpOpenRequest
#undef HttpQueryInfo
#undef HttpSendRequest
#undef InternetConnect
#undef InternetGetLastResponseInfo
#undef InternetOpen

namespace Platform {

namespace {

HINTERNET ToInternet(InternetHandle handle) {
    return reinterpret_cast<HINTERNET>(handle);
}

InternetHandle FromInternet(HINTERNET handle) {
    return reinterpret_cast<InternetHandle>(handle);
}

// Null for an empty text, as WinINet takes "none".
const wchar_t* OrNull(const std::wstring& text) {
    return text.empty() ? nullptr : text.c_str();
}

}  // namespace

InternetHandle InternetOpen(const std::string& agent) {
    return FromInternet(::InternetOpenW(DecodeUtf8(agent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG,
                                        nullptr, nullptr, 0));
}

void InternetSetTimeouts(InternetHandle handle, DWORD connectMilliseconds,
                         DWORD receiveMilliseconds) {
    ::DWORD connect = connectMilliseconds;
    ::DWORD receive = receiveMilliseconds;
    ::InternetSetOptionW(ToInternet(handle), INTERNET_OPTION_CONNECT_TIMEOUT, &connect,
                         sizeof connect);
    ::InternetSetOptionW(ToInternet(handle), INTERNET_OPTION_RECEIVE_TIMEOUT, &receive,
                         sizeof receive);
    ::InternetSetOptionW(ToInternet(handle), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &receive,
                         sizeof receive);
}

InternetHandle InternetConnect(InternetHandle session, const std::string& host, std::uint16_t port,
                               const std::string& user, const std::string& password,
                               InternetService service, DWORD flags) {
    const std::wstring wideUser = DecodeUtf8(user);
    const std::wstring widePassword = DecodeUtf8(password);
    return FromInternet(::InternetConnectW(
        ToInternet(session), DecodeUtf8(host).c_str(), port, OrNull(wideUser),
        wideUser.empty() ? nullptr : widePassword.c_str(),
        service == InternetService::Ftp ? INTERNET_SERVICE_FTP : INTERNET_SERVICE_HTTP, flags, 0));
}

bool InternetReadFile(InternetHandle file, void* data, DWORD size, DWORD* read) {
    ::DWORD count = 0;
    const bool ok = ::InternetReadFile(ToInternet(file), data, size, &count) != 0;
    *read = count;
    return ok;
}

void InternetCloseHandle(InternetHandle handle) {
    if (handle != nullptr) {
        ::InternetCloseHandle(ToInternet(handle));
    }
}

std::string InternetGetLastResponseInfo() {
    std::vector<wchar_t> text(512);
    for (;;) {
        ::DWORD error = 0;
        auto length = static_cast<::DWORD>(text.size());
        if (::InternetGetLastResponseInfoW(&error, text.data(), &length) != 0) {
            // The length may count the terminating null.
            return EncodeUtf8(std::wstring_view(text.data(), ::wcsnlen(text.data(), length)));
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || length <= text.size()) {
            return {};
        }
        text.resize(length + 1);
    }
}

InternetHandle HttpOpenRequest(InternetHandle connection, const char* verb,
                               const std::string& object, DWORD flags) {
    const wchar_t* accept[] = {L"*/*", nullptr};
    return FromInternet(::HttpOpenRequestW(ToInternet(connection), DecodeUtf8(verb).c_str(),
                                           DecodeUtf8(object).c_str(), nullptr, nullptr, accept,
                                           flags, 0));
}

bool HttpSendRequest(InternetHandle request, const std::string& headers) {
    const std::wstring wide = DecodeUtf8(headers);
    return ::HttpSendRequestW(ToInternet(request), OrNull(wide),
                              wide.empty() ? 0 : static_cast<::DWORD>(wide.size()), nullptr,
                              0) != 0;
}

bool HttpQueryInfo(InternetHandle request, DWORD level, std::string* value) {
    std::vector<wchar_t> text(64);
    for (;;) {
        auto bytes = static_cast<::DWORD>(text.size() * sizeof(wchar_t));
        ::DWORD index = 0;
        if (::HttpQueryInfoW(ToInternet(request), level, text.data(), &bytes, &index) != 0) {
            *value = EncodeUtf8(std::wstring_view(text.data(), bytes / sizeof(wchar_t)));
            return true;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        text.resize(bytes / sizeof(wchar_t) + 1);
    }
}

InternetHandle FtpOpenFile(InternetHandle connection, const std::string& path) {
    return FromInternet(::FtpOpenFileW(ToInternet(connection), DecodeUtf8(path).c_str(),
                                       GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0));
}

bool FtpGetFileSize(InternetHandle file, std::uint64_t* size) {
    ::DWORD high = 0;
    ::SetLastError(NO_ERROR);
    const ::DWORD low = ::FtpGetFileSize(ToInternet(file), &high);
    if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
        return false;
    }
    *size = (static_cast<std::uint64_t>(high) << 32) | low;
    return true;
}

bool FtpCommand(InternetHandle connection, const std::string& command, bool binary) {
    return ::FtpCommandW(ToInternet(connection), FALSE,
                         binary ? FTP_TRANSFER_TYPE_BINARY : FTP_TRANSFER_TYPE_ASCII,
                         DecodeUtf8(command).c_str(), 0, nullptr) != 0;
}

}  // namespace Platform
