// The suffix array of a byte string, built by induced sorting in linear time and about
// five bytes of memory per input byte (the array itself and one bit of type per byte).
#pragma once

#include <cstdint>
#include <vector>

namespace Delta {

// Files up to this size can be sorted: positions are held in 32 bits.
constexpr std::uint64_t kMaxSortableSize = 0x7fffffffu;

// The start positions of all suffixes of data[0, size), in lexicographic order; a suffix
// that is a prefix of another sorts first. size must not exceed kMaxSortableSize.
std::vector<std::int32_t> BuildSuffixArray(const std::uint8_t* data, std::size_t size);

}  // namespace Delta
