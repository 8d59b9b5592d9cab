// Appends delete-file records for the files a patch step added to the product's
// uninstaller log "unins000.dat", keeping its block and header CRC-32s valid.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t kUninstallHeaderSize = 448;
constexpr std::size_t kUninstallBlockHeaderSize = 12;
constexpr std::size_t kUninstallBlockDataSize = 4096;
// Bytes at the end of the record data that stay last when records are appended.
constexpr std::size_t kUninstallMovedBytes = 28;

// The first line of every entry of addedFiles.txt in the patch directory, in order. When
// the list does not open (or is not a valid list) an error line goes through the log
// callback and the list is empty.
std::vector<std::wstring> ReadAddedFileNames(const std::wstring& patchDirectory);

// The bytes of one delete-file record for the path (narrow text).
std::string MakeUninstallDeleteRecord(const std::string& path);

// True when the log holds the added files' records afterwards, or was left alone: no
// added files, no "unins000.dat" (or one that cannot be opened for writing), or a log
// whose blocks are damaged or whose last block holds fewer than 28 bytes (a note is
// logged). The new log is written beside the old one as "unins000_temp.dat", synced and
// renamed over it in one step, so the old log stays whole until the new one is complete.
// False, with the log untouched, when a read, write or sync fails.
bool UpdateUninstallLog(const std::wstring& installDirectory, const std::wstring& patchDirectory);
