// Reversible rewrites of x86 and x86-64 machine code that turn relative operands into
// positions in the file. Code that moved between two builds then keeps the same operand
// bytes wherever it refers to the same place, and the difference between the builds
// holds mostly zeros there.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Delta {

// Each block of this size is rewritten on its own, so that any part of a file can be
// rewritten or restored from its own blocks alone.
constexpr std::size_t kFilterBlock = 1 << 16;

// The first filter, over the whole file: near CALL, JMP and conditional jumps. Rewrites
// data[0, size), which starts at offset in its file; offset is a multiple of
// kFilterBlock. encode turns relative targets into positions; !encode undoes it. Only
// differences made with it use it now: data and short jumps within a function came out
// larger rewritten.
void FilterBranches(std::uint8_t* data, std::size_t size, std::uint64_t offset, bool encode);

// The part [start, end) of a file that holds its executable sections.
struct CodeRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    // x86-64 code, whose memory operands may be relative to the instruction.
    bool x64 = false;
};

// The span from the start of the first to the end of the last executable section of a
// little-endian x86 or x86-64 ELF object or a Windows executable; empty when the file is
// none of these or a section header points outside the file.
CodeRange FindCode(const std::uint8_t* data, std::size_t size);

// Within range only: the targets of CALL and JMP rel32, and in x86-64 code the
// RIP-relative displacements of common instructions (MOV, LEA, CMP, arithmetic, CALL
// and JMP through memory, SSE loads and stores). Arguments as for FilterBranches.
void FilterCode(std::uint8_t* data, std::size_t size, std::uint64_t offset, CodeRange range,
                bool encode);

}  // namespace Delta
