#include "MatchDiff.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "BranchFilter.h"
#include "SuffixArray.h"
#include "ZstdHandles.h"
#include "kernel/Text.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace Delta {

namespace {

constexpr std::uint8_t kMagic[4] = {'O', 'D', 'I', 'F'};
constexpr std::uint8_t kKindWhole = 1;
constexpr std::uint8_t kKindMatches = 2;
constexpr std::uint8_t kFlagBranchFilter = 1;
constexpr std::size_t kControlSize = 24;
// A multiple of kFilterBlock, so that every piece of output starts a filter block.
constexpr std::size_t kPiece = 1 << 20;
// The frames' window, and so each decoder's memory, is at most 16 MiB.
constexpr int kFrameWindowLog = 24;
// A match is taken once it beats the current alignment by this many bytes.
constexpr std::int64_t kBetterBy = 8;

void Put64(std::uint8_t* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t Get64(const std::uint8_t* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | in[i];
    }
    return value;
}

std::uint32_t Crc(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const auto n = static_cast<uInt>(std::min<std::size_t>(size, kPiece));
        crc = static_cast<std::uint32_t>(crc32(crc, data, n));
        data += n;
        size -= n;
    }
    return crc;
}

// The three streams of a "matches" difference.
struct Streams {
    std::vector<std::uint8_t> control;
    std::vector<std::uint8_t> difference;
    std::vector<std::uint8_t> copied;
};

std::int64_t CommonLength(const std::uint8_t* a, std::int64_t aSize, const std::uint8_t* b,
                          std::int64_t bSize) {
    const std::int64_t limit = std::min(aSize, bSize);
    std::int64_t n = 0;
    while (n < limit && a[n] == b[n]) {
        ++n;
    }
    return n;
}

// Finds matches of the new file in the old one and extends them approximately.
class Matcher {
public:
    Matcher(const std::vector<std::uint8_t>& oldData, const std::vector<std::uint8_t>& newData)
        : m_old(oldData.data()),
          m_oldSize(static_cast<std::int64_t>(oldData.size())),
          m_new(newData.data()),
          m_newSize(static_cast<std::int64_t>(newData.size())),
          m_sa(BuildSuffixArray(oldData.data(), oldData.size())) {}

    Streams Run() {
        Streams streams;
        streams.difference.reserve(static_cast<std::size_t>(m_newSize));
        std::int64_t scan = 0;
        std::int64_t length = 0;
        std::int64_t position = 0;
        std::int64_t lastScan = 0;
        std::int64_t lastPosition = 0;
        std::int64_t lastOffset = 0;
        while (scan < m_newSize) {
            // Move on until an exact match is found that the current alignment (old at
            // scan + lastOffset) does not already cover nearly as well.
            std::int64_t alignedScore = 0;
            std::int64_t counted = scan += length;
            for (; scan < m_newSize; ++scan) {
                length = LongestMatch(scan, &position);
                for (; counted < scan + length; ++counted) {
                    alignedScore += Agrees(counted, counted + lastOffset) ? 1 : 0;
                }
                if ((length == alignedScore && length != 0) || length > alignedScore + kBetterBy) {
                    break;
                }
                alignedScore -= Agrees(scan, scan + lastOffset) ? 1 : 0;
            }
            if (length == alignedScore && scan != m_newSize) {
                continue;
            }
            // The last match runs forwards, the new one backwards, each as far as more
            // than half of the bytes agree; an overlap goes where it agrees best.
            std::int64_t forward = ExtendForward(lastScan, lastPosition, scan);
            std::int64_t backward = scan < m_newSize ? ExtendBackward(scan, position, lastScan) : 0;
            if (lastScan + forward > scan - backward) {
                const std::int64_t overlap = lastScan + forward - (scan - backward);
                std::int64_t score = 0;
                std::int64_t bestScore = 0;
                std::int64_t split = 0;
                for (std::int64_t i = 0; i < overlap; ++i) {
                    const std::int64_t at = scan - backward + i;
                    score += Agrees(at, at - lastScan + lastPosition) ? 1 : 0;
                    score -= Agrees(at, at - scan + position) ? 1 : 0;
                    if (score > bestScore) {
                        bestScore = score;
                        split = i + 1;
                    }
                }
                forward += split - overlap;
                backward -= split;
            }
            const std::int64_t copy = scan - backward - (lastScan + forward);
            for (std::int64_t i = 0; i < forward; ++i) {
                streams.difference.push_back(
                    static_cast<std::uint8_t>(m_new[lastScan + i] - m_old[lastPosition + i]));
            }
            streams.copied.insert(streams.copied.end(), m_new + lastScan + forward,
                                  m_new + lastScan + forward + copy);
            std::uint8_t control[kControlSize];
            Put64(control, static_cast<std::uint64_t>(forward));
            Put64(control + 8, static_cast<std::uint64_t>(copy));
            Put64(control + 16,
                  static_cast<std::uint64_t>((position - backward) - (lastPosition + forward)));
            streams.control.insert(streams.control.end(), control, control + kControlSize);
            lastScan = scan - backward;
            lastPosition = position - backward;
            lastOffset = position - scan;
        }
        return streams;
    }

private:
    bool Agrees(std::int64_t newAt, std::int64_t oldAt) const {
        return oldAt >= 0 && oldAt < m_oldSize && m_old[oldAt] == m_new[newAt];
    }

