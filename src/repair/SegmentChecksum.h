// The repair segment checksum: the unreflected CRC-32 with polynomial 0x04C11DB7,
// initial value 0 and no final inversion (the CRC of the POSIX cksum without its length
// step and complement). "123456789" gives 0x89A1897F.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues a checksum over more bytes: SegmentCrc(SegmentCrc(0, a), b) is the checksum
// of a followed by b. Uses carry-less multiplication where the processor has it (chosen
// once, at the first call) and a slicing-by-16 table otherwise; both give the same value.
std::uint32_t SegmentCrc(std::uint32_t crc, const void* data, std::size_t size);

// The definition, one bit at a time; for tests and as the reference.
std::uint32_t SegmentCrcBitwise(std::uint32_t crc, const void* data, std::size_t size);

// The table implementation alone, whatever the processor has.
std::uint32_t SegmentCrcTable(std::uint32_t crc, const void* data, std::size_t size);

// Whether SegmentCrc uses carry-less multiplication on this processor.
bool SegmentCrcUsesClmul();
