#include "kernel/MessageCatalogue.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

#include "kernel/StringTableData.h"
#include "kernel/Text.h"
#include "platform/System.h"

namespace {

std::atomic<std::uint16_t> g_language{0};

bool HasTable(std::uint16_t language) {
    for (std::size_t i = 0; i < kStringTableResourceCount; ++i) {
        if (kStringTableResources[i].language == language) {
            return true;
        }
    }
    return false;
}

// Language 0 resolved as the platform's loader does it: the user's language when a table
// exists for it, else English.
std::uint16_t EffectiveLanguage() {
    const std::uint16_t language = g_language.load();
    if (language != 0) {
        return language;
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const auto value = Platform::GetEnvironmentVariable(name);
        if (value && !value->empty()) {
            const std::uint16_t chosen = LanguageForLocale(*value);
            return HasTable(chosen) ? chosen : 9;
        }
    }
    return 9;
}

}  // namespace

void SetMessageLanguage(std::uint16_t language) {
    g_language.store(language);
}

std::uint16_t GetMessageLanguage() {
    return g_language.load();
}

std::uint16_t LanguageForLocale(const std::string& locale) {
    const std::string prefix = locale.substr(0, 2);
    if (prefix == "de") {
        return 1031;
    }
    if (prefix == "fr") {
        return 1036;
    }
    if (prefix == "ru") {
        return 1049;
    }
    return 9;
}

std::wstring LoadMessage(std::uint32_t id) {
    const std::uint16_t language = EffectiveLanguage();
    const std::uint32_t block = id / 16 + 1;
    for (std::size_t i = 0; i < kStringTableResourceCount; ++i) {
        const StringTableResource& r = kStringTableResources[i];
        if (r.language != language || r.block != block) {
            continue;
        }
        const unsigned char* p = kStringTableData + r.offset;
        const unsigned char* end = p + r.size;
        // Walk the entries before the wanted one, each a length and that many units.
        for (std::uint32_t entry = 0; entry < id % 16; ++entry) {
            if (end - p < 2) {
                return {};
            }
            const std::size_t units = p[0] | (p[1] << 8);
            p += 2;
            if (static_cast<std::size_t>(end - p) < units * 2) {
                return {};
            }
            p += units * 2;
        }
        if (end - p < 2) {
            return {};
        }
        const std::size_t units = p[0] | (p[1] << 8);
        p += 2;
        if (static_cast<std::size_t>(end - p) < units * 2) {
            return {};
        }
        std::u16string text(units, u'\0');
        for (std::size_t u = 0; u < units; ++u) {
            text[u] = static_cast<char16_t>(p[2 * u] | (p[2 * u + 1] << 8));
        }
        return FromUtf16(text);
    }
    return {};
}

wchar_t* LoadMessageInto(std::uint32_t id, wchar_t* buffer) {
    const std::wstring text = LoadMessage(id);
    const std::size_t n = std::min(text.size(), kMessageBufferUnits - 1);
    std::wmemcpy(buffer, text.data(), n);
    buffer[n] = L'\0';
    return buffer;
}
