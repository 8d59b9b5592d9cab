// A reversible rewrite of x86 and x86-64 machine code that turns the relative targets of
// near CALL, JMP and conditional jumps into positions in the file. Code that moved
// between two builds then keeps the same operand bytes wherever it calls the same
// place, and the difference between the builds holds mostly zeros there.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Delta {

// Each block of this size is rewritten on its own, so that any part of a file can be
// rewritten or restored from its own blocks alone.
constexpr std::size_t kFilterBlock = 1 << 16;

// Rewrites data[0, size), which starts at offset in its file; offset is a multiple of
// kFilterBlock. encode turns relative targets into positions; !encode undoes it.
void FilterBranches(std::uint8_t* data, std::size_t size, std::uint64_t offset, bool encode);

// Whether the file starts as an x86 or x86-64 ELF object or a Windows executable.
bool LooksLikeX86Code(const std::uint8_t* data, std::size_t size);

}  // namespace Delta
