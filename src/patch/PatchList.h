// The list files of a patch directory (addedFiles.txt, deletedFiles.txt, patchedFiles.txt):
// UTF-8 text, lines ended by CR LF or LF, three lines per entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/BexoResult.h"

struct PatchListEntry {
    std::wstring path;       // relative to the installation, "\" separated
    std::wstring targetMD5;  // the file after the step
    std::wstring sourceMD5;  // the file before patching; empty for added and deleted files
};

// Lists larger than this are refused rather than read into memory.
constexpr std::uint64_t kMaxPatchListSize = 256ull << 20;

// Reads a list file. NOT_FOUND: the file does not open. BAD_DATA, with a message naming
// the line: the line count is not a multiple of three, the text is not UTF-8, or a path is
// empty or would leave the installation (absolute, a drive or root, a ".." component), or,
// where the file system names files as Windows does, a component names a device ("NUL",
// "com1.txt") or ends in a dot or a space.
// A zero-byte file is an empty list; a UTF-8 byte order mark is skipped.
BEXORESULT ReadPatchList(const std::wstring& path, std::vector<PatchListEntry>* entries,
                         std::string* error);

// Parses list text as ReadPatchList does.
BEXORESULT ParsePatchList(const std::string& text, std::vector<PatchListEntry>* entries,
                          std::string* error);

// Writes entries as list text: three lines each, CR LF.
std::string FormatPatchList(const std::vector<PatchListEntry>& entries);

// The one rule that both the engine and the authoring tool follow: a file whose name (the
// last component) ends in ".ka" after at least one character is patched by the converter
// when bin\KAConverter.exe is present, every other file by the difference tool.
bool IsConverterFileName(const std::wstring& relative);
// The difference file of a patched file, relative as the file: "base-diff.ka" beside
// "base.ka" for the converter, "name.diff" for the difference tool.
std::wstring DifferenceFileName(const std::wstring& relative, bool converter);
