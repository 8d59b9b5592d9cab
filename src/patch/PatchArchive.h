// The archive appended to a standalone patcher: the executable image padded to a multiple
// of 4096, a 28-byte header, the packages, and a directory of 468-byte entries at the end
// of the file. All integers are little-endian.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel/BexoResult.h"
#include "repair/buffer/BexoDataBuffer.h"

struct ArchiveHeader {
    static constexpr std::size_t kSize = 28;
    // Offsets of the header are multiples of this.
    static constexpr std::uint64_t kAlignment = 4096;

    std::uint32_t fileSize = 0;
    std::uint32_t entryCount = 0;
    std::uint64_t directoryOffset = 0;

    // The magic, then the fields; the reserved field is written as 0.
    void Serialize(std::uint8_t out[kSize]) const;
    // False when the bytes do not start with the magic.
    bool Parse(const std::uint8_t in[kSize]);
};

// The eight magic bytes. They are never kept contiguously in the program, so that the
// reader cannot find them inside its own executable image.
void ArchiveMagic(std::uint8_t out[8]);

struct ArchiveEntry {
    static constexpr std::size_t kSize = 468;

    // Narrow text, NUL-padded; a reader uses at most the field size minus one characters.
    char probePath[256] = {};
    char probeMD5[132] = {};
    char fromBuild[32] = {};
    char toBuild[32] = {};
    std::uint64_t dataOffset = 0;
    std::uint64_t dataSize = 0;

    void Serialize(std::uint8_t out[kSize]) const;
    // Forces the last byte of every text field to NUL.
    void Parse(const std::uint8_t in[kSize]);
};

// The reader of the appended archive. Its operations lock one mutex, so the process-wide
// instance may be used from any thread.
class PatchArchive {
public:
    static constexpr std::uint64_t kNoHeader = ~std::uint64_t{0};

    PatchArchive() = default;
    PatchArchive(const PatchArchive&) = delete;
    PatchArchive& operator=(const PatchArchive&) = delete;

    // OK: archive found and valid, the file stays open. IO_ERROR: the file does not open,
    // or the header's fileSize differs from the file's size. NOT_SUPPORTED: no header at
    // any multiple of 4096. BAD_DATA: the header's directory lies outside the file.
    BEXORESULT Open(const std::wstring& path);
    void Close();

    // fromBuild of every entry whose probe file in the installation has the recorded MD5,
    // in directory order. A probe path that would leave the installation never matches.
    std::vector<std::string> MatchingSourceBuilds(const std::wstring& installDirectory);
    // toBuild of the first entry for the build, or empty.
    std::string TargetFor(const std::string& build);
    // Writes the package of the first entry for the build to output. OK; WRONG_MODE: the
    // output cannot be created; NOT_FOUND: no such entry; INVALID_STATE: no archive open;
    // BAD_DATA: the entry's data range lies outside the package area; ABORTED: the continue
    // callback said stop; otherwise the failing seek, read or copy's code, and no output
    // file is left.
    BEXORESULT Extract(const std::string& build, const std::wstring& output);

    std::uint64_t GetHeaderOffset();
    std::optional<ArchiveHeader> GetHeader();
    // Entry i of the directory.
    BEXORESULT ReadEntry(std::uint32_t index, ArchiveEntry* entry);

private:
    BEXORESULT ReadEntryLocked(std::uint32_t index, ArchiveEntry* entry);
    void CloseLocked();

    std::mutex m_lock;
    std::unique_ptr<BexoDataBufferFile> file;
    std::uint64_t headerOffset = kNoHeader;
    std::optional<ArchiveHeader> header;
};

// The archive appended to this executable: opened at start-up (or after the user located
// the installation) and read by the standalone session.
PatchArchive& StandaloneArchive();
