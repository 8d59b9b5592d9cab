// What the difference kinds share: zstd contexts that free themselves, and file names as
// their error texts quote them.
#pragma once

#include <zstd.h>

#include <memory>
#include <string>

#include "kernel/Text.h"

namespace Delta {

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using CompressContext = std::unique_ptr<ZSTD_CCtx, CCtxFree>;
using DecompressContext = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

inline std::string QuotedPath(const std::wstring& path) {
    return "'" + WideToUtf8(path) + "'";
}

}  // namespace Delta
