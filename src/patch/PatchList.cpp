#include "patch/PatchList.h"

#include "kernel/Text.h"
#include "patch/SafePath.h"
#include "platform/Files.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// Whether a component names what Windows opens as a device whatever the folder ("NUL",
// "com1.txt"), or ends in a dot or a space, which Windows drops, so that two names reach
// one file. On POSIX such names are ordinary files.
bool IsDeviceOrAliasName(const std::wstring& component) {
    if (!component.empty() && (component.back() == L'.' || component.back() == L' ') &&
        component != L".") {
        return true;
    }
    std::wstring base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ') {
        base.pop_back();
    }
    for (wchar_t& c : base) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
        base == L"CONOUT$") {
        return true;
    }
    return base.size() == 4 &&
           (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

bool NamesDevice(const std::wstring& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) {
            end = path.size();
        }
        if (IsDeviceOrAliasName(path.substr(start, end - start))) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

BEXORESULT ParsePatchList(const std::string& text, std::vector<PatchListEntry>* entries,
                          std::string* error) {
    entries->clear();
    std::size_t start = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        start = 3;
    }
    if (!IsUtf8(text)) {
        *error = "the text is not UTF-8";
        return BEXORESULT_BAD_DATA;
    }
    const std::vector<std::string> lines = SplitLines(std::string_view(text).substr(start));
    if (lines.size() % 3 != 0) {
        *error = std::to_string(lines.size()) +
                 " lines, not a multiple of three: the last entry is cut short";
        return BEXORESULT_BAD_DATA;
    }
    for (std::size_t i = 0; i < lines.size(); i += 3) {
        PatchListEntry entry;
        entry.path = Utf8ToWide(lines[i]);
        entry.targetMD5 = Utf8ToWide(lines[i + 1]);
        entry.sourceMD5 = Utf8ToWide(lines[i + 2]);
        if (!IsContainedRelativePath(entry.path)) {
            *error = "line " + std::to_string(i + 1) + ": the path \"" + lines[i] +
                     "\" would leave the installation";
            entries->clear();
            return BEXORESULT_BAD_DATA;
        }
        if (Platform::WindowsFileNames() && NamesDevice(entry.path)) {
            *error = "line " + std::to_string(i + 1) + ": the path \"" + lines[i] +
                     "\" names a device or ends in a dot or a space";
            entries->clear();
            return BEXORESULT_BAD_DATA;
        }
        entries->push_back(std::move(entry));
    }
    return BEXORESULT_OK;
}

BEXORESULT ReadPatchList(const std::wstring& path, std::vector<PatchListEntry>* entries,
                         std::string* error) {
    entries->clear();
    BexoDataBufferFile file(path, BexoDataBufferFile::kModeRead);
    if (!file.IsOpen()) {
        *error = "cannot be opened";
        return BEXORESULT_NOT_FOUND;
    }
    const std::uint64_t size = file.GetSize();
    if (size > kMaxPatchListSize) {
        *error = "larger than " + std::to_string(kMaxPatchListSize) + " bytes";
        return BEXORESULT_BAD_DATA;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    const BEXORESULT read = file.ReadData(text.data(), static_cast<std::uint32_t>(size));
    if (read != BEXORESULT_OK) {
        *error = "cannot be read";
        return read;
    }
    return ParsePatchList(text, entries, error);
}

std::string FormatPatchList(const std::vector<PatchListEntry>& entries) {
    std::string text;
    for (const PatchListEntry& entry : entries) {
        text += WideToUtf8(entry.path) + "\r\n" + WideToUtf8(entry.targetMD5) + "\r\n" +
                WideToUtf8(entry.sourceMD5) + "\r\n";
    }
    return text;
}

bool IsConverterFileName(const std::wstring& relative) {
    const std::size_t separator = relative.find_last_of(L"\\/");
    const std::size_t nameLength =
        separator == std::wstring::npos ? relative.size() : relative.size() - separator - 1;
    return nameLength > 3 && relative.compare(relative.size() - 3, 3, L".ka") == 0;
}

std::wstring DifferenceFileName(const std::wstring& relative, bool converter) {
    return converter ? relative.substr(0, relative.size() - 3) + L"-diff.ka" : relative + L".diff";
}
