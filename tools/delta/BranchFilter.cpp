#include "BranchFilter.h"

#include <algorithm>
#include <initializer_list>

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

// A table of 256 flags with those of the listed opcodes set.
struct OpcodeSet {
    bool has[256] = {};
    constexpr OpcodeSet(std::initializer_list<std::uint8_t> opcodes) {
        for (const std::uint8_t opcode : opcodes) {
            has[opcode] = true;
        }
    }
};

// One-byte opcodes with a ModRM byte: ADD OR AND SUB XOR CMP TEST XCHG MOV LEA MOVSXD
// each way round, and the immediate forms 80 81 83 C6 C7 F6 F7, whose immediate follows
// the displacement (the filter only needs one fixed place per form).
constexpr OpcodeSet kModRm = {0x01, 0x03, 0x09, 0x0b, 0x21, 0x23, 0x29, 0x2b, 0x31, 0x33,
                              0x38, 0x39, 0x3a, 0x3b, 0x63, 0x80, 0x81, 0x83, 0x84, 0x85,
                              0x87, 0x88, 0x89, 0x8a, 0x8b, 0x8d, 0xc6, 0xc7, 0xf6, 0xf7};
// Two-byte opcodes (after 0F) with a ModRM byte: SSE moves and arithmetic, MOVZX, MOVSX,
// prefetches.
constexpr OpcodeSet kModRmAfter0F = {0x10, 0x11, 0x18, 0x28, 0x29, 0x2e, 0x2f, 0x54, 0x57, 0x58,
                                     0x59, 0x5c, 0x5e, 0x6f, 0x7f, 0xb6, 0xb7, 0xbe, 0xbf};

bool RipRelative(std::uint8_t modrm) {
    return (modrm & 0xc7) == 0x05;
}

// The length of the instruction bytes before a 4-byte operand to rewrite at data[i], or 0.
std::size_t OperandAt(const std::uint8_t* data, std::size_t i, std::size_t size, bool x64) {
    if (data[i] == 0xe8 || data[i] == 0xe9) {
        return 1;
    }
    if (!x64) {
        return 0;
    }
    std::size_t j = i;
    if ((data[j] & 0xf0) == 0x40) {
        ++j;
    }
    if (j + 1 >= size) {
        return 0;
    }
    if (kModRm.has[data[j]] && RipRelative(data[j + 1])) {
        return j + 2 - i;
    }
    // FF /2 CALL, /4 JMP, /6 PUSH through memory.
    if (data[j] == 0xff && (data[j + 1] == 0x15 || data[j + 1] == 0x25 || data[j + 1] == 0x35)) {
        return j + 2 - i;
    }
    if (data[j] == 0x0f && j + 2 < size && kModRmAfter0F.has[data[j + 1]] &&
        RipRelative(data[j + 2])) {
        return j + 3 - i;
    }
    return 0;
}

void FilterCodeBlock(std::uint8_t* data, std::size_t size, std::uint64_t offset, bool x64,
                     bool encode) {
    std::size_t i = 0;
    while (i < size) {
        const std::size_t before = OperandAt(data, i, size, x64);
        if (before == 0 || i + before + 4 > size) {
            ++i;
            continue;
        }
        // As in FilterBlock: the operand is skipped whether or not it is rewritten.
        if (IsNearOperand(data + i + before)) {
            Rewrite(data + i + before, offset + i + before + 4, encode);
        }
        i += before + 4;
    }
}

