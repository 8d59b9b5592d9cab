#include "repair/FileTreeSummary.h"

#include <deque>
#include <memory>

#include "kernel/FileUtil.h"
#include "kernel/SystemLog.h"
#include "platform/Files.h"
#include "repair/SegmentChecksum.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace {

// The lines of this component go to standard output only, as the product's tools expect.
void Report(const std::string& line) {
    SystemLogWrite(LOG_STDOUT, line);
}

// Positions the opened file at the key's segment and gives the segment's length.
bool PositionAtSegment(BexoDataBufferFile& file, const std::wstring& fullKey,
                       std::uint64_t* length) {
    const std::string name = ToNarrow(fullKey);
    if (!file.IsOpen()) {
        Report("ReadFileSegment> unabled to open file: " + name);
        return false;
    }
    const std::uint64_t offset = SegmentKeyIndex(fullKey) << kSegmentShift;
    const std::uint64_t end = std::min(offset + kSegmentSize, file.GetSize());
    if (offset > end) {
        Report("ReadFileSegment> segment past end of file for: " + name);
        return false;
    }
    if (file.Seek(offset) != BEXORESULT_OK) {
        Report("ReadFileSegment> unabled to seek file: " + name);
        return false;
    }
    *length = end - offset;
    return true;
}

template <typename T>
BEXORESULT WriteValue(BexoDataBuffer* buffer, T value) {
    std::uint8_t bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
    }
    return buffer->WriteData(bytes, sizeof bytes);
}

template <typename T>
BEXORESULT ReadValue(BexoDataBuffer* buffer, T* value) {
    std::uint8_t bytes[sizeof(T)];
    const BEXORESULT result = buffer->ReadData(bytes, sizeof bytes);
    if (result != BEXORESULT_OK) {
        return result;
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    }
    *value = static_cast<T>(v);
    return BEXORESULT_OK;
}

class Locked {
public:
    explicit Locked(OS::Mutex& mutex) : m_lock(mutex) {}

private:
    OS::MutexLock m_lock;
};

}  // namespace

std::wstring FormatSegmentKey(const std::wstring& path, std::uint64_t index) {
    std::wstring digits = std::to_wstring(index);
    if (digits.size() < 3) {
        digits.insert(0, 3 - digits.size(), L'0');
    }
    return path + L"#" + digits;
}

std::wstring SegmentKeyPath(const std::wstring& key) {
    const std::size_t hash = key.rfind(L'#');
    return hash == std::wstring::npos ? key : key.substr(0, hash);
}

std::uint64_t SegmentKeyIndex(const std::wstring& key) {
    const std::size_t hash = key.rfind(L'#');
    if (hash == std::wstring::npos || hash + 1 == key.size()) {
        return 0;
    }
    std::uint64_t index = 0;
    for (std::size_t i = hash + 1; i < key.size(); ++i) {
        const wchar_t c = key[i];
        // More than 12 digits cannot name a segment of any file this system handles.
        if (c < L'0' || c > L'9' || i - hash > 12) {
            return 0;
        }
        index = index * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return index;
}

bool ReadFileSegment(const std::wstring& fullKey, std::vector<std::uint8_t>* bytes) {
    bytes->clear();
    BexoDataBufferFile file(SegmentKeyPath(fullKey), BexoDataBufferFile::kModeRead);
    std::uint64_t length = 0;
    if (!PositionAtSegment(file, fullKey, &length)) {
        return false;
    }
    bytes->resize(static_cast<std::size_t>(length));
    if (file.ReadData(bytes->data(), static_cast<std::uint32_t>(bytes->size())) != BEXORESULT_OK) {
        Report("ReadFileSegment> unabled to read from file: " + ToNarrow(fullKey));
        bytes->clear();
        return false;
    }
    return true;
}

std::uint32_t ComputeSegmentChecksum(const std::wstring& fullKey) {
    Report(" Checksum " + ToNarrow(fullKey) + " ..");
    // The segment is checksummed as it is read, in pieces that stay in the processor's
    // cache, rather than read whole and then walked again: the same value, with the
    // checksum hidden behind the reading.
    // The buffer is the call's own, not a thread_local: on Windows the destructors of
    // thread_local objects run under the loader lock at thread exit, and with the
    // threading library's own lock taken as well they deadlocked two exiting threads.
    constexpr std::uint32_t kPiece = 256 * 1024;
    const auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(kPiece);
    BexoDataBufferFile file(SegmentKeyPath(fullKey), BexoDataBufferFile::kModeRead);
    std::uint64_t length = 0;
    if (!PositionAtSegment(file, fullKey, &length)) {
        return 0;
    }
    std::uint32_t crc = 0;
    for (std::uint64_t done = 0; done < length;) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPiece, length - done));
        if (file.ReadData(piece.get(), n) != BEXORESULT_OK) {
            Report("ReadFileSegment> unabled to read from file: " + ToNarrow(fullKey));
            return 0;
        }
        crc = SegmentCrc(crc, piece.get(), n);
        done += n;
    }
    return crc == 0 ? 1 : crc;
}

