// Path, file and directory helpers over wide paths in the program's form. The file
// functions normalise their own copy of a path to "\" before they touch the platform,
// and every path they hand to it goes through FileSystemPath.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

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
// The path as the file system is given it: the one place that decides how a wide path
// reaches the OS. On Windows the product's narrow entry points: characters outside the
// narrow set become "?". Elsewhere (UTF-8 file systems, where "?" is a legal name
// character and a substituted path would reach another file) the path itself, which the
// POSIX layer writes as UTF-8 without loss. Separators stay as they are.
std::wstring FileSystemPath(const std::wstring& path);
// A path as narrow text, for an interface that carries it so (the asset database lock's
// path, shared with the product's programs): ToNarrow on Windows, as the narrow entry
// points have it; UTF-8 elsewhere, so that it still names the one folder.
std::string NarrowFileSystemPath(const std::wstring& path);
// The wide path that narrow text from NarrowFileSystemPath names.
std::wstring WideFileSystemPath(const std::string& path);
// The path as the platform writes it, for the window and its messages: "/" separators on
// POSIX, the path as it is on Windows.
std::wstring DisplayPath(const std::wstring& path);
// Whether FileSystemPath keeps the path as it is, so that it names this file and no other.
bool IsExactFileSystemPath(const std::wstring& path);

// JoinPath(directory, "file<counter>"); the counter starts at the tick count and grows
// by one per call. No file is created.
std::wstring MakeTempFileName(const std::wstring& directory);

// The C library's existence test; true for directories.
bool FileExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
// Clears the read-only attribute if it is set; true when it was not set.
bool ClearReadOnly(const std::wstring& path);
// 64-bit sizes: files of 2 GiB and more report their true size.
BEXORESULT GetFileSize(const std::wstring& path, std::int64_t* size);
// Last modification, seconds since 1970.
BEXORESULT GetFileTime(const std::wstring& path, std::int64_t* time);
// False for an empty path.
bool DeleteFile(const std::wstring& path);
// Fails without moving when the source cannot be opened for writing (missing,
// read-only) or the target exists.
bool MoveFile(const std::wstring& from, const std::wstring& to);
// Creates the directory and its missing parents. A file in the way gives false with
// last error 80.
bool MakeDirectory(const std::wstring& path);
// Deletes the tree; a file that cannot be deleted leaves its directories and makes the
// result false. A symbolic link in it is removed, never what it points to.
bool DeleteDirectoryTree(const std::wstring& path);

// Whether a ":" in a relative path from outside is only part of names: never a drive
// ("C:" at the front), and on Windows nowhere, where it opens a drive or a stream.
bool HasOnlyNameColons(std::wstring_view relative);
// Whether a component of `relative`, joined one by one to `root`, is a symbolic link, so
// that the path would lead wherever the link points. Components that do not exist end
// the walk. The root itself is the caller's and is not looked at.
bool LeadsThroughLink(const std::wstring& root, const std::wstring& relative);

using WidePathSet = std::set<std::wstring, Utf16Less>;
// Every entry of the directory (files and subdirectories) joined to it.
// BEXORESULT_NOT_FOUND when the directory cannot be listed.
BEXORESULT ListDirectory(const std::wstring& directory, WidePathSet* paths);
