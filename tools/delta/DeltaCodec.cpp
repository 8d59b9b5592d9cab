#include "DeltaCodec.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace Delta {

namespace {

constexpr std::size_t kPiece = 1 << 20;
constexpr int kMinWindowLog = 10;
// The largest window zstd takes: 2 GiB in a 64-bit process, 1 GiB in a 32-bit one, whose
// decoder refuses a larger limit outright.
constexpr int kMaxWindowLog = sizeof(std::size_t) == 4 ? 30 : 31;

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

std::string Name(const std::wstring& path) {
    return "'" + WideToUtf8(path) + "'";
}

// The whole old file: zstd needs its prefix in memory.
bool ReadWhole(const std::wstring& path, std::vector<std::uint8_t>* bytes, std::string* error) {
    BexoDataBufferFile file(path, BexoDataBufferFile::kModeRead);
    if (!file.IsOpen()) {
        *error = "cannot open " + Name(path);
        return false;
    }
    if (file.GetSize() > kMaxFileSize) {
        *error = Name(path) + " is larger than " + std::to_string(kMaxFileSize) + " bytes";
        return false;
    }
    // A 32-bit process may find no room for a file this size.
    try {
        bytes->resize(static_cast<std::size_t>(file.GetSize()));
    } catch (const std::bad_alloc&) {
        *error = Name(path) + " does not fit in memory";
        return false;
    }
    std::size_t done = 0;
    while (done < bytes->size()) {
        const std::size_t n = std::min(kPiece, bytes->size() - done);
        if (file.ReadData(bytes->data() + done, static_cast<std::uint32_t>(n)) != BEXORESULT_OK) {
            *error = "cannot read " + Name(path);
            return false;
        }
        done += n;
    }
    return true;
}

bool Failed(std::size_t code, const char* what, std::string* error) {
    if (ZSTD_isError(code) != 0) {
        *error = std::string(what) + ": " + ZSTD_getErrorName(code);
        return true;
    }
    return false;
}

}  // namespace

Status MakeDiff(const std::wstring& oldPath, const std::wstring& newPath,
                const std::wstring& diffPath, int level, std::string* error) {
    std::vector<std::uint8_t> old;
    if (!ReadWhole(oldPath, &old, error)) {
        return Status::OldUnreadable;
    }
    BexoDataBufferFile in(newPath, BexoDataBufferFile::kModeRead);
    if (!in.IsOpen() || in.GetSize() > kMaxFileSize) {
        *error = in.IsOpen() ? Name(newPath) + " is too large" : "cannot open " + Name(newPath);
        return Status::OldUnreadable;
    }
    const std::uint64_t newSize = in.GetSize();
    const int windowLog = std::clamp(
        static_cast<int>(std::bit_width(std::max<std::uint64_t>(old.size() + newSize, 1) - 1)),
        kMinWindowLog, kMaxWindowLog);

    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (cctx == nullptr ||
        Failed(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level), "level",
               error) ||
        Failed(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1), "ldm",
               error) ||
        Failed(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, windowLog), "window", error) ||
        Failed(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1), "checksum", error) ||
        Failed(ZSTD_CCtx_setPledgedSrcSize(cctx.get(), newSize), "size", error) ||
        Failed(ZSTD_CCtx_refPrefix(cctx.get(), old.data(), old.size()), "prefix", error)) {
        return Status::Corrupt;
    }
    BexoDataBufferFile out(diffPath, BexoDataBufferFile::kModeCreate);
    if (!out.IsOpen()) {
        *error = "cannot create " + Name(diffPath);
        return Status::OutputUnwritable;
    }
    std::vector<std::uint8_t> inPiece(kPiece);
    std::vector<std::uint8_t> outPiece(ZSTD_CStreamOutSize());
    std::uint64_t remaining = newSize;
    for (;;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kPiece));
        if (n > 0 && in.ReadData(inPiece.data(), static_cast<std::uint32_t>(n)) != BEXORESULT_OK) {
            *error = "cannot read " + Name(newPath);
            return Status::OldUnreadable;
        }
        remaining -= n;
        const ZSTD_EndDirective mode = remaining == 0 ? ZSTD_e_end : ZSTD_e_continue;
        ZSTD_inBuffer input{inPiece.data(), n, 0};
        bool finished = false;
        while (!finished) {
            ZSTD_outBuffer output{outPiece.data(), outPiece.size(), 0};
            const std::size_t left = ZSTD_compressStream2(cctx.get(), &output, &input, mode);
            if (Failed(left, "compress", error)) {
                return Status::Corrupt;
            }
            if (output.pos > 0 &&
                out.WriteData(outPiece.data(), static_cast<std::uint32_t>(output.pos)) !=
                    BEXORESULT_OK) {
                *error = "cannot write " + Name(diffPath);
                return Status::OutputUnwritable;
            }
            finished = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
        }
        if (mode == ZSTD_e_end) {
            break;
        }
    }
    if (!out.FlushStream()) {
        *error = "cannot write " + Name(diffPath);
        return Status::OutputUnwritable;
    }
    return Status::Ok;
}