    // The longest prefix of the new file from scan that starts a suffix of the old one.
    std::int64_t LongestMatch(std::int64_t scan, std::int64_t* position) const {
        *position = 0;
        if (m_oldSize == 0) {
            return 0;
        }
        const std::uint8_t* target = m_new + scan;
        const std::int64_t targetSize = m_newSize - scan;
        std::int64_t low = 0;
        std::int64_t high = m_oldSize - 1;
        while (high - low > 1) {
            const std::int64_t middle = low + (high - low) / 2;
            const std::int64_t start = m_sa[static_cast<std::size_t>(middle)];
            const auto n = static_cast<std::size_t>(std::min(m_oldSize - start, targetSize));
            if (std::memcmp(m_old + start, target, n) < 0) {
                low = middle;
            } else {
                high = middle;
            }
        }
        const std::int64_t lowStart = m_sa[static_cast<std::size_t>(low)];
        const std::int64_t highStart = m_sa[static_cast<std::size_t>(high)];
        const std::int64_t lowLength =
            CommonLength(m_old + lowStart, m_oldSize - lowStart, target, targetSize);
        const std::int64_t highLength =
            CommonLength(m_old + highStart, m_oldSize - highStart, target, targetSize);
        *position = lowLength >= highLength ? lowStart : highStart;
        return std::max(lowLength, highLength);
    }

    // How far from (newAt, oldAt), up to limit in the new file, the run that keeps the
    // most agreeing bytes over disagreeing ones reaches.
    std::int64_t ExtendForward(std::int64_t newAt, std::int64_t oldAt, std::int64_t limit) const {
        std::int64_t agree = 0;
        std::int64_t best = 0;
        std::int64_t length = 0;
        for (std::int64_t i = 0; newAt + i < limit && oldAt + i < m_oldSize;) {
            agree += m_old[oldAt + i] == m_new[newAt + i] ? 1 : 0;
            ++i;
            if (agree * 2 - i > best * 2 - length) {
                best = agree;
                length = i;
            }
        }
        return length;
    }

    std::int64_t ExtendBackward(std::int64_t newAt, std::int64_t oldAt, std::int64_t limit) const {
        std::int64_t agree = 0;
        std::int64_t best = 0;
        std::int64_t length = 0;
        for (std::int64_t i = 1; newAt - i >= limit && oldAt - i >= 0; ++i) {
            agree += m_old[oldAt - i] == m_new[newAt - i] ? 1 : 0;
            if (agree * 2 - i > best * 2 - length) {
                best = agree;
                length = i;
            }
        }
        return length;
    }

    const std::uint8_t* m_old;
    std::int64_t m_oldSize;
    const std::uint8_t* m_new;
    std::int64_t m_newSize;
    std::vector<std::int32_t> m_sa;
};

