#include "TreeWalk.h"

#include <system_error>

#include "kernel/FileUtil.h"

namespace Mkpatch {

std::wstring WidePath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return Utf8ToWide(std::string(text.begin(), text.end()));
}

bool CollectFiles(const std::filesystem::path& root, FileMap* files,
                  std::vector<std::string>* unusable, std::string* error) {
    std::error_code ec;
    if (!std::filesystem::is_directory(root, ec)) {
        *error = "'" + WideToUtf8(WidePath(root)) + "' is not a directory";
        return false;
    }
    std::filesystem::recursive_directory_iterator it(root, ec);
    for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) {
            continue;
        }
        std::wstring relative = WidePath(it->path().lexically_relative(root));
        NormaliseSeparators(relative, L'\\');
        if (!IsExactFileSystemPath(relative)) {
            unusable->push_back(WideToUtf8(relative));
            continue;
        }
        (*files)[relative] = it->path();
    }
    if (ec) {
        *error = "cannot walk '" + WideToUtf8(WidePath(root)) + "': " + ec.message();
        return false;
    }
    return true;
}

bool PrepareOutputDirectory(const std::filesystem::path& directory, std::string* error) {
    std::error_code ec;
    if (std::filesystem::exists(directory, ec)) {
        if (!std::filesystem::is_directory(directory, ec) ||
            !std::filesystem::is_empty(directory, ec)) {
            *error =
                "'" + WideToUtf8(WidePath(directory)) + "' exists and is not an empty directory";
            return false;
        }
        return true;
    }
    if (!std::filesystem::create_directories(directory, ec)) {
        *error = "cannot create '" + WideToUtf8(WidePath(directory)) + "': " + ec.message();
        return false;
    }
    return true;
}

}  // namespace Mkpatch
