#include "repair/SegmentChecksum.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> RandomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v) {
        b = static_cast<unsigned char>(rng());
    }
    return v;
}

TEST(SegmentChecksumTest, KnownValues) {
    EXPECT_EQ(SegmentCrcBitwise(0, "123456789", 9), 0x89A1897Fu);
    EXPECT_EQ(SegmentCrcBitwise(0, "abc", 3), 0x2C17398Cu);
    EXPECT_EQ(SegmentCrc(0, "123456789", 9), 0x89A1897Fu);
    EXPECT_EQ(SegmentCrc(0, "", 0), 0u);
}

TEST(SegmentChecksumTest, FastPathsAgreeWithTheDefinitionAtEveryLengthAndSplit) {
    const auto data = RandomBytes(9000, 7);
    std::mt19937 rng(11);
    for (std::size_t len : {0, 1, 15, 16, 17, 63, 64, 65, 255, 256, 257, 1000, 4096, 8999}) {
        const std::uint32_t expected = SegmentCrcBitwise(0, data.data(), len);
        EXPECT_EQ(SegmentCrcTable(0, data.data(), len), expected) << len;
        EXPECT_EQ(SegmentCrc(0, data.data(), len), expected) << len;
    }
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t len = rng() % data.size();
        const std::size_t split = len == 0 ? 0 : rng() % len;
        const std::uint32_t expected = SegmentCrcBitwise(0, data.data(), len);
        const std::uint32_t first = SegmentCrc(0, data.data(), split);
        EXPECT_EQ(SegmentCrc(first, data.data() + split, len - split), expected)
            << "len " << len << " split " << split;
    }
}

// cksum appends the length (least significant byte first, only as many bytes as needed)
// and complements: feeding the same to our checksum must give cksum's number.
TEST(SegmentChecksumTest, AgreesWithCksum) {
    const auto dir = std::filesystem::temp_directory_path() / "osmel-cksum-test";
    std::filesystem::create_directories(dir);
    for (std::size_t len :
         {std::size_t{0}, std::size_t{5}, std::size_t{300}, std::size_t{4194304 + 7}}) {
        const auto data = RandomBytes(len, static_cast<std::uint32_t>(len));
        const auto path = dir / ("data" + std::to_string(len));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(len));
        std::uint32_t crc = SegmentCrc(0, data.data(), data.size());
        for (std::size_t n = len; n != 0; n >>= 8) {
            const auto byte = static_cast<unsigned char>(n & 0xFF);
            crc = SegmentCrc(crc, &byte, 1);
        }
        crc = ~crc;
        const std::string command = "cksum < '" + path.string() + "'";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        unsigned long expected = 0;
        ASSERT_EQ(std::fscanf(pipe, "%lu", &expected), 1);
        pclose(pipe);
        EXPECT_EQ(crc, expected) << len;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