bool Compress(const std::vector<std::uint8_t>& data, int level, std::vector<std::uint8_t>* frame,
              std::string* error) {
    CompressContext cctx(ZSTD_createCCtx());
    const int windowLog =
        std::clamp(static_cast<int>(std::bit_width(std::max<std::size_t>(data.size(), 1) - 1)), 10,
                   kFrameWindowLog);
    if (cctx == nullptr ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, windowLog)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1))) {
        *error = "cannot set up the compressor";
        return false;
    }
    frame->resize(ZSTD_compressBound(data.size()));
    const std::size_t size =
        ZSTD_compress2(cctx.get(), frame->data(), frame->size(), data.data(), data.size());
    if (ZSTD_isError(size)) {
        *error = std::string("compress: ") + ZSTD_getErrorName(size);
        return false;
    }
    frame->resize(size);
    return true;
}

bool WriteAll(BexoDataBufferFile& out, const std::vector<std::uint8_t>& data) {
    for (std::size_t done = 0; done < data.size(); done += kPiece) {
        const auto n = static_cast<std::uint32_t>(std::min(kPiece, data.size() - done));
        if (out.WriteData(data.data() + done, n) != BEXORESULT_OK) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsMatchFormat(const std::uint8_t* data, std::size_t size) {
    return size >= sizeof(kMagic) && std::memcmp(data, kMagic, sizeof(kMagic)) == 0;
}

Status WriteMatchDiff(const std::vector<std::uint8_t>& oldData,
                      const std::vector<std::uint8_t>& newData, Kind kind, int level,
                      const std::wstring& diffPath, std::string* error) {
    std::vector<std::uint8_t> header(kHeaderSize, 0);
    std::memcpy(header.data(), kMagic, sizeof(kMagic));
    header[4] = kind == Kind::Whole ? kKindWhole : kKindMatches;
    Put64(header.data() + 8, oldData.size());
    Put64(header.data() + 16, newData.size());
    const std::uint32_t crc =
        Crc(static_cast<std::uint32_t>(crc32(0, nullptr, 0)), newData.data(), newData.size());
    for (int i = 0; i < 4; ++i) {
        header[24 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    std::vector<std::vector<std::uint8_t>> frames(kind == Kind::Whole ? 1 : 3);
    try {
        if (kind == Kind::Whole) {
            if (!Compress(newData, level, &frames[0], error)) {
                return Status::Corrupt;
            }
        } else {
            if (oldData.size() > kMaxSortableSize) {
                *error = "the old file is too large for matching";
                return Status::OldUnreadable;
            }
            Streams streams;
            if (kind == Kind::BranchMatches) {
                header[5] = kFlagBranchFilter;
                std::vector<std::uint8_t> oldCode = oldData;
                std::vector<std::uint8_t> newCode = newData;
                FilterBranches(oldCode.data(), oldCode.size(), 0, true);
                FilterBranches(newCode.data(), newCode.size(), 0, true);
                streams = Matcher(oldCode, newCode).Run();
            } else {
                streams = Matcher(oldData, newData).Run();
            }
            if (!Compress(streams.control, level, &frames[0], error) ||
                !Compress(streams.difference, level, &frames[1], error) ||
                !Compress(streams.copied, level, &frames[2], error)) {
                return Status::Corrupt;
            }
            Put64(header.data() + 32, frames[0].size());
            Put64(header.data() + 40, frames[1].size());
        }
    } catch (const std::bad_alloc&) {
        *error = "the files do not fit in memory";
        return Status::OldUnreadable;
    }
    BexoDataBufferFile out(diffPath, BexoDataBufferFile::kModeCreate);
    if (!out.IsOpen()) {
        *error = "cannot create " + QuotedPath(diffPath);
        return Status::OutputUnwritable;
    }
    bool written = WriteAll(out, header);
    for (const std::vector<std::uint8_t>& frame : frames) {
        written = written && WriteAll(out, frame);
    }
    if (!written || !out.FlushStream()) {
        *error = "cannot write " + QuotedPath(diffPath);
        return Status::OutputUnwritable;
    }
    return Status::Ok;
}

namespace {

// One zstd frame of the difference file, decoded on demand. Several share the file and
// each seeks to its own place before reading.
class FrameReader {
public:
    FrameReader(BexoDataBufferFile& file, std::uint64_t start, std::uint64_t size)
        : m_file(file), m_offset(start), m_left(size), m_buffer(ZSTD_DStreamInSize()) {}

    // The problem when Read or Finished failed: the file or the frame.
    Status Problem() const { return m_problem; }

    // Exactly count decoded bytes; false when the frame is damaged or ends first.
    bool Read(std::uint8_t* out, std::size_t count) {
        ZSTD_outBuffer output{out, count, 0};
        while (output.pos < output.size) {
            if (!Step(&output)) {
                return false;
            }
        }
        return true;
    }

    // Whether the frame ends here, checksum included, with nothing after it.
    bool Finished() {
        std::uint8_t extra = 0;
        while (!m_ended) {
            ZSTD_outBuffer output{&extra, 1, 0};
            if (!Step(&output) || output.pos != 0) {
                return false;
            }
        }
        return m_input.pos == m_input.size && m_left == 0;
    }

private:
    bool Step(ZSTD_outBuffer* output) {
        if (m_dctx == nullptr) {
            m_dctx.reset(ZSTD_createDCtx());
            if (m_dctx == nullptr || ZSTD_isError(ZSTD_DCtx_setParameter(
                                         m_dctx.get(), ZSTD_d_windowLogMax, kFrameWindowLog))) {
                return false;
            }
        }
        if (m_ended) {
            return false;
        }
        if (m_input.pos == m_input.size && m_left > 0) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_left, m_buffer.size()));
            if (m_file.Seek(m_offset) != BEXORESULT_OK ||
                m_file.ReadData(m_buffer.data(), static_cast<std::uint32_t>(n)) != BEXORESULT_OK) {
                m_problem = Status::DiffUnreadable;
                return false;
            }
            m_offset += n;
            m_left -= n;
            m_input = {m_buffer.data(), n, 0};
        }
        const std::size_t before = output->pos;
        const std::size_t inBefore = m_input.pos;
        const std::size_t result = ZSTD_decompressStream(m_dctx.get(), output, &m_input);
        if (ZSTD_isError(result)) {
            return false;
        }
        m_ended = result == 0;
        // No input left and nothing came out: the frame is cut short.
        return m_ended || output->pos != before || m_input.pos != inBefore || m_left > 0 ||
               m_input.pos < m_input.size;
    }

    BexoDataBufferFile& m_file;
    std::uint64_t m_offset;
    std::uint64_t m_left;
    std::vector<std::uint8_t> m_buffer;
    ZSTD_inBuffer m_input{nullptr, 0, 0};
    DecompressContext m_dctx;
    bool m_ended = false;
    Status m_problem = Status::Corrupt;
};

// The old file by offset, through a cache of one piece, filtered when the difference
// was made on filtered files.
class OldReader {
public:
    OldReader(BexoDataBufferFile* file, std::uint64_t size, bool filter)
        : m_file(file), m_size(size), m_filter(filter), m_cache(kPiece) {}

    bool Read(std::uint64_t position, std::uint8_t* out, std::size_t count) {
        while (count > 0) {
            if (position < m_start || position >= m_start + m_cached) {
                m_start = position - position % kFilterBlock;
                m_cached =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, m_size - m_start));
                if (m_file == nullptr || m_file->Seek(m_start) != BEXORESULT_OK ||
                    m_file->ReadData(m_cache.data(), static_cast<std::uint32_t>(m_cached)) !=
                        BEXORESULT_OK) {
                    m_cached = 0;
                    return false;
                }
                if (m_filter) {
                    FilterBranches(m_cache.data(), m_cached, m_start, true);
                }
            }
            const auto n = static_cast<std::size_t>(
                std::min<std::uint64_t>(count, m_start + m_cached - position));
            std::memcpy(out, m_cache.data() + (position - m_start), n);
            out += n;
            position += n;
            count -= n;
        }
        return true;
    }

private:
    BexoDataBufferFile* m_file;
    std::uint64_t m_size;
    bool m_filter;
    std::vector<std::uint8_t> m_cache;
    std::uint64_t m_start = 0;
    std::size_t m_cached = 0;
};

