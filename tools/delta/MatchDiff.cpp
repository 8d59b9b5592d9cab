#include "MatchDiff.h"

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
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
constexpr std::uint8_t kFlagCodeFilter = 2;
constexpr std::uint8_t kFlagX64 = 4;
// How the streams are compressed: zstd frames (the first differences of this format) or
// raw LZMA2, which came out 15% smaller on the difference stream of a shared library.
constexpr std::uint8_t kCodecZstd = 0;
constexpr std::uint8_t kCodecLzma = 1;
// LZMA2 dictionaries span 4 KiB to 16 MiB, so each decoder needs 16 MiB at most.
constexpr int kMinDictionaryLog = 12;
constexpr int kMaxDictionaryLog = 24;
// The code ranges of the old and the new file, after the header when kFlagCodeFilter is set.
constexpr std::size_t kRangesSize = 32;
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

    void Run(MatchPlan* out) {
        MatchPlan& streams = *out;
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

int DictionaryLog(std::size_t size) {
    return std::clamp(static_cast<int>(std::bit_width(std::max<std::size_t>(size, 1) - 1)),
                      kMinDictionaryLog, kMaxDictionaryLog);
}

// Raw LZMA2 at the preset that the zstd level stands for: 19 and above is the slowest
// and smallest.
bool Compress(const std::vector<std::uint8_t>& data, int level, std::vector<std::uint8_t>* frame,
              std::string* error) {
    lzma_options_lzma options;
    const std::uint32_t preset = static_cast<std::uint32_t>(std::min(level / 2, 9)) |
                                 (level >= 19 ? LZMA_PRESET_EXTREME : 0);
    if (lzma_lzma_preset(&options, preset)) {
        *error = "cannot set up the compressor";
        return false;
    }
    options.dict_size = 1u << DictionaryLog(data.size());
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    // LZMA2 stores incompressible chunks as they are: 3 bytes per 64 KiB at most.
    frame->resize(data.size() + data.size() / 1024 + 64);
    std::size_t size = 0;
    const lzma_ret result = lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(),
                                                   frame->data(), &size, frame->size());
    if (result != LZMA_OK) {
        *error = "compress: liblzma error " + std::to_string(static_cast<int>(result));
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

namespace {

MatchPlan MakePlan(const std::vector<std::uint8_t>& oldData,
                   const std::vector<std::uint8_t>& newData, Kind kind) {
    MatchPlan plan;
    plan.kind = kind;
    if (kind == Kind::Matches) {
        Matcher(oldData, newData).Run(&plan);
        return plan;
    }
    std::vector<std::uint8_t> oldCode = oldData;
    std::vector<std::uint8_t> newCode = newData;
    if (kind == Kind::BranchMatches) {
        plan.flags = kFlagBranchFilter;
        FilterBranches(oldCode.data(), oldCode.size(), 0, true);
        FilterBranches(newCode.data(), newCode.size(), 0, true);
    } else {
        plan.oldCode = FindCode(oldData.data(), oldData.size());
        plan.newCode = FindCode(newData.data(), newData.size());
        // Both sides rewrite the same instructions.
        plan.newCode.x64 = plan.oldCode.x64;
        plan.flags = kFlagCodeFilter | (plan.oldCode.x64 ? kFlagX64 : 0);
        FilterCode(oldCode.data(), oldCode.size(), 0, plan.oldCode, true);
        FilterCode(newCode.data(), newCode.size(), 0, plan.newCode, true);
    }
    Matcher(oldCode, newCode).Run(&plan);
    return plan;
}

// A quick measure of a plan's compressed size, to rank plans before the slow compressor.
std::size_t QuickSize(const MatchPlan& plan) {
    std::size_t total = 0;
    for (const std::vector<std::uint8_t>* stream :
         {&plan.control, &plan.difference, &plan.copied}) {
        std::vector<std::uint8_t> frame(ZSTD_compressBound(stream->size()));
        const std::size_t size =
            ZSTD_compress(frame.data(), frame.size(), stream->data(), stream->size(), 3);
        total += ZSTD_isError(size) ? stream->size() : size;
    }
    return total;
}

std::vector<std::uint8_t> MakeHeader(std::uint8_t kind, std::uint8_t flags,
                                     const std::vector<std::uint8_t>& oldData,
                                     const std::vector<std::uint8_t>& newData) {
    std::vector<std::uint8_t> header(kHeaderSize, 0);
    std::memcpy(header.data(), kMagic, sizeof(kMagic));
    header[4] = kind;
    header[5] = flags;
    header[6] = kCodecLzma;
    Put64(header.data() + 8, oldData.size());
    Put64(header.data() + 16, newData.size());
    const std::uint32_t crc =
        Crc(static_cast<std::uint32_t>(crc32(0, nullptr, 0)), newData.data(), newData.size());
    for (int i = 0; i < 4; ++i) {
        header[24 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    return header;
}

Status WriteFile(const std::wstring& diffPath, const std::vector<std::uint8_t>& header,
                 const std::vector<std::vector<std::uint8_t>>& frames, std::string* error) {
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

}  // namespace

Status WriteMatchPlan(const std::vector<std::uint8_t>& oldData,
                      const std::vector<std::uint8_t>& newData, const MatchPlan& plan, int level,
                      const std::wstring& diffPath, std::string* error) {
    std::vector<std::uint8_t> header = MakeHeader(kKindMatches, plan.flags, oldData, newData);
    if ((plan.flags & kFlagCodeFilter) != 0) {
        header.resize(kHeaderSize + kRangesSize);
        Put64(header.data() + kHeaderSize, plan.oldCode.start);
        Put64(header.data() + kHeaderSize + 8, plan.oldCode.end);
        Put64(header.data() + kHeaderSize + 16, plan.newCode.start);
        Put64(header.data() + kHeaderSize + 24, plan.newCode.end);
    }
    const std::vector<std::uint8_t>* streams[] = {&plan.control, &plan.difference, &plan.copied};
    std::vector<std::vector<std::uint8_t>> frames(std::size(streams));
    for (std::size_t i = 0; i < std::size(streams); ++i) {
        if (!Compress(*streams[i], level, &frames[i], error)) {
            return Status::Corrupt;
        }
        header[28 + i] = static_cast<std::uint8_t>(DictionaryLog(streams[i]->size()));
    }
    Put64(header.data() + 32, frames[0].size());
    Put64(header.data() + 40, frames[1].size());
    return WriteFile(diffPath, header, frames, error);
}

bool IsMatchFormat(const std::uint8_t* data, std::size_t size) {
    return size >= sizeof(kMagic) && std::memcmp(data, kMagic, sizeof(kMagic)) == 0;
}

Status WriteMatchDiff(const std::vector<std::uint8_t>& oldData,
                      const std::vector<std::uint8_t>& newData, Kind kind, int level,
                      const std::wstring& diffPath, std::string* error) {
    try {
        if (kind == Kind::Whole) {
            std::vector<std::uint8_t> header = MakeHeader(kKindWhole, 0, oldData, newData);
            std::vector<std::vector<std::uint8_t>> frames(1);
            if (!Compress(newData, level, &frames[0], error)) {
                return Status::Corrupt;
            }
            header[28] = static_cast<std::uint8_t>(DictionaryLog(newData.size()));
            return WriteFile(diffPath, header, frames, error);
        }
        if (oldData.size() > kMaxSortableSize) {
            *error = "the old file is too large for matching";
            return Status::OldUnreadable;
        }
        return WriteMatchPlan(oldData, newData, MakePlan(oldData, newData, kind), level, diffPath,
                              error);
    } catch (const std::bad_alloc&) {
        *error = "the files do not fit in memory";
        return Status::OldUnreadable;
    }
}

Status PlanBestMatches(const std::vector<std::uint8_t>& oldData,
                       const std::vector<std::uint8_t>& newData, MatchPlan* plan,
                       std::string* error) {
    if (oldData.size() > kMaxSortableSize) {
        *error = "the old file is too large for matching";
        return Status::OldUnreadable;
    }
    try {
        *plan = MakePlan(oldData, newData, Kind::Matches);
        plan->quickSize = QuickSize(*plan);
        const CodeRange oldCode = FindCode(oldData.data(), oldData.size());
        const CodeRange newCode = FindCode(newData.data(), newData.size());
        if (oldCode.end != 0 && newCode.end != 0 && oldCode.x64 == newCode.x64) {
            MatchPlan code = MakePlan(oldData, newData, Kind::CodeMatches);
            code.quickSize = QuickSize(code);
            if (code.quickSize < plan->quickSize) {
                *plan = std::move(code);
            }
        }
        return Status::Ok;
    } catch (const std::bad_alloc&) {
        *error = "the files do not fit in memory";
        return Status::OldUnreadable;
    }
}

namespace {

// One compressed stream of the difference file, decoded on demand: a zstd frame or raw
// LZMA2. Several share the file and each seeks to its own place before reading.
class FrameReader {
public:
    FrameReader(BexoDataBufferFile& file, std::uint64_t start, std::uint64_t size,
                std::uint8_t codec, int dictionaryLog)
        : m_file(file),
          m_offset(start),
          m_left(size),
          m_codec(codec),
          m_dictionaryLog(dictionaryLog),
          m_buffer(ZSTD_DStreamInSize()) {}
    ~FrameReader() { lzma_end(&m_lzma); }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The problem when Read or Finished failed: the file or the frame.
    Status Problem() const { return m_problem; }

    // Exactly count decoded bytes; false when the frame is damaged or ends first.
    bool Read(std::uint8_t* out, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            if (!Step(out + done, count - done, &done)) {
                return false;
            }
        }
        return true;
    }

    // Whether the frame ends here, checksum included, with nothing after it.
    bool Finished() {
        std::uint8_t extra = 0;
        while (!m_ended) {
            std::size_t produced = 0;
            if (!Step(&extra, 1, &produced) || produced != 0) {
                return false;
            }
        }
        return m_inPos == m_inSize && m_left == 0;
    }

private:
    bool Start() {
        if (m_codec == kCodecLzma) {
            lzma_options_lzma options{};
            options.dict_size = 1u << m_dictionaryLog;
            const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options},
                                           {LZMA_VLI_UNKNOWN, nullptr}};
            return lzma_raw_decoder(&m_lzma, filters) == LZMA_OK;
        }
        m_dctx.reset(ZSTD_createDCtx());
        return m_dctx != nullptr && !ZSTD_isError(ZSTD_DCtx_setParameter(
                                        m_dctx.get(), ZSTD_d_windowLogMax, kFrameWindowLog));
    }

    // Decodes into out[0, room), adding what came out to *produced.
    bool Step(std::uint8_t* out, std::size_t room, std::size_t* produced) {
        if (!m_started) {
            m_started = true;
            if (!Start()) {
                return false;
            }
        }
        if (m_ended) {
            return false;
        }
        if (m_inPos == m_inSize && m_left > 0) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_left, m_buffer.size()));
            if (m_file.Seek(m_offset) != BEXORESULT_OK ||
                m_file.ReadData(m_buffer.data(), static_cast<std::uint32_t>(n)) != BEXORESULT_OK) {
                m_problem = Status::DiffUnreadable;
                return false;
            }
            m_offset += n;
            m_left -= n;
            m_inPos = 0;
            m_inSize = n;
        }
        const std::size_t inBefore = m_inPos;
        std::size_t outPos = 0;
        if (m_codec == kCodecLzma) {
            m_lzma.next_in = m_buffer.data() + m_inPos;
            m_lzma.avail_in = m_inSize - m_inPos;
            m_lzma.next_out = out;
            m_lzma.avail_out = room;
            const lzma_ret result = lzma_code(&m_lzma, LZMA_RUN);
            m_inPos = m_inSize - m_lzma.avail_in;
            outPos = room - m_lzma.avail_out;
            if (result != LZMA_OK && result != LZMA_STREAM_END) {
                return false;
            }
            m_ended = result == LZMA_STREAM_END;
        } else {
            ZSTD_inBuffer input{m_buffer.data(), m_inSize, m_inPos};
            ZSTD_outBuffer output{out, room, 0};
            const std::size_t result = ZSTD_decompressStream(m_dctx.get(), &output, &input);
            if (ZSTD_isError(result)) {
                return false;
            }
            m_inPos = input.pos;
            outPos = output.pos;
            m_ended = result == 0;
        }
        *produced += outPos;
        // No input left and nothing came out: the frame is cut short.
        return m_ended || outPos != 0 || m_inPos != inBefore || m_left > 0 || m_inPos < m_inSize;
    }

    BexoDataBufferFile& m_file;
    std::uint64_t m_offset;
    std::uint64_t m_left;
    std::uint8_t m_codec;
    int m_dictionaryLog;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_inPos = 0;
    std::size_t m_inSize = 0;
    DecompressContext m_dctx;
    lzma_stream m_lzma = LZMA_STREAM_INIT;
    bool m_started = false;
    bool m_ended = false;
    Status m_problem = Status::Corrupt;
};

