#include "kernel/FileUtil.h"

#include <atomic>
#include <cwchar>
#include <vector>

#include "kernel/SystemLog.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'/' || c == L'\\';
}

std::wstring Normalised(const std::wstring& path) {
    std::wstring copy = path;
    NormaliseSeparators(copy, L'\\');
    return copy;
}

// The path normalised to "\" as the file system is given it.
std::wstring SystemPath(const std::wstring& path) {
    return FileSystemPath(Normalised(path));
}

// A listed name that the program's paths cannot carry: a POSIX name may hold "\",
// which reads as a separator, so the joined path would name another file.
bool IsUnreachableName(const std::wstring& name) {
    return name.find(L'\\') != std::wstring::npos;
}

std::size_t LastSeparator(const std::wstring& path) {
    return path.find_last_of(L"/\\");
}

// Position of the last "." in the last component, or npos.
std::size_t ExtensionDot(const std::wstring& path) {
    const std::size_t dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos) {
        return dot;
    }
    const std::size_t sep = LastSeparator(path);
    if (sep != std::wstring::npos && sep > dot) {
        return std::wstring::npos;
    }
    return dot;
}

}  // namespace

std::wstring JoinPath(const std::wstring& a, const std::wstring& b) {
    if (a.empty()) {
        return b;
    }
    if (IsSeparator(a.back())) {
        return a + b;
    }
    return a + L"/" + b;
}

void NormaliseSeparators(std::wstring& path, wchar_t separator) {
    for (wchar_t& c : path) {
        if (IsSeparator(c)) {
            c = separator;
        }
    }
}

std::string FileNamePart(const std::wstring& path) {
    const std::size_t sep = LastSeparator(path);
    return ToNarrow(sep == std::wstring::npos ? path : path.substr(sep + 1));
}

std::string PathWithoutExtension(const std::wstring& path) {
    const std::size_t dot = ExtensionDot(path);
    return ToNarrow(dot == std::wstring::npos ? path : path.substr(0, dot));
}

std::string PathExtension(const std::wstring& path) {
    const std::size_t dot = ExtensionDot(path);
    return dot == std::wstring::npos ? std::string() : ToNarrow(path.substr(dot + 1));
}

std::wstring RelativePath(const std::wstring& path, const std::wstring& base) {
    const std::wstring p = Normalised(path);
    const std::wstring b = Normalised(base);
    std::size_t common = 0;
    while (common < b.size() && common < p.size() && p[common] == b[common]) {
        ++common;
    }
    if (common < p.size() && p[common] == L'\\') {
        ++common;
    }
    return p.substr(common);
}

std::wstring FileSystemPath(const std::wstring& path) {
    return Platform::WindowsFileNames() ? ToWide(ToNarrow(path)) : path;
}

std::string NarrowFileSystemPath(const std::wstring& path) {
    return Platform::WindowsFileNames() ? ToNarrow(path) : WideToUtf8(path);
}

std::wstring WideFileSystemPath(const std::string& path) {
    return Platform::WindowsFileNames() ? ToWide(path) : Utf8ToWide(path);
}

std::wstring DisplayPath(const std::wstring& path) {
    std::wstring shown = path;
    if (!Platform::WindowsFileNames()) {
        NormaliseSeparators(shown, L'/');
    }
    return shown;
}

bool IsExactFileSystemPath(const std::wstring& path) {
    return FileSystemPath(path) == path;
}

bool HasOnlyNameColons(std::wstring_view relative) {
    const std::size_t colon = relative.find(L':');
    if (colon == std::wstring_view::npos) {
        return true;
    }
    if (Platform::WindowsFileNames()) {
        return false;
    }
    // "C:x" is a drive wherever the path travels next: a server's reference, a package
    // made on Windows.
    const bool drive = colon == 1 && ((relative[0] >= L'A' && relative[0] <= L'Z') ||
                                      (relative[0] >= L'a' && relative[0] <= L'z'));
    return !drive;
}

bool LeadsThroughLink(const std::wstring& root, const std::wstring& relative) {
    std::wstring path = Normalised(root);
    const std::wstring rest = Normalised(relative);
    std::size_t start = 0;
    while (start < rest.size()) {
        std::size_t end = rest.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = rest.size();
        }
        if (end > start) {
            path = JoinPath(path, rest.substr(start, end - start));
            const std::wstring system = FileSystemPath(path);
            if (Platform::IsSymbolicLink(system)) {
                return true;
            }
            if (!Platform::FileAccessExists(system)) {
                return false;
            }
        }
        start = end + 1;
    }
    return false;
}

