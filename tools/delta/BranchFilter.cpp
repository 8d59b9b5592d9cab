#include "BranchFilter.h"

#include <algorithm>

namespace Delta {

namespace {

// Only operands whose top byte is a sign extension (within 16 MiB either way) are
// rewritten, and the result is kept in that form modulo 2^25: the restoring side makes
// the same choice from the same bytes.
constexpr std::uint32_t kSpan = 1u << 25;

bool IsNearOperand(const std::uint8_t* operand) {
    return operand[3] == 0x00 || operand[3] == 0xff;
}

void Rewrite(std::uint8_t* operand, std::uint64_t end, bool encode) {
    std::uint32_t value =
        static_cast<std::uint32_t>(operand[0]) | static_cast<std::uint32_t>(operand[1]) << 8 |
        static_cast<std::uint32_t>(operand[2]) << 16 | static_cast<std::uint32_t>(operand[3]) << 24;
    const auto position = static_cast<std::uint32_t>(end);
    value = (encode ? value + position : value - position) & (kSpan - 1);
    if ((value & (kSpan >> 1)) != 0) {
        value |= ~(kSpan - 1);
    }
    operand[0] = static_cast<std::uint8_t>(value);
    operand[1] = static_cast<std::uint8_t>(value >> 8);
    operand[2] = static_cast<std::uint8_t>(value >> 16);
    operand[3] = static_cast<std::uint8_t>(value >> 24);
}

void FilterBlock(std::uint8_t* data, std::size_t size, std::uint64_t offset, bool encode) {
    std::size_t i = 0;
    while (i < size) {
        // E8 CALL and E9 JMP take 4 bytes of target; 0F 80..8F (Jcc) take 4 after two.
        std::size_t opcode = 0;
        if (data[i] == 0xe8 || data[i] == 0xe9) {
            opcode = 1;
        } else if (data[i] == 0x0f && i + 1 < size && (data[i + 1] & 0xf0) == 0x80) {
            opcode = 2;
        }
        if (opcode == 0 || i + opcode + 4 > size) {
            ++i;
            continue;
        }
        // Skipping the operand even when it stays as it is keeps every later rewrite out
        // of the bytes this choice read, so the restoring side reads them unchanged.
        if (IsNearOperand(data + i + opcode)) {
            Rewrite(data + i + opcode, offset + i + opcode + 4, encode);
        }
        i += opcode + 4;
    }
}

}  // namespace

void FilterBranches(std::uint8_t* data, std::size_t size, std::uint64_t offset, bool encode) {
    for (std::size_t start = 0; start < size; start += kFilterBlock) {
        FilterBlock(data + start, std::min(kFilterBlock, size - start), offset + start, encode);
    }
}

bool LooksLikeX86Code(const std::uint8_t* data, std::size_t size) {
    if (size >= 20 && data[0] == 0x7f && data[1] == 'E' && data[2] == 'L' && data[3] == 'F') {
        // e_machine, little-endian: 3 is i386, 62 is x86-64.
        const unsigned machine = data[18] | data[19] << 8;
        return data[5] == 1 && (machine == 3 || machine == 62);
    }
    return size >= 64 && data[0] == 'M' && data[1] == 'Z';
}

}  // namespace Delta
