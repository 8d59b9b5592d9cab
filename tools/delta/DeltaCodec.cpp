#include "DeltaCodec.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "MatchDiff.h"
#include "ZstdHandles.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace Delta {

namespace {

constexpr std::size_t kPiece = 1 << 20;
constexpr int kMinWindowLog = 10;
// Small files are made in every kind whose quick size is near the best: headers and
// frame overheads weigh more than the compressor there.
constexpr std::size_t kQuickSlack = 256;
// The largest window zstd takes: 2 GiB in a 64-bit process, 1 GiB in a 32-bit one, whose
// decoder refuses a larger limit outright.
constexpr int kMaxWindowLog = sizeof(std::size_t) == 4 ? 30 : 31;

// The whole old file: zstd needs its prefix in memory.
bool ReadWhole(const std::wstring& path, std::vector<std::uint8_t>* bytes, std::string* error) {
    BexoDataBufferFile file(path, BexoDataBufferFile::kModeRead);
    if (!file.IsOpen()) {
        *error = "cannot open " + QuotedPath(path);
        return false;
    }
    if (file.GetSize() > kMaxFileSize) {
        *error = QuotedPath(path) + " is larger than " + std::to_string(kMaxFileSize) + " bytes";
        return false;
    }
    // A 32-bit process may find no room for a file this size.
    try {
        bytes->resize(static_cast<std::size_t>(file.GetSize()));
    } catch (const std::bad_alloc&) {
        *error = QuotedPath(path) + " does not fit in memory";
        return false;
    }
    std::size_t done = 0;
    while (done < bytes->size()) {
        const std::size_t n = std::min(kPiece, bytes->size() - done);
        if (file.ReadData(bytes->data() + done, static_cast<std::uint32_t>(n)) != BEXORESULT_OK) {
            *error = "cannot read " + QuotedPath(path);
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

namespace {

// The new file compressed against the old one as its prefix.
Status WritePrefixDiff(const std::vector<std::uint8_t>& old, const std::vector<std::uint8_t>& data,
                       const std::wstring& diffPath, int level, std::string* error) {
    const int windowLog = std::clamp(
        static_cast<int>(std::bit_width(std::max<std::size_t>(old.size() + data.size(), 1) - 1)),
        kMinWindowLog, kMaxWindowLog);
    CompressContext cctx(ZSTD_createCCtx());
    if (cctx == nullptr ||
        Failed(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level), "level",
               error) ||
        Failed(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1), "ldm",
               error) ||
        Failed(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, windowLog), "window", error) ||
        Failed(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1), "checksum", error) ||
        Failed(ZSTD_CCtx_refPrefix(cctx.get(), old.data(), old.size()), "prefix", error)) {
        return Status::Corrupt;
    }
    std::vector<std::uint8_t> frame;
    try {
        frame.resize(ZSTD_compressBound(data.size()));
    } catch (const std::bad_alloc&) {
        *error = "the files do not fit in memory";
        return Status::OldUnreadable;
    }
    const std::size_t size =
        ZSTD_compress2(cctx.get(), frame.data(), frame.size(), data.data(), data.size());
    if (Failed(size, "compress", error)) {
        return Status::Corrupt;
    }
    BexoDataBufferFile out(diffPath, BexoDataBufferFile::kModeCreate);
    if (!out.IsOpen()) {
        *error = "cannot create " + QuotedPath(diffPath);
        return Status::OutputUnwritable;
    }
    for (std::size_t done = 0; done < size; done += kPiece) {
        const auto n = static_cast<std::uint32_t>(std::min(kPiece, size - done));
        if (out.WriteData(frame.data() + done, n) != BEXORESULT_OK) {
            *error = "cannot write " + QuotedPath(diffPath);
            return Status::OutputUnwritable;
        }
    }
    if (!out.FlushStream()) {
        *error = "cannot write " + QuotedPath(diffPath);
        return Status::OutputUnwritable;
    }
    return Status::Ok;
}

Status WriteDiff(const std::vector<std::uint8_t>& old, const std::vector<std::uint8_t>& data,
                 const std::wstring& diffPath, Kind kind, int level, std::string* error) {
    if (kind == Kind::Prefix) {
        return WritePrefixDiff(old, data, diffPath, level, error);
    }
    return WriteMatchDiff(old, data, kind, level, diffPath, error);
}

}  // namespace

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Prefix:
            return "prefix";
        case Kind::Whole:
            return "whole";
        case Kind::Matches:
            return "matches";
        case Kind::BranchMatches:
            return "branch-matches";
        case Kind::CodeMatches:
            break;
    }
    return "code-matches";
}

