// Little-endian integers in byte buffers: the byte order of every file and wire format the
// program reads or writes, whatever the machine's own. Compilers turn each loop into one
// load or store on little-endian machines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

template <typename T>
T LoadLittleEndian(const std::uint8_t* p) {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v = static_cast<T>(v | static_cast<T>(static_cast<T>(p[i]) << (8 * i)));
    }
    return v;
}

template <typename T>
void StoreLittleEndian(std::uint8_t* p, T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

template <typename T, typename Bytes>
void AppendLittleEndian(Bytes& out, T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<typename Bytes::value_type>(v >> (8 * i)));
    }
}
