#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileFaults.h"
#include "platform/System.h"
#include "platform/Utf8.h"

namespace Platform {

namespace {

bool Fail() {
    SetLastErrorFromErrno(errno);
    return false;
}

// The armed test fault (ArmFileFaults) for one file call.
bool Faulted() {
    return Detail::FileCallFails() && !Fail();
}

class FdCloser {
public:
    explicit FdCloser(int fd) : m_fd(fd) {}
    ~FdCloser() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int m_fd;
};

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

}  // namespace

bool WindowsFileNames() {
    return false;
}

std::string ToSystemPath(const std::wstring& path) {
    std::string out = EncodeUtf8(path);
    for (char& c : out) {
        if (c == '\\') {
            c = '/';
        }
    }
    return out;
}

std::wstring FromSystemPath(const std::string& path) {
    std::wstring out = DecodeUtf8(path);
    for (wchar_t& c : out) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return out;
}

std::optional<FileAttributes> GetFileAttributes(const std::wstring& path) {
    struct stat st {};
    if (::stat(ToSystemPath(path).c_str(), &st) != 0) {
        Fail();
        return std::nullopt;
    }
    FileAttributes attributes;
    attributes.directory = S_ISDIR(st.st_mode);
    attributes.readOnly = (st.st_mode & kWriteBits) == 0;
    attributes.device = !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode);
    return attributes;
}

bool SetFileReadOnly(const std::wstring& path, bool readOnly) {
    const std::string p = ToSystemPath(path);
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
        return Fail();
    }
    mode_t mode = st.st_mode & 07777;
    if (readOnly) {
        mode &= ~kWriteBits;
    } else {
        // Write permission follows read permission, as a file without the Windows
        // read-only attribute is writable by whoever may read it.
        mode |= S_IWUSR;
        if ((mode & S_IRGRP) != 0) {
            mode |= S_IWGRP;
        }
    }
    if (::chmod(p.c_str(), mode) != 0) {
        return Fail();
    }
    return true;
}

bool IsSymbolicLink(const std::wstring& path) {
    struct stat st {};
    return ::lstat(ToSystemPath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool FileAccessExists(const std::wstring& path) {
    return ::access(ToSystemPath(path).c_str(), F_OK) == 0 || Fail();
}

bool GetFileStatus(const std::wstring& path, FileStatus* status) {
    struct stat st {};
    if (::stat(ToSystemPath(path).c_str(), &st) != 0) {
        return Fail();
    }
    status->size = static_cast<std::int64_t>(st.st_size);
    status->modificationTime = static_cast<std::int64_t>(st.st_mtime);
    return true;
}

bool DeleteFile(const std::wstring& path) {
    const std::string p = ToSystemPath(path);
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) {
        return Fail();
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(Error::AccessDenied);
        return false;
    }
    // A read-only file cannot be deleted on Windows; keep that rule.
    if (!S_ISLNK(st.st_mode) && (st.st_mode & kWriteBits) == 0) {
        SetLastError(Error::AccessDenied);
        return false;
    }
    if (Faulted()) {
        return false;
    }
    return ::unlink(p.c_str()) == 0 || Fail();
}

bool MoveFile(const std::wstring& from, const std::wstring& to) {
    const std::string src = ToSystemPath(from);
    const std::string dst = ToSystemPath(to);
    if (Faulted()) {
        return false;
    }
    if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return Fail();
    }
    // File systems without RENAME_NOREPLACE: check, then rename.
    if (::access(dst.c_str(), F_OK) == 0) {
        SetLastError(Error::AlreadyExists);
        return false;
    }
    return ::rename(src.c_str(), dst.c_str()) == 0 || Fail();
}

bool ReplaceFile(const std::wstring& from, const std::wstring& to) {
    if (Faulted()) {
        return false;
    }
    return ::rename(ToSystemPath(from).c_str(), ToSystemPath(to).c_str()) == 0 || Fail();
}

bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) {
    if (Faulted()) {
        return false;
    }
    const int in = ::open(ToSystemPath(from).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return Fail();
    }
    FdCloser closeIn(in);
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        return Fail();
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(Error::AccessDenied);
        return false;
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    if (Faulted()) {
        return false;
    }
    // Created writable so that the copy can be filled; the source's bits follow.
    const int out = ::open(ToSystemPath(to).c_str(), flags, (st.st_mode & 07777) | S_IWUSR);
    if (out < 0) {
        return Fail();
    }
    FdCloser closeOut(out);
    // A failing disk fails the copy's writes after the target was created.
    if (Faulted()) {
        return false;
    }
    off_t remaining = st.st_size;
    while (remaining > 0) {
        const ssize_t n =
            ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(remaining), 0);
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL)) {
            break;
        }
        if (n < 0) {
            return Fail();
        }
        if (n == 0) {
            break;
        }
        remaining -= n;
    }
    if (remaining > 0) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n < 0) {
                return Fail();
            }
            if (n == 0) {
                break;
            }
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
                if (w < 0) {
                    return Fail();
                }
                done += w;
            }
        }
    }
    return ::fchmod(out, st.st_mode & 07777) == 0 || Fail();
}