Status MakeDiff(const std::wstring& oldPath, const std::wstring& newPath,
                const std::wstring& diffPath, Kind kind, int level, std::string* error) {
    std::vector<std::uint8_t> old;
    std::vector<std::uint8_t> data;
    if (!ReadWhole(oldPath, &old, error) || !ReadWhole(newPath, &data, error)) {
        return Status::OldUnreadable;
    }
    return WriteDiff(old, data, diffPath, kind, level, error);
}

namespace {

// zstd's fast level, after the old file as prefix when there is one: a quick measure to
// rank the kinds before the slow compressors run.
std::size_t QuickSize(const std::vector<std::uint8_t>* old, const std::vector<std::uint8_t>& data) {
    CompressContext cctx(ZSTD_createCCtx());
    std::vector<std::uint8_t> frame(ZSTD_compressBound(data.size()));
    const std::size_t span = data.size() + (old != nullptr ? old->size() : 0);
    const int windowLog =
        std::clamp(static_cast<int>(std::bit_width(std::max<std::size_t>(span, 1) - 1)),
                   kMinWindowLog, kMaxWindowLog);
    if (cctx == nullptr ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, 3)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, windowLog)) ||
        (old != nullptr &&
         ZSTD_isError(ZSTD_CCtx_refPrefix(cctx.get(), old->data(), old->size())))) {
        return data.size();
    }
    const std::size_t size =
        ZSTD_compress2(cctx.get(), frame.data(), frame.size(), data.data(), data.size());
    return ZSTD_isError(size) ? data.size() : size;
}

}  // namespace

Status MakeSmallestDiff(const std::wstring& oldPath, const std::wstring& newPath,
                        const std::wstring& diffPath, int level, Kind* chosen, std::string* error) {
    std::vector<std::uint8_t> old;
    std::vector<std::uint8_t> data;
    if (!ReadWhole(oldPath, &old, error) || !ReadWhole(newPath, &data, error)) {
        return Status::OldUnreadable;
    }
    MatchPlan plan;
    Status status = Status::Ok;
    try {
        status = PlanBestMatches(old, data, &plan, error);
    } catch (const std::bad_alloc&) {
        *error = "the files do not fit in memory";
        status = Status::OldUnreadable;
    }
    if (status != Status::Ok) {
        return status;
    }
    // Only the kinds that rank near the best are made: the slow compressors take most of
    // the time, and one that starts far behind does not catch up.
    const Kind kinds[] = {Kind::Prefix, plan.kind, Kind::Whole};
    const std::size_t quick[] = {QuickSize(&old, data), plan.quickSize, QuickSize(nullptr, data)};
    const std::size_t bestQuick = *std::min_element(std::begin(quick), std::end(quick));
    std::vector<std::wstring> candidates;
    const auto discard = [&candidates] {
        for (const std::wstring& candidate : candidates) {
            DeleteFile(candidate);
        }
    };
    std::size_t best = 0;
    std::int64_t bestSize = -1;
    for (std::size_t i = 0; i < std::size(kinds); ++i) {
        if (quick[i] > bestQuick + bestQuick / 4 + kQuickSlack) {
            continue;
        }
        candidates.push_back(diffPath + L"." + Utf8ToWide(KindName(kinds[i])));
        status = i == 1 ? WriteMatchPlan(old, data, plan, level, candidates.back(), error)
                        : WriteDiff(old, data, candidates.back(), kinds[i], level, error);
        std::int64_t size = 0;
        if (status != Status::Ok) {
            discard();
            return status;
        }
        if (GetFileSize(candidates.back(), &size) != BEXORESULT_OK) {
            *error = "cannot read " + QuotedPath(candidates.back());
            discard();
            return Status::OutputUnwritable;
        }
        if (bestSize < 0 || size < bestSize) {
            best = candidates.size() - 1;
            bestSize = size;
            *chosen = kinds[i];
        }
    }
    const std::wstring winner = candidates[best];
    DeleteFile(diffPath);
    if (!MoveFile(winner, diffPath)) {
        *error = "cannot create " + QuotedPath(diffPath);
        discard();
        return Status::OutputUnwritable;
    }
    discard();
    return Status::Ok;
}