// The new file, written a piece at a time; restores filtered code piece by piece.
class NewWriter {
public:
    NewWriter(BexoDataBufferFile& file, bool filter) : m_file(file), m_filter(filter) {
        m_piece.reserve(kPiece);
    }

    // Room for up to count bytes at the end of the piece; Commit(count) keeps them.
    std::uint8_t* Space(std::size_t* count) {
        *count = std::min(*count, kPiece - m_piece.size());
        const std::size_t used = m_piece.size();
        m_piece.resize(used + *count);
        return m_piece.data() + used;
    }

    bool Commit() { return m_piece.size() < kPiece || Flush(); }

    bool Flush() {
        if (m_filter) {
            FilterBranches(m_piece.data(), m_piece.size(), m_written, false);
        }
        m_crc = Crc(m_crc, m_piece.data(), m_piece.size());
        if (!m_piece.empty() &&
            m_file.WriteData(m_piece.data(), static_cast<std::uint32_t>(m_piece.size())) !=
                BEXORESULT_OK) {
            return false;
        }
        m_written += m_piece.size();
        m_piece.clear();
        return true;
    }

    std::uint32_t Crc32() const { return m_crc; }

private:
    BexoDataBufferFile& m_file;
    bool m_filter;
    std::vector<std::uint8_t> m_piece;
    std::uint64_t m_written = 0;
    std::uint32_t m_crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
};