// How the files were rewritten before matching, undone piece by piece while applying.
struct Rewrite {
    bool branches = false;
    bool code = false;
    CodeRange range;

    void Apply(std::uint8_t* data, std::size_t size, std::uint64_t offset, bool encode) const {
        if (branches) {
            FilterBranches(data, size, offset, encode);
        } else if (code) {
            FilterCode(data, size, offset, range, encode);
        }
    }
};

// The old file by offset, through a cache of filter blocks, each read once while it
// stays cached: matches jump about the old file, and a cache of one large piece read
// most of the file again for every jump.
class OldReader {
public:
    OldReader(BexoDataBufferFile* file, std::uint64_t size, Rewrite rewrite)
        : m_file(file), m_size(size), m_rewrite(rewrite), m_cache(kCacheBlocks * kFilterBlock) {}

    bool Read(std::uint64_t position, std::uint8_t* out, std::size_t count) {
        while (count > 0) {
            const std::uint64_t block = position / kFilterBlock;
            const std::size_t slot = static_cast<std::size_t>(block % kCacheBlocks);
            std::uint8_t* cached = m_cache.data() + slot * kFilterBlock;
            const std::uint64_t start = block * kFilterBlock;
            const auto length =
                static_cast<std::size_t>(std::min<std::uint64_t>(kFilterBlock, m_size - start));
            if (m_tags[slot] != block + 1) {
                m_tags[slot] = 0;
                if (m_file == nullptr || m_file->Seek(start) != BEXORESULT_OK ||
                    m_file->ReadData(cached, static_cast<std::uint32_t>(length)) != BEXORESULT_OK) {
                    return false;
                }
                m_rewrite.Apply(cached, length, start, true);
                m_tags[slot] = block + 1;
            }
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(count, start + length - position));
            std::memcpy(out, cached + (position - start), n);
            out += n;
            position += n;
            count -= n;
        }
        return true;
    }

