// Files and directories. Paths are wide text in the program's internal form ("\" or "/"
// separators, full Unicode); the backend turns them into the OS's form at the call, on
// POSIX as UTF-8 without loss. Failures set the Win32 last error and return false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/Win32Types.h"

namespace Platform {

// The path as the OS takes it: "/" separators, UTF-8.
std::string ToSystemPath(const std::wstring& path);
// A path from the OS in internal form: "\" separators.
std::wstring FromSystemPath(const std::string& path);

// Whether the file system names files as Windows does: the product reaches it through
// narrow entry points (characters outside the narrow set become "?"), ":" belongs to
// drives and streams, and a trailing "." of a name is dropped. False on POSIX, where
// a name is any UTF-8 text without "/" and "?", ":" or a trailing "." are ordinary.
// The file helpers (kernel/FileUtil.h) hold the rule that follows from it.
bool WindowsFileNames();

struct FileAttributes {
    bool directory = false;
    // No write permission bit is set: the file cannot be changed by anyone.
    bool readOnly = false;
    // Neither a regular file nor a directory: a device, a pipe or a socket.
    bool device = false;
};
std::optional<FileAttributes> GetFileAttributes(const std::wstring& path);
bool SetFileReadOnly(const std::wstring& path, bool readOnly);

// Whether the path itself is a symbolic link (not followed). On Windows false: there the
// product follows reparse points as the file system does.
bool IsSymbolicLink(const std::wstring& path);

// The C library's existence test; true for directories too.
bool FileAccessExists(const std::wstring& path);

struct FileStatus {
    std::int64_t size = 0;
    std::int64_t modificationTime = 0;  // seconds since 1970
};
bool GetFileStatus(const std::wstring& path, FileStatus* status);

bool DeleteFile(const std::wstring& path);
// Moves a file or directory; fails with Error::AlreadyExists when the target exists.
bool MoveFile(const std::wstring& from, const std::wstring& to);
// Moves a file over an existing one in one atomic step.
bool ReplaceFile(const std::wstring& from, const std::wstring& to);
// Copies a file's bytes and permission bits.
bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists);
// Whether the file exists and this process may open it for writing.
bool CanOpenForWriting(const std::wstring& path);

bool CreateDirectory(const std::wstring& path);
bool RemoveDirectory(const std::wstring& path);

struct DirectoryEntry {
    std::wstring name;
    // On POSIX a symbolic link is never a directory here, whatever it points to, so
    // that a walk of the tree does not leave it.
    bool directory = false;
};
// Every entry of the directory, "." and ".." included, as a Win32 search lists them.
// On POSIX a name that is not UTF-8 is left out: no wide text names it exactly.
// False (last error set) when the directory cannot be read.
bool ListDirectoryEntries(const std::wstring& directory, std::vector<DirectoryEntry>* entries);

// Opens a C stream; mode as for fopen.
std::FILE* OpenFileStream(const std::wstring& path, const char* mode);
// fread and fwrite: the count of bytes done, short on an error.
std::size_t ReadFileStream(std::FILE* stream, void* data, std::size_t size);
std::size_t WriteFileStream(std::FILE* stream, const void* data, std::size_t size);
// Writes the stream's buffer and makes the file's data durable.
bool SyncFileStream(std::FILE* stream);
// Makes the directory's entries (new, renamed or deleted names) durable.
bool SyncDirectory(const std::wstring& path);
// Makes every change to the file system that holds the path durable: data, names and
// sizes of all its files. One call instead of one per file when a whole step of changes
// must reach the disk together. On Windows only an administrator may flush a volume;
// for anyone else the files and directories below the path are flushed one by one.
bool SyncFileSystem(const std::wstring& path);
// The 64-bit position and size helpers of a C stream.
bool SeekFileStream(std::FILE* stream, std::int64_t offset, int origin);
std::int64_t TellFileStream(std::FILE* stream);
bool TruncateFileStream(std::FILE* stream, std::int64_t size);

// Bytes available to the caller on the volume that holds the path.
bool GetFreeDiskSpace(const std::wstring& path, std::uint64_t* bytesAvailable);

// Test seam: this layer's file calls (open, read, write, rename, delete, create and remove
// a directory, sync, list a directory) answering as a full or failing disk would. From
// the arming on, every such call counts one; the call numbered `failAt` (from 1) fails
// with the errno value `error` (ENOSPC, EIO) without reaching the disk, and when `sticky`
// so does every later one, as after the disk has gone away. failAt 0 only counts. Only
// the POSIX backend counts; metadata queries (existence, attributes, size) never fail.
struct FileFaultPlan {
    std::uint64_t failAt = 0;
    int error = 0;
    bool sticky = false;
};
void ArmFileFaults(const FileFaultPlan& plan);
// Ends the faults; the calls counted since the arming.
std::uint64_t DisarmFileFaults();

}  // namespace Platform
