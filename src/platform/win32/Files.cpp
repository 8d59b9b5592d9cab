#include "platform/Files.h"

#include <io.h>

#include <cerrno>

#include "platform/FileFaults.h"
#include "platform/System.h"
#include "platform/Utf8.h"
#include "platform/win32/WinApi.h"

namespace Platform {

namespace {

bool FailFromErrno() {
    SetLastErrorFromErrno(errno);
    return false;
}

// Closes a Win32 file handle when it goes out of scope.
class HandleCloser {
public:
    explicit HandleCloser(HANDLE handle) : m_handle(handle) {}
    ~HandleCloser() {
        if (m_handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_handle);
        }
    }
    HandleCloser(const HandleCloser&) = delete;
    HandleCloser& operator=(const HandleCloser&) = delete;

private:
    HANDLE m_handle;
};

// FILETIME counts 100 ns steps from 1601; the layers above count seconds from 1970.
std::int64_t UnixSeconds(const FILETIME& time) {
    const auto ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000LL;
    return (ticks - kTicksFrom1601To1970) / 10000000LL;
}

std::wstring WideMode(const char* mode) {
    std::wstring out;
    for (const char* c = mode; *c != '\0'; ++c) {
        out += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    return out;
}

// Flushes one file's data and size, or a directory's entries, through a handle of its
// own: the cache is the file's, whoever wrote it. Files that cannot be opened for
// writing are left out: a read-only file, and a file another program holds without
// write sharing (a running program), cannot have unwritten changes of this process.
bool FlushOne(const std::wstring& path, bool directory) {
    const HANDLE handle = ::CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        directory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const ::DWORD error = ::GetLastError();
        return !directory && (error == ERROR_SHARING_VIOLATION ||
                              (error == ERROR_ACCESS_DENIED && (::GetFileAttributesW(path.c_str()) &
                                                                FILE_ATTRIBUTE_READONLY) != 0));
    }
    HandleCloser closer(handle);
    return ::FlushFileBuffers(handle) != 0;
}

bool FlushTree(const std::wstring& directory) {
    WIN32_FIND_DATAW data{};
    const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring child = directory + L"\\" + name;
        ok = ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FlushTree(child)
                                                                      : FlushOne(child, false)) &&
             ok;
    } while (::FindNextFileW(search, &data) != 0);
    ::FindClose(search);
    return FlushOne(directory, true) && ok;
}

// The whole volume that holds the path, through its device ("\\.\C:"): administrators only.
bool FlushVolume(const std::wstring& path) {
    wchar_t root[MAX_PATH] = {};
    if (::GetVolumePathNameW(path.c_str(), root, MAX_PATH) == 0) {
        return false;
    }
    std::wstring device = root;
    if (!device.empty() && device.back() == L'\\') {
        device.pop_back();
    }
    if (device.size() != 2 || device[1] != L':') {
        return false;
    }
    device = L"\\\\.\\" + device;
    const HANDLE volume =
        ::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        return false;
    }
    HandleCloser closer(volume);
    return ::FlushFileBuffers(volume) != 0;
}

}  // namespace

bool WindowsFileNames() {
    return true;
}

std::string ToSystemPath(const std::wstring& path) {
    return EncodeUtf8(Win32Path(path));
}

std::wstring FromSystemPath(const std::string& path) {
    return Win32Path(DecodeUtf8(path));
}

std::optional<FileAttributes> GetFileAttributes(const std::wstring& path) {
    const DWORD bits = ::GetFileAttributesW(Win32Path(path).c_str());
    if (bits == INVALID_FILE_ATTRIBUTES) {
        return std::nullopt;
    }
    FileAttributes attributes;
    attributes.directory = (bits & FILE_ATTRIBUTE_DIRECTORY) != 0;
    attributes.readOnly = (bits & FILE_ATTRIBUTE_READONLY) != 0;
    attributes.device = (bits & FILE_ATTRIBUTE_DEVICE) != 0;
    return attributes;
}

