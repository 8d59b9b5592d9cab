// Patch discovery in download mode: the "patches.txt" list each patch server publishes
// at its base address, read into source build -> PatchEntry. The list is outside input:
// a record with a missing or malformed field is skipped, never trusted.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "repair/buffer/BexoDataBuffer.h"

class DownloadURLCallback;

namespace BexoPatch {

struct PatchEntry {
    std::string targetVersion;
    // Required by the list, not used by the session.
    std::wstring exeUrl;
    // Absolute: a relative address is joined to the server's.
    std::wstring dataUrl;
    // The package's size and SHA-256 (lower-case hex), which a signed list binds it by;
    // unset and empty when the record has none (lists made before them).
    std::optional<std::uint64_t> dataSize;
    std::string dataSha256;
};

// Reads lines from a buffer's position one byte at a time. A line ends at CR, LF, CR LF
// or LF CR (two different break characters count as one break) or at the end of data.
class BufferLineReader {
public:
    explicit BufferLineReader(BexoDataBuffer* buffer) : m_buffer(buffer) {}

    // The next line without its break. When the data ends while reading, the characters
    // read so far are the line and Ended() becomes true.
    void ReadLine(std::string* line);
    bool Ended() const { return m_ended; }

private:
    BexoDataBuffer* m_buffer;
    bool m_ended = false;
};

// Reads "key: value" lines until the data ends (a last line without a break is not
// used). Keys are trimmed of spaces and lower-cased; values are trimmed and lose one pair
// of enclosing double quotes; a later key replaces an earlier one. False when a
// non-blank line has no colon; the other lines are still stored.
bool ParseKeyValues(BexoDataBuffer* buffer, std::map<std::string, std::string>* values);

// The patch lists read so far and the server they came from. Used by the session thread.
class PatchDirectory {
public:
    // Tries each server's list in order, skipping empty entries; true once one holds an
    // acceptable record. Reports a line per server whose list cannot be downloaded or
    // holds no usable record, and one when none served a usable list. The callback (may
    // be null) stops the fetch at once, without a line. With trusted keys built in, a list
    // is used only when its signature holds (CheckListSignature), and its version is then
    // remembered.
    bool FetchPatchList(const std::vector<std::wstring>& servers, DownloadURLCallback* callback);
    // Parses the records (separated by empty lines) from the buffer's start; true when
    // at least one was accepted.
    bool ParsePatchList(BexoDataBuffer* buffer, const std::wstring& server);
    bool ParsePatchRecord(BexoDataBuffer* record, const std::wstring& server);
    std::optional<PatchEntry> FindPatch(const std::string& sourceVersion) const;

    const std::map<std::string, PatchEntry>& Patches() const { return m_patches; }
    const std::wstring& SelectedServer() const { return m_selectedServer; }
    // Whether the last fetch refused a list because of its signature (not signed by a
    // trusted key, replayed, expired).
    bool RefusedBySignature() const { return m_refusedBySignature; }

private:
    // With trusted keys built in: whether the list in the buffer is signed by one of them,
    // is no older than the newest this installation has accepted and has not expired.
    // Reports why not; the callback stops the signature's download without a line.
    bool CheckListSignature(const std::wstring& server, BexoDataBuffer* list,
                            DownloadURLCallback* callback);

    std::map<std::string, PatchEntry> m_patches;
    std::wstring m_selectedServer;
    // Set while reading a signed list: records without a package size and digest are
    // refused.
    bool m_requireDigests = false;
    std::uint64_t m_listVersion = 0;
    bool m_refusedBySignature = false;
};

}  // namespace BexoPatch