namespace {

Status Decode(const std::vector<std::uint8_t>& old, BexoDataBufferFile& diff,
              BexoDataBufferFile& out, const std::wstring& diffPath, const std::wstring& newPath,
              std::string* error) {
    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (dctx == nullptr ||
        Failed(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kMaxWindowLog), "window",
               error) ||
        Failed(ZSTD_DCtx_refPrefix(dctx.get(), old.data(), old.size()), "prefix", error)) {
        return Status::Corrupt;
    }
    std::vector<std::uint8_t> inPiece(ZSTD_DStreamInSize());
    std::vector<std::uint8_t> outPiece(ZSTD_DStreamOutSize());
    std::uint64_t remaining = diff.GetSize();
    std::size_t last = 1;  // nonzero while a frame is unfinished
    while (remaining > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, inPiece.size()));
        if (diff.ReadData(inPiece.data(), static_cast<std::uint32_t>(n)) != BEXORESULT_OK) {
            *error = "cannot read " + Name(diffPath);
            return Status::DiffUnreadable;
        }
        remaining -= n;
        ZSTD_inBuffer input{inPiece.data(), n, 0};
        while (input.pos < input.size) {
            if (last == 0) {
                *error = Name(diffPath) + " has data after its frame";
                return Status::Corrupt;
            }
            ZSTD_outBuffer output{outPiece.data(), outPiece.size(), 0};
            last = ZSTD_decompressStream(dctx.get(), &output, &input);
            if (Failed(last, "decode", error)) {
                *error = Name(diffPath) + " does not apply: " + *error;
                return Status::Corrupt;
            }
            if (output.pos > 0 &&
                out.WriteData(outPiece.data(), static_cast<std::uint32_t>(output.pos)) !=
                    BEXORESULT_OK) {
                *error = "cannot write " + Name(newPath);
                return Status::OutputUnwritable;
            }
        }
    }
    // Flush what the decoder still holds once all input is in.
    while (last != 0 && diff.GetSize() > 0) {
        ZSTD_inBuffer input{nullptr, 0, 0};
        ZSTD_outBuffer output{outPiece.data(), outPiece.size(), 0};
        last = ZSTD_decompressStream(dctx.get(), &output, &input);
        if (Failed(last, "decode", error)) {
            return Status::Corrupt;
        }
        if (output.pos == 0) {
            break;
        }
        if (out.WriteData(outPiece.data(), static_cast<std::uint32_t>(output.pos)) !=
            BEXORESULT_OK) {
            *error = "cannot write " + Name(newPath);
            return Status::OutputUnwritable;
        }
    }
    if (last != 0) {
        *error = Name(diffPath) + " is truncated";
        return Status::Corrupt;
    }
    if (!out.FlushStream()) {
        *error = "cannot write " + Name(newPath);
        return Status::OutputUnwritable;
    }
    return Status::Ok;
}

}  // namespace

Status ApplyDiff(const std::wstring& oldPath, const std::wstring& diffPath,
                 const std::wstring& newPath, std::string* error) {
    std::vector<std::uint8_t> old;
    if (!ReadWhole(oldPath, &old, error)) {
        return Status::OldUnreadable;
    }
    BexoDataBufferFile diff(diffPath, BexoDataBufferFile::kModeRead);
    if (!diff.IsOpen()) {
        *error = "cannot open " + Name(diffPath);
        return Status::DiffUnreadable;
    }
    Status status = Status::Ok;
    {
        BexoDataBufferFile out(newPath, BexoDataBufferFile::kModeCreate);
        if (!out.IsOpen()) {
            *error = "cannot create " + Name(newPath);
            return Status::OutputUnwritable;
        }
        status = Decode(old, diff, out, diffPath, newPath, error);
    }
    if (status != Status::Ok) {
        DeleteFile(newPath);
    }
    return status;
}

}  // namespace Delta