bool MatchWildcard(const std::wstring& pattern, const std::wstring& text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t starPattern = std::wstring::npos;
    std::size_t starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            while (p < pattern.size() && pattern[p] == L'*') {
                ++p;
            }
            starPattern = p;
            starText = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starPattern != std::wstring::npos) {
            p = starPattern;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

bool IsExcluded(const std::wstring& relativePath, const SummaryPatternSet& patterns) {
    const std::wstring text = relativePath.substr(0, relativePath.find(L'#'));
    for (const std::wstring& pattern : patterns) {
        if (MatchWildcard(pattern, text)) {
            return true;
        }
    }
    return false;
}

BEXORESULT FileTreeSummary::Scan(const std::wstring& root, const SummaryPatternSet& exclusions,
                                 const std::atomic<bool>* stop, TreeListing* listing) {
    Locked lock(m_lock);
    const auto stopped = [stop] { return stop != nullptr && stop->load(); };
    for (auto& [key, entry] : m_entries) {
        entry.seen = false;
    }
    if (listing != nullptr) {
        *listing = TreeListing();
    }
    std::deque<std::wstring> directories{root};
    WidePathSet paths;
    while (!directories.empty()) {
        const std::wstring directory = directories.front();
        directories.pop_front();
        if (ListDirectory(directory, &paths) != BEXORESULT_OK) {
            continue;
        }
        for (const std::wstring& path : paths) {
            if (stopped()) {
                return BEXORESULT_ABORTED;
            }
            const std::wstring relative = RelativePath(path, root);
            if (listing != nullptr) {
                listing->names.push_back(relative);
            }
            // A link leads out of the tree: neither walked nor read.
            if (Platform::IsSymbolicLink(path)) {
                Report("FileTreeSummary::Scan> skipped the link " + WideToUtf8(path));
                continue;
            }
            if (IsDirectory(path)) {
                directories.push_back(path);
                continue;
            }
            if (!IsExcluded(relative, exclusions)) {
                std::int64_t size = -1;
                RegisterFileUntil(path, relative, stop, &size);
                if (listing != nullptr && size == 0) {
                    listing->emptyFiles.insert(relative);
                }
            }
        }
    }
    if (stopped()) {
        return BEXORESULT_ABORTED;
    }
    std::erase_if(m_entries, [](const auto& item) { return !item.second.seen; });
    return BEXORESULT_OK;
}

bool FileTreeSummary::RegisterFile(const std::wstring& fullPath, const std::wstring& relativePath) {
    return RegisterFileUntil(fullPath, relativePath, nullptr);
}

bool FileTreeSummary::RegisterFileUntil(const std::wstring& fullPath,
                                        const std::wstring& relativePath,
                                        const std::atomic<bool>* stop, std::int64_t* sizeRead) {
    Locked lock(m_lock);
    std::int64_t size = 0;
    if (GetFileSize(fullPath, &size) != BEXORESULT_OK) {
        Report("FileTreeSummary::RegisterFile> unable to get filesize for " + ToNarrow(fullPath));
        return false;
    }
    if (sizeRead != nullptr) {
        *sizeRead = size;
    }
    const std::uint64_t count =
        (static_cast<std::uint64_t>(size) + kSegmentSize - 1) >> kSegmentShift;
    for (std::uint64_t i = 0; i < count; ++i) {
        if ((stop != nullptr && stop->load()) ||
            !RegisterSegment(FormatSegmentKey(fullPath, i), FormatSegmentKey(relativePath, i), 0)) {
            return false;
        }
    }
    return true;
}

bool FileTreeSummary::RegisterSegment(const std::wstring& fullKey, const std::wstring& key,
                                      std::uint32_t knownChecksum) {
    Locked lock(m_lock);
    std::int64_t mtime = 0;
    if (GetFileTime(SegmentKeyPath(fullKey), &mtime) != BEXORESULT_OK) {
        return false;
    }
    auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        const std::uint32_t checksum =
            knownChecksum != 0 ? knownChecksum : ComputeSegmentChecksum(fullKey);
        m_entries.emplace(key, FileTreeSummaryEntry{key, checksum, mtime, true});
    } else if (it->second.modificationTime == mtime && knownChecksum == 0) {
        it->second.seen = true;
    } else {
        const std::uint32_t checksum =
            knownChecksum != 0 ? knownChecksum : ComputeSegmentChecksum(fullKey);
        it->second = FileTreeSummaryEntry{key, checksum, mtime, true};
    }
    if (knownChecksum != 0) {
        const std::wstring path = SegmentKeyPath(key);
        for (std::uint64_t i = 0;; ++i) {
            auto sibling = m_entries.find(FormatSegmentKey(path, i));
            if (sibling == m_entries.end()) {
                break;
            }
            sibling->second.modificationTime = mtime;
        }
    }
    return true;
}

