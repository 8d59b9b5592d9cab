// Patch packages: a 4-byte version (1), then entries to the end of the file. Each entry
// is a name container (a 4-byte count n and n UTF-16LE units, compressed) followed, for
// a file, by a content container holding the file's bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kernel/BexoResult.h"
#include "repair/buffer/BexoDataBuffer.h"

constexpr std::uint32_t kPackageVersion = 1;
// Longest entry name accepted, in UTF-16 units.
constexpr std::uint32_t kMaxPackageNameUnits = 32767;

// A directory when the name ends in a separator or its last component has no ".".
bool IsDirectoryEntryName(const std::wstring& name);

// The entry name a file travels under: a name whose last component has no "." would read
// as a directory, so such a name, and one that already ends in ".", gets one "." more.
// Windows' file system drops a trailing "." by itself, so a reader there creates the
// file's own name.
std::wstring PackageFileEntryName(const std::wstring& name);
// The name a file entry is unpacked under: on POSIX, where a trailing "." is part of a
// name, exactly one trailing "." less; on Windows the name as stored.
std::wstring UnpackedFileName(const std::wstring& entryName);

struct PackageEntry {
    std::wstring name;  // as stored, e.g. ".\data\bin\kelvor.exe.diff"
    bool directory = false;
};

// Walks a package entry by entry without trusting its counts or lengths: a name container
// must hold between 4 and 4 + 2 x kMaxPackageNameUnits bytes, and contents are streamed.
class PackageReader {
public:
    // IO_ERROR when the file does not open; BAD_DATA when the version is not 1.
    BEXORESULT Open(const std::wstring& path);
    // Whether every entry has been read.
    bool AtEnd();
    // Reads the next name container. BAD_DATA for a name that is too long, shorter than
    // its count or holds a NUL unit; the container's own code when it is damaged.
    BEXORESULT Next(PackageEntry* entry);
    // The content of the file entry just read, appended to the destination. END_OF_DATA
    // when the package ends where the content container should start.
    BEXORESULT ReadContent(BexoDataBuffer* destination);
    // Steps over the content container, telling its raw and stored lengths.
    BEXORESULT SkipContent(std::uint64_t* rawLength, std::uint64_t* storedLength);
    // The package's read position, for messages.
    std::uint64_t GetPosition() { return m_file ? m_file->GetPosition() : 0; }

private:
    BEXORESULT CheckContentPresent();

    std::unique_ptr<BexoDataBufferFile> m_file;
};

// A file written by a step the user may cancel: every write first asks the process's
// continue callback and answers ABORTED once it says stop, so a long copy or unpacking
// ends within one chunk.
class ContinueCheckedFile : public BexoDataBufferFile {
public:
    using BexoDataBufferFile::BexoDataBufferFile;
    BEXORESULT WriteData(const void* data, std::uint32_t count) override;
};

// The bytes the package's files take once unpacked, summed from their containers' headers
// without unpacking. The reader's code when the package is damaged.
BEXORESULT PackageUnpackedSize(const std::wstring& package, std::uint64_t* bytes);

// Unpacks every entry below directory, after checking that the volume holding it has room
// for all of them (else an error line through the log callback): directories are created
// (a failure is ignored), files written through the buffers, one chunk in memory at a time,
// under UnpackedFileName. False when the package does not open, is not version 1, is damaged
// or truncated, a file cannot be created, an entry's name would leave the directory
// (absolute, a drive or root, a ".." component, a link below the directory), or the continue
// callback says stop; entries before the failing one stay written. Reasons go to the system
// log.
bool UnpackPackage(const std::wstring& package, const std::wstring& directory);
