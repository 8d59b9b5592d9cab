// BexoUtil::DecompressData from a memory buffer holding the input into another.
// Seeds: fuzz/buffer/corpus/decompress.
#include <cstdint>
#include <cstdio>

#include "repair/buffer/BexoUtil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every refused container writes system log lines to standard output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0xFFFFFFFFu) {
        return 0;
    }
    BexoDataBufferMemoryDynamic source;
    if (source.WriteData(data, static_cast<std::uint32_t>(size)) != BEXORESULT_OK ||
        source.Seek(0) != BEXORESULT_OK) {
        return 0;
    }
    BexoDataBufferMemoryDynamic destination;
    BexoUtil::DecompressData(&destination, &source);
    // Whatever the result, the output never exceeds what the input could justify.
    if (destination.GetSize() > std::uint64_t{size} * 1032) {
        __builtin_trap();
    }
    return 0;
}
