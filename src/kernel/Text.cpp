#include "kernel/Text.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/Utf8.h"

namespace {

// Windows-1252, bytes 0x80-0x9F.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char NarrowUnit(char32_t u) {
    if ((u >= 0x20 && u <= 0x7F) || u == 0x09 || u == 0x0A || u == 0x0D) {
        return static_cast<char>(u);
    }
    switch (u) {
        case 0x2026:
            return '\x85';
        case 0x2018:
            return '\x91';
        case 0x2019:
            return '\x92';
        case 0x201C:
            return '\x93';
        case 0x201D:
            return '\x94';
        case 0x2013:
            return '\x96';
        case 0x00AB:
            return '\xAB';
        case 0x00B0:
            return '\xB0';
        case 0x00BB:
            return '\xBB';
        default:
            return '?';
    }
}

}  // namespace

std::string ToNarrow(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        out += NarrowUnit(static_cast<char32_t>(c));
    }
    return out;
}

std::wstring ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 && b <= 0x9F) {
            out += static_cast<wchar_t>(kCp1252High[b - 0x80]);
        } else {
            out += static_cast<wchar_t>(b);
        }
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    return Platform::EncodeUtf8(text);
}

std::wstring Utf8ToWide(std::string_view text) {
    return Platform::DecodeUtf8(text);
}

std::u16string ToUtf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        auto u = static_cast<char32_t>(c);
        if (u >= 0x10000 && u <= 0x10FFFF) {
            u -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (u >> 10));
            out += static_cast<char16_t>(0xDC00 + (u & 0x3FF));
        } else if (u > 0x10FFFF) {
            out += u'\xFFFD';
        } else {
            out += static_cast<char16_t>(u);
        }
    }
    return out;
}

std::wstring FromUtf16(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if constexpr (sizeof(wchar_t) == 4) {
            if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF) {
                const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                                    (static_cast<char32_t>(text[++i]) - 0xDC00);
                out += static_cast<wchar_t>(cp);
                continue;
            }
        }
        out += static_cast<wchar_t>(u);
    }
    return out;
}

bool Utf16Less::operator()(const std::wstring& a, const std::wstring& b) const {
    if constexpr (sizeof(wchar_t) == 2) {
        return a < b;
    } else {
        // Code points order as UTF-16 units do except that U+10000 and above (surrogates
        // in UTF-16, 0xD800-0xDFFF) sort before U+E000-U+FFFF.
        const auto key = [](wchar_t c) -> std::uint32_t {
            const auto u = static_cast<std::uint32_t>(c);  // NOLINT(bugprone-signed-char-misuse)
            if (u >= 0x10000) {
                return 0xD800 + ((u - 0x10000) >> 10);
            }
            return u;
        };
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i) {
            if (a[i] != b[i]) {
                const std::uint32_t ka = key(a[i]);
                const std::uint32_t kb = key(b[i]);
                if (ka != kb) {
                    return ka < kb;
                }
                // Same high surrogate: the low surrogates order as the code points do.
                return static_cast<std::uint32_t>(a[i]) < static_cast<std::uint32_t>(b[i]);
            }
        }
        return a.size() < b.size();
    }
}

std::wstring FillFields(std::wstring text, std::initializer_list<std::wstring> values) {
    std::size_t at = 0;
    for (const std::wstring& value : values) {
        // The next "%s", "%d", "%u" or "%lu".
        std::size_t end = std::wstring::npos;
        for (; (at = text.find(L'%', at)) != std::wstring::npos; ++at) {
            end = at + 1;
            while (end < text.size() && text[end] == L'l') {
                ++end;
            }
            if (end < text.size() &&
                (text[end] == L's' || text[end] == L'd' || text[end] == L'u')) {
                break;
            }
        }
        if (at == std::wstring::npos) {
            break;
        }
        text.replace(at, end + 1 - at, value);
        at += value.size();
    }
    return text;
}

std::string FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        out.assign(buffer.data(), static_cast<std::size_t>(n));
    }
    va_end(args);
    return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start && text[end - 1] == '\r') {
            --end;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = next;
    }
    return lines;
}

bool ParseDecimal(std::string_view text, std::uint64_t* value) {
    if (text.empty() || text.size() > 18) {
        return false;
    }
    std::uint64_t number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    *value = number;
    return true;
}