bool SetFileReadOnly(const std::wstring& path, bool readOnly) {
    const std::wstring p = Win32Path(path);
    DWORD bits = ::GetFileAttributesW(p.c_str());
    if (bits == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    bits = readOnly ? (bits | FILE_ATTRIBUTE_READONLY) : (bits & ~FILE_ATTRIBUTE_READONLY);
    // A file with no other attribute left takes FILE_ATTRIBUTE_NORMAL, as the call wants.
    return ::SetFileAttributesW(p.c_str(), bits == 0 ? FILE_ATTRIBUTE_NORMAL : bits) != 0;
}

bool IsSymbolicLink(const std::wstring&) {
    return false;
}

bool FileAccessExists(const std::wstring& path) {
    // The file system's own answer, so that a name it refuses says so.
    return ::GetFileAttributesW(Win32Path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool GetFileStatus(const std::wstring& path, FileStatus* status) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(Win32Path(path).c_str(), GetFileExInfoStandard, &data) == 0) {
        return false;
    }
    status->size = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    status->modificationTime = UnixSeconds(data.ftLastWriteTime);
    return true;
}

bool DeleteFile(const std::wstring& path) {
    return ::DeleteFileW(Win32Path(path).c_str()) != 0;
}

bool MoveFile(const std::wstring& from, const std::wstring& to) {
    return ::MoveFileW(Win32Path(from).c_str(), Win32Path(to).c_str()) != 0;
}

bool ReplaceFile(const std::wstring& from, const std::wstring& to) {
    return ::MoveFileExW(Win32Path(from).c_str(), Win32Path(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) {
    return ::CopyFileW(Win32Path(from).c_str(), Win32Path(to).c_str(),
                       failIfExists ? TRUE : FALSE) != 0;
}

bool CanOpenForWriting(const std::wstring& path) {
    // The read-only attribute decides, whatever the caller's privileges: Wine run by
    // root would open such a file for writing, Windows never does.
    const DWORD bits = ::GetFileAttributesW(Win32Path(path).c_str());
    if (bits == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if ((bits & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    const HANDLE file = ::CreateFileW(Win32Path(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::CloseHandle(file);
    return true;
}

bool CreateDirectory(const std::wstring& path) {
    return ::CreateDirectoryW(Win32Path(path).c_str(), nullptr) != 0;
}

bool RemoveDirectory(const std::wstring& path) {
    return ::RemoveDirectoryW(Win32Path(path).c_str()) != 0;
}

bool ListDirectoryEntries(const std::wstring& directory, std::vector<DirectoryEntry>* entries) {
    std::wstring pattern = Win32Path(directory);
    if (!pattern.empty() && pattern.back() != L'\\') {
        pattern += L'\\';
    }
    pattern += L'*';
    WIN32_FIND_DATAW data{};
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &data);
    entries->clear();
    if (search == INVALID_HANDLE_VALUE) {
        // A drive's root has no "." or "..": an empty root is no error.
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        DirectoryEntry entry;
        entry.name = data.cFileName;
        entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries->push_back(std::move(entry));
    } while (::FindNextFileW(search, &data) != 0);
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        ::SetLastError(error);
        return false;
    }
    return true;
}

std::FILE* OpenFileStream(const std::wstring& path, const char* mode) {
    std::FILE* f = ::_wfopen(Win32Path(path).c_str(), WideMode(mode).c_str());
    if (f == nullptr) {
        FailFromErrno();
    }
    return f;
}

std::size_t ReadFileStream(std::FILE* stream, void* data, std::size_t size) {
    return std::fread(data, 1, size, stream);
}

std::size_t WriteFileStream(std::FILE* stream, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, stream);
}

bool SyncFileStream(std::FILE* stream) {
    if (std::fflush(stream) != 0) {
        return FailFromErrno();
    }
    return ::FlushFileBuffers(OsHandleOf(::_fileno(stream))) != 0;
}

bool SyncDirectory(const std::wstring& path) {
    return FlushOne(Win32Path(path), true);
}

bool SyncFileSystem(const std::wstring& path) {
    const std::wstring p = Win32Path(path);
    if (FlushVolume(p)) {
        return true;
    }
    const DWORD bits = ::GetFileAttributesW(p.c_str());
    if (bits == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    return (bits & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FlushTree(p) : FlushOne(p, false);
}

bool SeekFileStream(std::FILE* stream, std::int64_t offset, int origin) {
    return ::_fseeki64(stream, offset, origin) == 0 || FailFromErrno();
}

std::int64_t TellFileStream(std::FILE* stream) {
    const std::int64_t pos = ::_ftelli64(stream);
    if (pos < 0) {
        FailFromErrno();
    }
    return pos;
}

bool TruncateFileStream(std::FILE* stream, std::int64_t size) {
    if (std::fflush(stream) != 0) {
        return FailFromErrno();
    }
    const errno_t rc = ::_chsize_s(::_fileno(stream), size);
    if (rc != 0) {
        SetLastErrorFromErrno(rc);
        return false;
    }
    return true;
}

bool GetFreeDiskSpace(const std::wstring& path, std::uint64_t* bytesAvailable) {
    if (const std::optional<std::uint64_t> limited = Detail::FreeSpaceOverride()) {
        *bytesAvailable = *limited;
        return true;
    }
    ULARGE_INTEGER available{};
    if (::GetDiskFreeSpaceExW(Win32Path(path).c_str(), &available, nullptr, nullptr) == 0) {
        return false;
    }
    *bytesAvailable = available.QuadPart;
    return true;
}

}  // namespace Platform
