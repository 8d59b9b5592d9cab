// Text conversions. Wide text is UTF-16 in meaning; narrow text is the system's
// subset of Windows-1252.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/PrintfFormat.h"

// One byte per unit. Printable ASCII, tab, LF, CR and a few typographic characters
// keep their Windows-1252 byte; everything else, U+0000 included, becomes "?".
std::string ToNarrow(std::wstring_view text);

// One unit per byte, decoding Windows-1252. Bytes 0x00-0x7F and the nine characters
// ToNarrow produces map as ToNarrow's inverse. The other bytes 0x80-0xFF, which only
// reach this from outside, follow the same Windows-1252 table everywhere: 0x80 is
// U+20AC, 0xA0-0xFF are U+00A0-U+00FF, and the five bytes that code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 control of the same value,
// as Windows' own conversion does.
std::wstring ToWide(std::string_view text);

// UTF-8, for list files, tool output and the window.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

// UTF-16 code units as they travel in files and on the wire. On a platform with a
// 32-bit wchar_t, code points above U+FFFF become surrogate pairs and back.
std::u16string ToUtf16(std::wstring_view text);
std::wstring FromUtf16(std::u16string_view text);

// Orders wide text by its UTF-16 code units, as the original platform's maps do.
struct Utf16Less {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// The text with its "%s", "%d", "%u" and "%lu" fields, in order, replaced by the given values;
// fields beyond the values stay as they are. For catalogue texts, whose fields are filled with text
// already formatted by the caller.
std::wstring FillFields(std::wstring text, std::initializer_list<std::wstring> values);

// The lines of a text without their LF or CR LF; a last line without a break counts.
std::vector<std::string> SplitLines(std::string_view text);

// A whole decimal number of at most 18 digits, so that it fits a signed 64-bit size; false
// for anything else (empty, a sign, spaces, other characters).
bool ParseDecimal(std::string_view text, std::uint64_t* value);

// printf into a std::string / std::wstring, without a length limit.
std::string FormatString(const char* format, ...) OSMEL_PRINTF_FORMAT(1, 2);