struct Header {
    std::uint8_t kind = 0;
    bool filter = false;
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    std::uint32_t crc = 0;
    std::uint64_t controlSize = 0;
    std::uint64_t differenceSize = 0;
};

// Every field checked against the file's size: nothing in it is trusted.
bool ParseHeader(const std::uint8_t* bytes, std::uint64_t fileSize, Header* header) {
    header->kind = bytes[4];
    header->filter = (bytes[5] & kFlagBranchFilter) != 0;
    header->oldSize = Get64(bytes + 8);
    header->newSize = Get64(bytes + 16);
    header->crc = static_cast<std::uint32_t>(Get64(bytes + 24));
    header->controlSize = Get64(bytes + 32);
    header->differenceSize = Get64(bytes + 40);
    const std::uint64_t room = fileSize - kHeaderSize;
    const bool zeros = (bytes[5] & ~kFlagBranchFilter) == 0 && bytes[6] == 0 && bytes[7] == 0 &&
                       Get64(bytes + 24) >> 32 == 0;
    if (!IsMatchFormat(bytes, kHeaderSize) || !zeros || header->newSize > kMaxFileSize ||
        header->oldSize > kMaxFileSize) {
        return false;
    }
    if (header->kind == kKindWhole) {
        return !header->filter && header->controlSize == 0 && header->differenceSize == 0;
    }
    return header->kind == kKindMatches && header->controlSize <= room &&
           header->differenceSize <= room - header->controlSize;
}

