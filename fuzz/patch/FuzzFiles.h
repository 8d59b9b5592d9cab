// A scratch directory per fuzzing process, for targets whose reader takes a path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace FuzzFiles {

inline const std::filesystem::path& Scratch() {
    static const std::filesystem::path dir = [] {
        std::filesystem::path p = std::filesystem::temp_directory_path() /
                                  ("osmel-fuzz-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(p);
        return p;
    }();
    return dir;
}

inline std::wstring Write(const char* name, const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path path = Scratch() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path.wstring();
}

// System log lines of refused inputs would flood the fuzzer's output.
inline int QuietStdout() {
    return std::freopen("/dev/null", "w", stdout) == nullptr ? 1 : 0;
}

}  // namespace FuzzFiles