bool CanOpenForWriting(const std::wstring& path) {
    // The permission bits decide, not the caller's privileges: root may open a read-only
    // file, but a read-only file is not to be changed.
    struct stat st {};
    if (::stat(ToSystemPath(path).c_str(), &st) != 0) {
        return Fail();
    }
    if ((st.st_mode & kWriteBits) == 0) {
        SetLastError(Error::AccessDenied);
        return false;
    }
    const int fd = ::open(ToSystemPath(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return Fail();
    }
    ::close(fd);
    return true;
}

bool CreateDirectory(const std::wstring& path) {
    if (Faulted()) {
        return false;
    }
    return ::mkdir(ToSystemPath(path).c_str(), 0777) == 0 || Fail();
}

bool RemoveDirectory(const std::wstring& path) {
    if (Faulted()) {
        return false;
    }
    return ::rmdir(ToSystemPath(path).c_str()) == 0 || Fail();
}

bool ListDirectoryEntries(const std::wstring& directory, std::vector<DirectoryEntry>* entries) {
    const std::string dir = ToSystemPath(directory);
    if (Faulted()) {
        return false;
    }
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return Fail();
    }
    entries->clear();
    while (dirent* e = ::readdir(d)) {
        DirectoryEntry entry;
        entry.name = DecodeUtf8(e->d_name);
        if (EncodeUtf8(entry.name) != e->d_name) {
            continue;
        }
        if (e->d_type == DT_DIR) {
            entry.directory = true;
        } else if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            entry.directory = ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISDIR(st.st_mode);
        }
        entries->push_back(std::move(entry));
    }
    ::closedir(d);
    return true;
}

std::FILE* OpenFileStream(const std::wstring& path, const char* mode) {
    if (Faulted()) {
        return nullptr;
    }
    std::FILE* f = std::fopen(ToSystemPath(path).c_str(), mode);
    if (f == nullptr) {
        Fail();
    }
    return f;
}

std::size_t ReadFileStream(std::FILE* stream, void* data, std::size_t size) {
    return Faulted() ? 0 : std::fread(data, 1, size, stream);
}

std::size_t WriteFileStream(std::FILE* stream, const void* data, std::size_t size) {
    return Faulted() ? 0 : std::fwrite(data, 1, size, stream);
}

bool SyncFileStream(std::FILE* stream) {
    if (Faulted() || std::fflush(stream) != 0) {
        return Fail();
    }
    return ::fsync(::fileno(stream)) == 0 || Fail();
}

bool SyncDirectory(const std::wstring& path) {
    if (Faulted()) {
        return false;
    }
    const int fd = ::open(ToSystemPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Fail();
    }
    FdCloser closer(fd);
    return ::fsync(fd) == 0 || Fail();
}

bool SyncFileSystem(const std::wstring& path) {
    if (Faulted()) {
        return false;
    }
    const int fd = ::open(ToSystemPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Fail();
    }
    FdCloser closer(fd);
    return ::syncfs(fd) == 0 || Fail();
}

bool SeekFileStream(std::FILE* stream, std::int64_t offset, int origin) {
    return ::fseeko(stream, static_cast<off_t>(offset), origin) == 0 || Fail();
}

std::int64_t TellFileStream(std::FILE* stream) {
    const off_t pos = ::ftello(stream);
    if (pos < 0) {
        Fail();
    }
    return static_cast<std::int64_t>(pos);
}

bool TruncateFileStream(std::FILE* stream, std::int64_t size) {
    if (Faulted() || std::fflush(stream) != 0) {
        return Fail();
    }
    return ::ftruncate(::fileno(stream), static_cast<off_t>(size)) == 0 || Fail();
}

bool GetFreeDiskSpace(const std::wstring& path, std::uint64_t* bytesAvailable) {
    if (const std::optional<std::uint64_t> limited = Detail::FreeSpaceOverride()) {
        *bytesAvailable = *limited;
        return true;
    }
    struct statvfs st {};
    if (::statvfs(ToSystemPath(path).c_str(), &st) != 0) {
        return Fail();
    }
    *bytesAvailable = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    return true;
}

}  // namespace Platform
