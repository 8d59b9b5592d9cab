// The file tree summary: for every file under an installation root, one entry per 4 MiB
// segment with the segment's checksum and the file's modification time. It is kept
// between runs in "repair.cks" and uploaded to the repair server in the same form.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kernel/BexoResult.h"
#include "kernel/Sync.h"
#include "kernel/Text.h"

class BexoDataBuffer;

constexpr unsigned kSegmentShift = 22;
constexpr std::uint64_t kSegmentSize = std::uint64_t{1} << kSegmentShift;

// The checksum file's magic, "0stf" read as a little-endian 32-bit value.
constexpr std::uint32_t kSummaryMagic = 0x66747330u;
// The longest segment key accepted from a file or a peer, in UTF-16 units: the longest
// path the original platform can name, plus room for "#" and an index.
constexpr std::uint32_t kMaxSegmentKeyUnits = 32768;

// "<path>#<index>", the index in decimal with at least three digits.
std::wstring FormatSegmentKey(const std::wstring& path, std::uint64_t index);
// The text before the key's last "#" (the whole key when it has none).
std::wstring SegmentKeyPath(const std::wstring& key);
// The decimal number after the key's last "#"; 0 when that text is not all digits.
std::uint64_t SegmentKeyIndex(const std::wstring& key);

struct FileTreeSummaryEntry {
    std::wstring name;
    std::uint32_t checksum = 0;
    std::int64_t modificationTime = 0;
    bool seen = false;
};

using SummaryPatternSet = std::set<std::wstring, Utf16Less>;

// What a scan met besides segments, for a server that must know every name in its tree.
struct TreeListing {
    // Every relative path met: files, directories and links, excluded ones included.
    std::vector<std::wstring> names;
    // Relative paths of the files, not excluded, that hold no bytes (they have no segments).
    std::set<std::wstring, Utf16Less> emptyFiles;
};

// Every public operation holds the summary's lock for its whole duration; the lock is
// recursive, so one operation may call another. Safe to share between the repair
// worker and the segment write threads.
class FileTreeSummary {
public:
    using EntryMap = std::map<std::wstring, FileTreeSummaryEntry, Utf16Less>;

    // Brings the summary up to date with the tree under root, skipping relative paths
    // that match an exclusion. Checksums are recomputed only for new segments and for
    // files whose modification time changed. BEXORESULT_OK, or ABORTED when `stop` was
    // set: the scan then ends before the next file or segment and keeps every entry.
    // The listing, if any, is filled in the same walk.
    BEXORESULT Scan(const std::wstring& root, const SummaryPatternSet& exclusions,
                    const std::atomic<bool>* stop = nullptr, TreeListing* listing = nullptr);
    // Registers every segment of the file; false when its size or time cannot be read.
    bool RegisterFile(const std::wstring& fullPath, const std::wstring& relativePath);
    // Registers one segment. A known checksum (not 0) is taken as it is and also marks
    // the file's other segments as current, since writing one segment changes the file's
    // modification time without changing them.
    bool RegisterSegment(const std::wstring& fullKey, const std::wstring& key,
                         std::uint32_t knownChecksum);
    void Remove(const std::wstring& key);
    // Removes the entries of the same file with higher indices, up to the first gap.
    void RemoveFollowingSegments(const std::wstring& key);

    // The checksum file's format: magic, count, entries in key order. Each write is
    // attempted; the first failure's code is returned.
    BEXORESULT Save(BexoDataBuffer* buffer);
    // Replaces the map with the buffer's entries. Reading stops at the first failure or
    // at a key longer than kMaxSegmentKeyUnits (BAD_DATA); what was read before is kept.
    BEXORESULT Load(BexoDataBuffer* buffer);

    EntryMap Entries();
    std::size_t Count();

private:
    // RegisterFile, ending early (false) when `stop` is set; the size read, if asked.
    bool RegisterFileUntil(const std::wstring& fullPath, const std::wstring& relativePath,
                           const std::atomic<bool>* stop, std::int64_t* size = nullptr);
    void RemoveFollowingSegmentsLocked(const std::wstring& key);

    OS::Mutex m_lock;
    EntryMap m_entries;
};

// Reads the segment named by a full segment key (a full path, "#", the index).
bool ReadFileSegment(const std::wstring& fullKey, std::vector<std::uint8_t>* bytes);
// The segment's checksum; 0 when it cannot be read, 1 when the checksum itself is 0.
std::uint32_t ComputeSegmentChecksum(const std::wstring& fullKey);
// Whether the path's text before its first "#" matches one of the patterns.
bool IsExcluded(const std::wstring& relativePath, const SummaryPatternSet& patterns);
// "*" matches any run of characters, separators included; all else matches itself.
bool MatchWildcard(const std::wstring& pattern, const std::wstring& text);