void FileTreeSummary::Remove(const std::wstring& key) {
    Locked lock(m_lock);
    m_entries.erase(key);
}

void FileTreeSummary::RemoveFollowingSegments(const std::wstring& key) {
    Locked lock(m_lock);
    RemoveFollowingSegmentsLocked(key);
}

void FileTreeSummary::RemoveFollowingSegmentsLocked(const std::wstring& key) {
    const std::wstring path = SegmentKeyPath(key);
    for (std::uint64_t i = SegmentKeyIndex(key) + 1;; ++i) {
        if (m_entries.erase(FormatSegmentKey(path, i)) == 0) {
            break;
        }
    }
}

BEXORESULT FileTreeSummary::Save(BexoDataBuffer* buffer) {
    Locked lock(m_lock);
    BEXORESULT first = BEXORESULT_OK;
    const auto note = [&first](BEXORESULT result) {
        if (first == BEXORESULT_OK) {
            first = result;
        }
    };
    note(WriteValue<std::uint32_t>(buffer, kSummaryMagic));
    note(WriteValue<std::uint32_t>(buffer, static_cast<std::uint32_t>(m_entries.size())));
    std::vector<std::uint8_t> record;
    for (const auto& [key, entry] : m_entries) {
        // One write per entry: the upload goes to a socket, where small writes cost.
        const std::u16string units = ToUtf16(entry.name);
        record.clear();
        const auto put = [&record](std::uint64_t value, int bytes) {
            for (int i = 0; i < bytes; ++i) {
                record.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
            }
        };
        put(units.size(), 4);
        for (char16_t u : units) {
            put(u, 2);
        }
        put(entry.checksum, 4);
        put(static_cast<std::uint64_t>(entry.modificationTime), 8);
        note(buffer->WriteData(record.data(), static_cast<std::uint32_t>(record.size())));
    }
    return first;
}

BEXORESULT FileTreeSummary::Load(BexoDataBuffer* buffer) {
    Locked lock(m_lock);
    m_entries.clear();
    std::uint32_t magic = 0;
    BEXORESULT result = ReadValue(buffer, &magic);
    if (result != BEXORESULT_OK) {
        return result;
    }
    if (magic != kSummaryMagic) {
        return BEXORESULT_BAD_DATA;
    }
    std::uint32_t count = 0;
    result = ReadValue(buffer, &count);
    if (result != BEXORESULT_OK) {
        return result;
    }
    // The count is not trusted: entries are read one at a time until it is reached or a
    // read fails, so a count beyond the data ends at the data's end.
    std::u16string units;
    std::vector<std::uint8_t> raw;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        if ((result = ReadValue(buffer, &length)) != BEXORESULT_OK) {
            return result;
        }
        if (length > kMaxSegmentKeyUnits) {
            return BEXORESULT_BAD_DATA;
        }
        raw.resize(std::size_t{length} * 2);
        if (length != 0 &&
            (result = buffer->ReadData(raw.data(), static_cast<std::uint32_t>(raw.size()))) !=
                BEXORESULT_OK) {
            return result;
        }
        units.resize(length);
        for (std::uint32_t u = 0; u < length; ++u) {
            units[u] = static_cast<char16_t>(raw[2 * u] | (raw[2 * u + 1] << 8));
        }
        FileTreeSummaryEntry entry;
        entry.name = FromUtf16(units);
        if ((result = ReadValue(buffer, &entry.checksum)) != BEXORESULT_OK ||
            (result = ReadValue(buffer, &entry.modificationTime)) != BEXORESULT_OK) {
            return result;
        }
        m_entries.insert_or_assign(entry.name, entry);
    }
    return BEXORESULT_OK;
}

FileTreeSummary::EntryMap FileTreeSummary::Entries() {
    Locked lock(m_lock);
    return m_entries;
}

std::size_t FileTreeSummary::Count() {
    Locked lock(m_lock);
    return m_entries.size();
}
