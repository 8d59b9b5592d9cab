// Walking build trees and patch directories for the authoring commands.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kernel/Text.h"

namespace Mkpatch {

// Relative path ("\" separated, wide) to the file on disk.
using FileMap = std::map<std::wstring, std::filesystem::path, Utf16Less>;

// Every regular file below root. Names the patcher could not open (outside the narrow
// character set) go to `unusable` as UTF-8 relative paths.
bool CollectFiles(const std::filesystem::path& root, FileMap* files,
                  std::vector<std::string>* unusable, std::string* error);

// The wide form of a path from the file system.
std::wstring WidePath(const std::filesystem::path& path);

// A directory that does not exist yet, or is empty, is created; false otherwise.
bool PrepareOutputDirectory(const std::filesystem::path& directory, std::string* error);

}  // namespace Mkpatch