std::wstring MakeTempFileName(const std::wstring& directory) {
    static std::atomic<unsigned> counter{Platform::GetTickCount()};
    const unsigned value = counter.fetch_add(1, std::memory_order_relaxed);
    return JoinPath(Normalised(directory), L"file" + std::to_wstring(value));
}

bool FileExists(const std::wstring& path) {
    return Platform::FileAccessExists(SystemPath(path));
}

bool IsDirectory(const std::wstring& path) {
    const auto attributes = Platform::GetFileAttributes(Normalised(path));
    return attributes && attributes->directory;
}

bool ClearReadOnly(const std::wstring& path) {
    const std::wstring p = Normalised(path);
    const auto attributes = Platform::GetFileAttributes(p);
    if (!attributes || !attributes->readOnly) {
        return true;
    }
    return Platform::SetFileReadOnly(p, false);
}

BEXORESULT GetFileSize(const std::wstring& path, std::int64_t* size) {
    Platform::FileStatus status;
    if (!Platform::GetFileStatus(SystemPath(path), &status)) {
        *size = 0;
        return BEXORESULT_IO_ERROR;
    }
    *size = status.size;
    return BEXORESULT_OK;
}

BEXORESULT GetFileTime(const std::wstring& path, std::int64_t* time) {
    Platform::FileStatus status;
    if (!Platform::GetFileStatus(SystemPath(path), &status)) {
        *time = 0;
        return BEXORESULT_IO_ERROR;
    }
    *time = status.modificationTime;
    return BEXORESULT_OK;
}

bool DeleteFile(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    return Platform::DeleteFile(SystemPath(path));
}

bool MoveFile(const std::wstring& from, const std::wstring& to) {
    const std::wstring src = SystemPath(from);
    if (!Platform::CanOpenForWriting(src)) {
        return false;
    }
    return Platform::MoveFile(src, SystemPath(to));
}

bool MakeDirectory(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    std::wstring p = Normalised(path);
    if (p.back() == L'\\') {
        p.pop_back();
        if (p.empty()) {
            return false;
        }
    }
    if (const auto attributes = Platform::GetFileAttributes(p)) {
        if (attributes->directory) {
            return true;
        }
        Platform::SetLastError(Platform::Error::FileExists);
        return false;
    }
    const std::size_t sep = p.find_last_of(L'\\');
    if (sep != std::wstring::npos && sep > 0) {
        if (!MakeDirectory(p.substr(0, sep))) {
            return false;
        }
    }
    if (!Platform::CreateDirectory(p)) {
        SystemLog("MakeDirectory> CreateDirectoryW returned err %d",
                  static_cast<int>(Platform::GetLastError()));
        return false;
    }
    return true;
}

bool DeleteDirectoryTree(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    const std::wstring p = SystemPath(path);
    std::vector<Platform::DirectoryEntry> entries;
    if (Platform::ListDirectoryEntries(p, &entries)) {
        for (const auto& entry : entries) {
            if (entry.name == L"." || entry.name == L".." || IsUnreachableName(entry.name)) {
                continue;
            }
            const std::wstring child = JoinPath(p, FileSystemPath(entry.name));
            if (entry.directory) {
                if (!DeleteDirectoryTree(child)) {
                    return false;
                }
            } else {
                DeleteFile(child);
            }
        }
    }
    return Platform::RemoveDirectory(p);
}

BEXORESULT ListDirectory(const std::wstring& directory, WidePathSet* paths) {
    const std::wstring dir = Normalised(directory);
    paths->clear();
    std::vector<Platform::DirectoryEntry> entries;
    if (!Platform::ListDirectoryEntries(SystemPath(dir), &entries)) {
        return BEXORESULT_NOT_FOUND;
    }
    for (const auto& entry : entries) {
        if (entry.name == L"." || entry.name == L".." || IsUnreachableName(entry.name)) {
            continue;
        }
        paths->insert(FileSystemPath(JoinPath(dir, entry.name)));
    }
    return BEXORESULT_OK;
}
