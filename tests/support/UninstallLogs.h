// A minimal uninstaller log for fixtures of the patch engine.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace BexoPatch::testing {

// A zero header with its CRC and one block of `recordBytes` record bytes ('r').
inline std::string MinimalUninstallLog(std::uint32_t recordBytes) {
    const auto crc = [](const std::string& s, std::size_t at, std::size_t n) {
        return static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0),
                                                reinterpret_cast<const Bytef*>(s.data() + at),
                                                static_cast<uInt>(n)));
    };
    const auto put = [](std::string& s, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            s[at + i] = static_cast<char>(v >> (8 * i));
        }
    };
    std::string log(448 + 12 + recordBytes, 'r');
    std::fill(log.begin(), log.begin() + 460, '\0');
    put(log, 444, crc(log, 0, 444));
    put(log, 448, recordBytes);
    put(log, 452, ~recordBytes);
    put(log, 456, crc(log, 460, recordBytes));
    return log;
}

}  // namespace BexoPatch::testing