private:
    static constexpr std::size_t kCacheBlocks = 32;

    BexoDataBufferFile* m_file;
    std::uint64_t m_size;
    Rewrite m_rewrite;
    std::vector<std::uint8_t> m_cache;
    // The block each slot holds, plus one; 0 for none.
    std::uint64_t m_tags[kCacheBlocks] = {};
};

// The new file, written a piece at a time; restores filtered code piece by piece.
class NewWriter {
public:
    NewWriter(BexoDataBufferFile& file, Rewrite rewrite) : m_file(file), m_rewrite(rewrite) {
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
        m_rewrite.Apply(m_piece.data(), m_piece.size(), m_written, false);
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
    Rewrite m_rewrite;
    std::vector<std::uint8_t> m_piece;
    std::uint64_t m_written = 0;
    std::uint32_t m_crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
};

struct Header {
    std::uint8_t kind = 0;
    std::uint8_t flags = 0;
    std::uint8_t codec = kCodecZstd;
    int dictionaryLogs[3] = {};
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    std::uint32_t crc = 0;
    std::uint64_t controlSize = 0;
    std::uint64_t differenceSize = 0;
    // Where the frames start: after the code ranges when there are any.
    std::uint64_t framesAt = kHeaderSize;
    CodeRange oldCode;
    CodeRange newCode;

