// The message catalogue's string-table resources (resource type 6) as the build embeds
// them: one record per language and block, pointing into one byte array. Generated from
// resources/*.rc by osmel-rccompile.
#pragma once

#include <cstddef>
#include <cstdint>

struct StringTableResource {
    std::uint16_t language;  // Windows language id
    std::uint16_t block;     // id / 16 + 1
    std::uint32_t offset;    // into kStringTableData
    std::uint32_t size;
};

extern const StringTableResource kStringTableResources[];
extern const std::size_t kStringTableResourceCount;
extern const unsigned char* const kStringTableData;
