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

// The path as the narrow entry points of the original platform saw it.
std::wstring NarrowPath(const std::wstring& path) {
    return ToWide(ToNarrow(Normalised(path)));
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

std::wstring MakeTempFileName(const std::wstring& directory) {
    static std::atomic<unsigned> counter{Platform::GetTickCount()};
    const unsigned value = counter.fetch_add(1, std::memory_order_relaxed);
    return JoinPath(Normalised(directory), L"file" + std::to_wstring(value));
}

bool FileExists(const std::wstring& path) {
    return Platform::FileAccessExists(NarrowPath(path));
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
    if (!Platform::GetFileStatus(NarrowPath(path), &status)) {
        *size = 0;
        return BEXORESULT_IO_ERROR;
    }
    *size = status.size;
    return BEXORESULT_OK;
}

BEXORESULT GetFileTime(const std::wstring& path, std::int64_t* time) {
    Platform::FileStatus status;
    if (!Platform::GetFileStatus(NarrowPath(path), &status)) {
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
    return Platform::DeleteFile(NarrowPath(path));
}

bool MoveFile(const std::wstring& from, const std::wstring& to) {
    const std::wstring src = NarrowPath(from);
    if (!Platform::CanOpenForWriting(src)) {
        return false;
    }
    return Platform::MoveFile(src, NarrowPath(to));
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
    const std::wstring p = NarrowPath(path);
    std::vector<Platform::DirectoryEntry> entries;
    if (Platform::ListDirectoryEntries(p, &entries)) {
        for (const auto& entry : entries) {
            if (entry.name == L"." || entry.name == L"..") {
                continue;
            }
            const std::wstring child = JoinPath(p, ToWide(ToNarrow(entry.name)));
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
    if (!Platform::ListDirectoryEntries(NarrowPath(dir), &entries)) {
        return BEXORESULT_NOT_FOUND;
    }
    for (const auto& entry : entries) {
        if (entry.name == L"." || entry.name == L"..") {
            continue;
        }
        const std::wstring joined = JoinPath(dir, ToWide(ToNarrow(entry.name)));
        paths->insert(ToWide(ToNarrow(joined)));
    }
    return BEXORESULT_OK;
}
