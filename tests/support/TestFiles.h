// Whole-file reads and writes, and file contents, for test fixtures.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
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

// A binary of `size` bytes that differs from its `variant` siblings in a few places.
inline std::string Binary(std::size_t size, int variant) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    for (int k = 0; k < variant; ++k) {
        data[(k * 7919 + 17) % size] ^= 0x5A;
    }
    return data;
}

// Noise that does not compress, so that a difference only decodes against its own old
// file; the same seed gives the same bytes.
inline std::string Noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data) {
        c = static_cast<char>(random());
    }
    return data;
}

}  // namespace BexoPatch::testing
