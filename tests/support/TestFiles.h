// Whole-file reads and writes for test fixtures.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace BexoPatch::testing {

// The file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes `content` as the whole file, making its parent folders first.
inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace BexoPatch::testing