Status Rebuild(const Header& header, BexoDataBufferFile& diff, BexoDataBufferFile* old,
               BexoDataBufferFile& out) {
    const std::uint64_t frames = kHeaderSize + header.controlSize + header.differenceSize;
    NewWriter writer(out, header.filter);
    FrameReader control(diff, kHeaderSize, header.controlSize);
    FrameReader difference(diff, kHeaderSize + header.controlSize, header.differenceSize);
    FrameReader copied(diff, frames, diff.GetSize() - frames);
    std::vector<std::uint8_t> oldPiece(old != nullptr ? kPiece : 0);
    OldReader oldReader(old, header.oldSize, header.filter);
    std::uint64_t written = 0;
    std::uint64_t oldAt = 0;
    const auto copy = [&](std::uint64_t count) {
        while (count > 0) {
            auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, kPiece));
            std::uint8_t* space = writer.Space(&n);
            if (!copied.Read(space, n)) {
                return copied.Problem();
            }
            if (!writer.Commit()) {
                return Status::OutputUnwritable;
            }
            count -= n;
        }
        return Status::Ok;
    };
    if (header.kind == kKindWhole) {
        Status status = copy(header.newSize);
        if (status != Status::Ok) {
            return status;
        }
        written = header.newSize;
    }
    while (written < header.newSize) {
        std::uint8_t step[kControlSize];
        if (!control.Read(step, kControlSize)) {
            return control.Problem();
        }
        std::uint64_t add = Get64(step);
        const std::uint64_t extra = Get64(step + 8);
        const auto seek = static_cast<std::int64_t>(Get64(step + 16));
        if (add > header.newSize - written || extra > header.newSize - written - add ||
            add > header.oldSize - oldAt) {
            return Status::Corrupt;
        }
        written += add + extra;
        while (add > 0) {
            auto n = static_cast<std::size_t>(std::min<std::uint64_t>(add, kPiece));
            std::uint8_t* space = writer.Space(&n);
            if (!difference.Read(space, n)) {
                return difference.Problem();
            }
            if (!oldReader.Read(oldAt, oldPiece.data(), n)) {
                return Status::OldUnreadable;
            }
            for (std::size_t i = 0; i < n; ++i) {
                space[i] = static_cast<std::uint8_t>(space[i] + oldPiece[i]);
            }
            if (!writer.Commit()) {
                return Status::OutputUnwritable;
            }
            oldAt += n;
            add -= n;
        }
        const Status status = copy(extra);
        if (status != Status::Ok) {
            return status;
        }
        if (seek < 0 ? static_cast<std::uint64_t>(-(seek + 1)) >= oldAt
                     : static_cast<std::uint64_t>(seek) > header.oldSize - oldAt) {
            return Status::Corrupt;
        }
        oldAt = static_cast<std::uint64_t>(static_cast<std::int64_t>(oldAt) + seek);
    }
    if (!copied.Finished() ||
        (header.kind == kKindMatches && (!control.Finished() || !difference.Finished()))) {
        return Status::Corrupt;
    }
    if (!writer.Flush()) {
        return Status::OutputUnwritable;
    }
    return writer.Crc32() == header.crc ? Status::Ok : Status::Corrupt;
}

}  // namespace

Status ApplyMatchDiff(const std::wstring& oldPath, BexoDataBufferFile& diff,
                      const std::wstring& diffPath, const std::wstring& newPath,
                      std::string* error) {
    std::uint8_t bytes[kHeaderSize];
    Header header;
    if (diff.GetSize() < kHeaderSize || diff.Seek(0) != BEXORESULT_OK ||
        diff.ReadData(bytes, kHeaderSize) != BEXORESULT_OK ||
        !ParseHeader(bytes, diff.GetSize(), &header)) {
        *error = QuotedPath(diffPath) + " has a damaged header";
        return Status::Corrupt;
    }
    std::unique_ptr<BexoDataBufferFile> old;
    if (header.kind == kKindMatches) {
        old = std::make_unique<BexoDataBufferFile>(oldPath, BexoDataBufferFile::kModeRead);
        if (!old->IsOpen()) {
            *error = "cannot open " + QuotedPath(oldPath);
            return Status::OldUnreadable;
        }
        if (old->GetSize() != header.oldSize) {
            *error =
                QuotedPath(diffPath) + " was made for another old file than " + QuotedPath(oldPath);
            return Status::Corrupt;
        }
    }
    BexoDataBufferFile out(newPath, BexoDataBufferFile::kModeCreate);
    if (!out.IsOpen()) {
        *error = "cannot create " + QuotedPath(newPath);
        return Status::OutputUnwritable;
    }
    const Status status = Rebuild(header, diff, old.get(), out);
    switch (status) {
        case Status::Ok:
            if (!out.FlushStream()) {
                *error = "cannot write " + QuotedPath(newPath);
                return Status::OutputUnwritable;
            }
            break;
        case Status::OldUnreadable:
            *error = "cannot read " + QuotedPath(oldPath);
            break;
        case Status::DiffUnreadable:
            *error = "cannot read " + QuotedPath(diffPath);
            break;
        case Status::OutputUnwritable:
            *error = "cannot write " + QuotedPath(newPath);
            break;
        case Status::Corrupt:
            *error =
                QuotedPath(diffPath) + " is damaged or does not apply to " + QuotedPath(oldPath);
            break;
    }
    return status;
}

}  // namespace Delta