namespace {

Status Decode(const std::vector<std::uint8_t>& old, BexoDataBufferFile& diff,
              BexoDataBufferFile& out, const std::wstring& diffPath, const std::wstring& newPath,
              std::string* error) {
    DecompressContext dctx(ZSTD_createDCtx());
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
            *error = "cannot read " + QuotedPath(diffPath);
            return Status::DiffUnreadable;
        }
        remaining -= n;
        ZSTD_inBuffer input{inPiece.data(), n, 0};
        while (input.pos < input.size) {
            if (last == 0) {
                *error = QuotedPath(diffPath) + " has data after its frame";
                return Status::Corrupt;
            }
            ZSTD_outBuffer output{outPiece.data(), outPiece.size(), 0};
            last = ZSTD_decompressStream(dctx.get(), &output, &input);
            if (Failed(last, "decode", error)) {
                *error = QuotedPath(diffPath) + " does not apply: " + *error;
                return Status::Corrupt;
            }
            if (output.pos > 0 &&
                out.WriteData(outPiece.data(), static_cast<std::uint32_t>(output.pos)) !=
                    BEXORESULT_OK) {
                *error = "cannot write " + QuotedPath(newPath);
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
            *error = "cannot write " + QuotedPath(newPath);
            return Status::OutputUnwritable;
        }
    }
    if (last != 0) {
        *error = QuotedPath(diffPath) + " is truncated";
        return Status::Corrupt;
    }
    if (!out.FlushStream()) {
        *error = "cannot write " + QuotedPath(newPath);
        return Status::OutputUnwritable;
    }
    return Status::Ok;
}

}  // namespace

Status ApplyDiff(const std::wstring& oldPath, const std::wstring& diffPath,
                 const std::wstring& newPath, std::string* error) {
    BexoDataBufferFile diff(diffPath, BexoDataBufferFile::kModeRead);
    if (!diff.IsOpen()) {
        *error = "cannot open " + QuotedPath(diffPath);
        return Status::DiffUnreadable;
    }
    std::uint8_t magic[4] = {};
    const std::uint32_t magicSize = diff.GetSize() < sizeof(magic) ? 0 : sizeof(magic);
    if (diff.ReadData(magic, magicSize) != BEXORESULT_OK || diff.Seek(0) != BEXORESULT_OK) {
        *error = "cannot read " + QuotedPath(diffPath);
        return Status::DiffUnreadable;
    }
    Status status = Status::Ok;
    if (IsMatchFormat(magic, magicSize)) {
        status = ApplyMatchDiff(oldPath, diff, diffPath, newPath, error);
    } else {
        std::vector<std::uint8_t> old;
        if (!ReadWhole(oldPath, &old, error)) {
            return Status::OldUnreadable;
        }
        BexoDataBufferFile out(newPath, BexoDataBufferFile::kModeCreate);
        if (!out.IsOpen()) {
            *error = "cannot create " + QuotedPath(newPath);
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
