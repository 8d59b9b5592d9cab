// Path, file and directory helpers over wide paths in the program's form. The file
// functions normalise their own copy of a path to "\" before they touch the platform.
// Functions documented as "narrow" pass the path through ToNarrow first, so characters
// outside the narrow set become "?" on those paths, as the original platform's narrow
// entry points did.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "kernel/BexoResult.h"
#include "kernel/Text.h"

// b if a is empty; a + b if a ends in a separator; else a + "/" + b.
// Leading separators of b are kept.
std::wstring JoinPath(const std::wstring& a, const std::wstring& b);
// Replaces every "/" and "\" with `separator`, in place.
void NormaliseSeparators(std::wstring& path, wchar_t separator);
// Narrow: the part after the last separator.
std::string FileNamePart(const std::wstring& path);
// Narrow: the path up to the last "." of its last component (whole path if none).
std::string PathWithoutExtension(const std::wstring& path);
// Narrow: the text after the last "." of the last component; empty if none.
std::string PathExtension(const std::wstring& path);
// The rest of `path` after the characters it shares with `base` (both normalised to
// "\"), without one leading "\". Callers pass a base that is a directory prefix of path.
std::wstring RelativePath(const std::wstring& path, const std::wstring& base);
// JoinPath(directory, "file<counter>"); the counter starts at the tick count and grows
// by one per call. No file is created.
std::wstring MakeTempFileName(const std::wstring& directory);

// Narrow: the C library's existence test; true for directories.
bool FileExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
// Clears the read-only attribute if it is set; true when it was not set.
bool ClearReadOnly(const std::wstring& path);
// Narrow. 64-bit sizes: files of 2 GiB and more report their true size.
BEXORESULT GetFileSize(const std::wstring& path, std::int64_t* size);
// Narrow: last modification, seconds since 1970.
BEXORESULT GetFileTime(const std::wstring& path, std::int64_t* time);
// Narrow. False for an empty path.
bool DeleteFile(const std::wstring& path);
// Narrow. Fails without moving when the source cannot be opened for writing (missing,
// read-only) or the target exists.
bool MoveFile(const std::wstring& from, const std::wstring& to);
// Creates the directory and its missing parents. A file in the way gives false with
// last error 80.
bool MakeDirectory(const std::wstring& path);
// Narrow: deletes the tree; a file that cannot be deleted leaves its directories and
// makes the result false.
bool DeleteDirectoryTree(const std::wstring& path);

using WidePathSet = std::set<std::wstring, Utf16Less>;
// Narrow: every entry of the directory (files and subdirectories) joined to it.
// BEXORESULT_NOT_FOUND when the directory cannot be listed.
BEXORESULT ListDirectory(const std::wstring& directory, WidePathSet* paths);
