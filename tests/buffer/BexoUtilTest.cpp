#include "repair/buffer/BexoUtil.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "kernel/SystemLog.h"
#include "kernel/Text.h"

namespace {

class LogCapture : public BexoSystemLogObserver {
public:
    LogCapture() { RegisterSystemLogObserver(this); }
    void OnSystemLog(const std::wstring& line) override { lines.push_back(WideToUtf8(line)); }
    std::vector<std::string> lines;
};

std::vector<std::uint8_t> Bytes(const BexoDataBufferMemoryDynamic& buffer, std::uint64_t size) {
    return {buffer.GetData(), buffer.GetData() + size};
}

std::vector<std::uint8_t> SampleData(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        // Half text-like, half noise: compressible but not trivially.
        data[i] = (i / 512) % 2 == 0 ? static_cast<std::uint8_t>('a' + i % 13)
                                     : static_cast<std::uint8_t>(random());
    }
    return data;
}

void Fill(BexoDataBufferMemoryDynamic& buffer, const std::vector<std::uint8_t>& bytes) {
    EXPECT_EQ(buffer.WriteData(bytes.data(), static_cast<std::uint32_t>(bytes.size())),
              BEXORESULT_OK);
    EXPECT_EQ(buffer.Seek(0), BEXORESULT_OK);
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

// A chunk with the given announced lengths around zlib's stream of raw.
void PutChunk(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& raw,
              std::int64_t rawLengthDelta = 0) {
    uLongf length = compressBound(raw.size());
    std::vector<std::uint8_t> stream(length);
    ASSERT_EQ(compress(stream.data(), &length, raw.data(), raw.size()), Z_OK);
    Put32(out, static_cast<std::uint32_t>(length));
    Put32(out, static_cast<std::uint32_t>(static_cast<std::int64_t>(raw.size()) + rawLengthDelta));
    out.insert(out.end(), stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
}

TEST(CompressionTest, RoundTrips) {
    struct Case {
        std::size_t size;
        std::uint32_t chunk;
        std::uint32_t chunks;
    };
    const Case cases[] = {
        {0, BexoUtil::kMaxChunkSize, 0},
        {1, BexoUtil::kMaxChunkSize, 1},
        {100000, BexoUtil::kMaxChunkSize, 1},
        {100000, 4096, 25},
        {100001, 4096, 25},
        {100001, 1, 100001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.size << " in chunks of " << c.chunk);
        const std::vector<std::uint8_t> raw = SampleData(c.size, 7);
        BexoDataBufferMemoryDynamic source;
        Fill(source, raw);
        BexoDataBufferMemoryDynamic container;
        // The container goes at the destination's position, after what is there.
        ASSERT_EQ(container.WriteData("head", 4), BEXORESULT_OK);
        ASSERT_EQ(BexoUtil::CompressData(&container, &source, c.chunk), BEXORESULT_OK);
        EXPECT_EQ(container.GetPosition(), container.GetSize());
        EXPECT_EQ(source.GetPosition(), c.size);
        std::uint32_t count = 0;
        ASSERT_EQ(container.Seek(4), BEXORESULT_OK);
        ASSERT_EQ(container.ReadData(&count, 4), BEXORESULT_OK);
        EXPECT_EQ(count, c.chunks);

        ASSERT_EQ(container.Seek(4), BEXORESULT_OK);
        BexoDataBufferMemoryDynamic out;
        ASSERT_EQ(out.WriteData("x", 1), BEXORESULT_OK);
        ASSERT_EQ(BexoUtil::DecompressData(&out, &container), BEXORESULT_OK);
        EXPECT_EQ(container.GetPosition(), container.GetSize());
        ASSERT_EQ(out.GetSize(), c.size + 1);
        EXPECT_EQ(Bytes(out, out.GetSize()), [&] {
            std::vector<std::uint8_t> expected{'x'};
            expected.insert(expected.end(), raw.begin(), raw.end());
            return expected;
        }());
    }
}

TEST(CompressionTest, EmptyContainersDecompressToNothing) {
    for (const std::vector<std::uint8_t>& input :
         {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{0, 0, 0, 0},
          std::vector<std::uint8_t>{1, 0}}) {
        BexoDataBufferMemoryDynamic source;
        Fill(source, input);
        BexoDataBufferMemoryDynamic out;
        EXPECT_EQ(BexoUtil::DecompressData(&out, &source), BEXORESULT_OK);
        EXPECT_EQ(out.GetSize(), 0u);
    }
}

TEST(CompressionTest, DamagedContainers) {
    const std::vector<std::uint8_t> first = SampleData(5000, 1);
    const std::vector<std::uint8_t> second = SampleData(7000, 2);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> container;
        BEXORESULT result;
        std::size_t keptBytes;  // raw bytes that reach the destination
        std::vector<std::string> log;
    };
    std::vector<Case> cases;
    {
        Case c{"second chunk corrupt", {}, BEXORESULT_OUT_OF_MEMORY, first.size(), {}};
        Put32(c.container, 2);
        PutChunk(c.container, first);
        const std::size_t at = c.container.size();
        PutChunk(c.container, second);
        c.container[at + 8 + 2] ^= 0xFF;
        c.container[at + 8 + 3] ^= 0x55;
        c.log = {"BexoUtil::DecompressData> err -3",
                 "BexoUtil::DecompressData> srcLen=" + std::to_string(c.container.size() - at - 8) +
                     ", dstLen=7000, actualDstLen="};
        cases.push_back(c);
    }
    {
        Case c{"raw length one byte short", {}, BEXORESULT_OUT_OF_MEMORY, 0, {}};
        Put32(c.container, 1);
        PutChunk(c.container, second, -1);
        c.log = {"BexoUtil::DecompressData> err -5"};
        cases.push_back(c);
    }
    {
        Case c{"raw length one byte long", {}, BEXORESULT_END_OF_DATA, 0, {}};
        Put32(c.container, 1);
        PutChunk(c.container, second, +1);
        cases.push_back(c);
    }
    {
        Case c{"truncated stream", {}, BEXORESULT_END_OF_DATA, first.size(), {}};
        Put32(c.container, 2);
        PutChunk(c.container, first);
        PutChunk(c.container, second);
        c.container.resize(c.container.size() - 1);
        c.log = {"BexoUtil::DecompressData> chunk of "};
        cases.push_back(c);
    }
    {
        Case c{"truncated lengths", {}, BEXORESULT_END_OF_DATA, first.size(), {}};
        Put32(c.container, 2);
        PutChunk(c.container, first);
        Put32(c.container, 100);
        c.log = {"BexoUtil::DecompressData> ReadData returned 8"};
        cases.push_back(c);
    }
    {
        Case c{"impossible raw length", {}, BEXORESULT_BAD_DATA, 0, {}};
        Put32(c.container, 1);
        Put32(c.container, 10);
        Put32(c.container, 10321);
        c.container.resize(c.container.size() + 10);
        c.log = {"BexoUtil::DecompressData> raw length 10321 cannot come from 10 compressed bytes"};
        cases.push_back(c);
    }
    {
        Case c{"huge lengths", {}, BEXORESULT_END_OF_DATA, 0, {}};
        Put32(c.container, 0xFFFFFFFF);
        Put32(c.container, 0xFFFFFFFF);
        Put32(c.container, 0xFFFFFFFF);
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BexoDataBufferMemoryDynamic source;
        Fill(source, c.container);
        BexoDataBufferMemoryDynamic out;
        LogCapture log;
        EXPECT_EQ(BexoUtil::DecompressData(&out, &source), c.result);
        ASSERT_EQ(out.GetSize(), c.keptBytes);
        if (c.keptBytes > 0) {
            EXPECT_EQ(Bytes(out, c.keptBytes), first);
        }
        ASSERT_GE(log.lines.size(), c.log.size());
        for (std::size_t i = 0; i < c.log.size(); ++i) {
            EXPECT_EQ(log.lines[i].rfind(c.log[i], 0), 0u) << log.lines[i];
        }
    }
}

TEST(CompressionTest, TheExpansionLimitAdmitsRealStreams) {
    // Zeros come closest to deflate's limit.
    const std::vector<std::uint8_t> zeros(8 << 20, 0);
    BexoDataBufferMemoryDynamic source;
    Fill(source, zeros);
    BexoDataBufferMemoryDynamic container;
    ASSERT_EQ(BexoUtil::CompressData(&container, &source), BEXORESULT_OK);
    ASSERT_EQ(container.Seek(0), BEXORESULT_OK);
    BexoDataBufferMemoryDynamic out;
    ASSERT_EQ(BexoUtil::DecompressData(&out, &container), BEXORESULT_OK);
    EXPECT_EQ(out.GetSize(), zeros.size());
}

}  // namespace