std::uint64_t Little(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// Widens range by [start, start + length) when that lies within the file.
bool Include(std::uint64_t start, std::uint64_t length, std::size_t size, CodeRange* range) {
    if (start > size || length > size - start) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    if (range->end == 0) {
        range->start = start;
    }
    range->start = std::min(range->start, start);
    range->end = std::max(range->end, start + length);
    return true;
}

CodeRange FindElfCode(const std::uint8_t* data, std::size_t size) {
    // Little-endian only; 32-bit (class 1) i386 or 64-bit (class 2) x86-64.
    if (size < 52 || data[5] != 1 || (data[4] != 1 && data[4] != 2)) {
        return {};
    }
    const bool wide = data[4] == 2;
    const std::uint64_t machine = Little(data + 18, 2);
    if ((wide && machine != 62) || (!wide && machine != 3) || (wide && size < 64)) {
        return {};
    }
    const std::uint64_t tableAt = wide ? Little(data + 40, 8) : Little(data + 32, 4);
    const std::uint64_t entrySize = Little(data + (wide ? 58 : 46), 2);
    const std::uint64_t count = Little(data + (wide ? 60 : 48), 2);
    const std::uint64_t minimum = wide ? 64 : 40;
    if (count == 0 || entrySize < minimum || tableAt > size ||
        count > (size - tableAt) / entrySize) {
        return {};
    }
    CodeRange range;
    range.x64 = wide;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = data + tableAt + i * entrySize;
        constexpr std::uint64_t kNoBits = 8;
        constexpr std::uint64_t kExecutable = 4;
        const std::uint64_t type = Little(entry + 4, 4);
        const std::uint64_t flags = wide ? Little(entry + 8, 8) : Little(entry + 8, 4);
        const std::uint64_t at = wide ? Little(entry + 24, 8) : Little(entry + 16, 4);
        const std::uint64_t length = wide ? Little(entry + 32, 8) : Little(entry + 20, 4);
        if (type == kNoBits || (flags & kExecutable) == 0) {
            continue;
        }
        if (!Include(at, length, size, &range)) {
            return {};
        }
    }
    return range;
}

CodeRange FindPeCode(const std::uint8_t* data, std::size_t size) {
    if (size < 64) {
        return {};
    }
    const std::uint64_t header = Little(data + 60, 4);
    if (header > size || size - header < 24 || data[header] != 'P' || data[header + 1] != 'E' ||
        data[header + 2] != 0 || data[header + 3] != 0) {
        return {};
    }
    const std::uint64_t machine = Little(data + header + 4, 2);
    const std::uint64_t count = Little(data + header + 6, 2);
    const std::uint64_t optional = Little(data + header + 20, 2);
    constexpr std::uint64_t kEntrySize = 40;
    const std::uint64_t tableAt = header + 24 + optional;
    if ((machine != 0x14c && machine != 0x8664) || tableAt > size ||
        count > (size - tableAt) / kEntrySize) {
        return {};
    }
    CodeRange range;
    range.x64 = machine == 0x8664;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = data + tableAt + i * kEntrySize;
        constexpr std::uint64_t kCode = 0x20;
        constexpr std::uint64_t kExecute = 0x20000000;
        const std::uint64_t characteristics = Little(entry + 36, 4);
        if ((characteristics & (kCode | kExecute)) == 0) {
            continue;
        }
        if (!Include(Little(entry + 20, 4), Little(entry + 16, 4), size, &range)) {
            return {};
        }
    }
    return range;
}

}  // namespace

void FilterBranches(std::uint8_t* data, std::size_t size, std::uint64_t offset, bool encode) {
    for (std::size_t start = 0; start < size; start += kFilterBlock) {
        FilterBlock(data + start, std::min(kFilterBlock, size - start), offset + start, encode);
    }
}

CodeRange FindCode(const std::uint8_t* data, std::size_t size) {
    if (size >= 4 && data[0] == 0x7f && data[1] == 'E' && data[2] == 'L' && data[3] == 'F') {
        return FindElfCode(data, size);
    }
    if (size >= 2 && data[0] == 'M' && data[1] == 'Z') {
        return FindPeCode(data, size);
    }
    return {};
}

void FilterCode(std::uint8_t* data, std::size_t size, std::uint64_t offset, CodeRange range,
                bool encode) {
    // Blocks at multiples of kFilterBlock in the file, each cut to the range.
    for (std::size_t start = 0; start < size;) {
        const std::uint64_t at = offset + start;
        const std::size_t blockLeft = kFilterBlock - static_cast<std::size_t>(at % kFilterBlock);
        const std::size_t n = std::min(blockLeft, size - start);
        const std::uint64_t from = std::max(at, range.start);
        const std::uint64_t to = std::min(at + n, range.end);
        if (from < to) {
            FilterCodeBlock(data + (from - offset), static_cast<std::size_t>(to - from), from,
                            range.x64, encode);
        }
        start += n;
    }
}

}  // namespace Delta