    Rewrite OldRewrite() const {
        return {(flags & kFlagBranchFilter) != 0, (flags & kFlagCodeFilter) != 0, oldCode};
    }
    Rewrite NewRewrite() const {
        return {(flags & kFlagBranchFilter) != 0, (flags & kFlagCodeFilter) != 0, newCode};
    }
};

// Every field checked against the file's size: nothing in it is trusted. The code
// ranges are read by ParseRanges.
bool ParseHeader(const std::uint8_t* bytes, std::uint64_t fileSize, Header* header) {
    header->kind = bytes[4];
    header->flags = bytes[5];
    header->codec = bytes[6];
    header->oldSize = Get64(bytes + 8);
    header->newSize = Get64(bytes + 16);
    header->crc = static_cast<std::uint32_t>(Get64(bytes + 24));
    header->controlSize = Get64(bytes + 32);
    header->differenceSize = Get64(bytes + 40);
    const std::uint8_t knownFlags = kFlagBranchFilter | kFlagCodeFilter | kFlagX64;
    const int streams = header->kind == kKindWhole ? 1 : 3;
    bool logsValid = bytes[31] == 0;
    for (int i = 0; i < 3; ++i) {
        header->dictionaryLogs[i] = bytes[28 + i];
        const bool used = header->codec == kCodecLzma && i < streams;
        logsValid = logsValid && (used ? header->dictionaryLogs[i] >= kMinDictionaryLog &&
                                             header->dictionaryLogs[i] <= kMaxDictionaryLog
                                       : header->dictionaryLogs[i] == 0);
    }
    const bool codeFilter = (header->flags & kFlagCodeFilter) != 0;
    const bool flagsValid = (header->flags & ~knownFlags) == 0 &&
                            ((header->flags & kFlagBranchFilter) == 0 || !codeFilter) &&
                            ((header->flags & kFlagX64) == 0 || codeFilter);
    header->framesAt = kHeaderSize + (codeFilter ? kRangesSize : 0);
    if (!IsMatchFormat(bytes, kHeaderSize) || !flagsValid || !logsValid || bytes[7] != 0 ||
        (header->codec != kCodecZstd && header->codec != kCodecLzma) ||
        header->newSize > kMaxFileSize || header->oldSize > kMaxFileSize ||
        fileSize < header->framesAt) {
        return false;
    }
    const std::uint64_t room = fileSize - header->framesAt;
    if (header->kind == kKindWhole) {
        return header->flags == 0 && header->controlSize == 0 && header->differenceSize == 0;
    }
    return header->kind == kKindMatches && header->controlSize <= room &&
           header->differenceSize <= room - header->controlSize;
}

// The code ranges after the header, each within its file.
bool ParseRanges(const std::uint8_t* bytes, Header* header) {
    const bool x64 = (header->flags & kFlagX64) != 0;
    header->oldCode = {Get64(bytes), Get64(bytes + 8), x64};
    header->newCode = {Get64(bytes + 16), Get64(bytes + 24), x64};
    return header->oldCode.start <= header->oldCode.end && header->oldCode.end <= header->oldSize &&
           header->newCode.start <= header->newCode.end && header->newCode.end <= header->newSize;
}

Status Rebuild(const Header& header, BexoDataBufferFile& diff, BexoDataBufferFile* old,
               BexoDataBufferFile& out) {
    const std::uint64_t frames = header.framesAt + header.controlSize + header.differenceSize;
    const bool whole = header.kind == kKindWhole;
    NewWriter writer(out, header.NewRewrite());
    FrameReader control(diff, header.framesAt, header.controlSize, header.codec,
                        header.dictionaryLogs[0]);
    FrameReader difference(diff, header.framesAt + header.controlSize, header.differenceSize,
                           header.codec, header.dictionaryLogs[1]);
    FrameReader copied(diff, frames, diff.GetSize() - frames, header.codec,
                       header.dictionaryLogs[whole ? 0 : 2]);
    std::vector<std::uint8_t> oldPiece(old != nullptr ? kPiece : 0);
    OldReader oldReader(old, header.oldSize, header.OldRewrite());
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
    std::uint8_t ranges[kRangesSize];
    if (header.framesAt > kHeaderSize &&
        (diff.ReadData(ranges, kRangesSize) != BEXORESULT_OK || !ParseRanges(ranges, &header))) {
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
