#include "patch/SafePath.h"

#include "kernel/FileUtil.h"

bool IsContainedRelativePath(std::wstring_view path) {
    if (path.empty() || path.front() == L'\\' || path.front() == L'/' || !HasOnlyNameColons(path)) {
        return false;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring_view::npos) {
            end = path.size();
        }
        const std::wstring_view component = path.substr(start, end - start);
        if (component == L"..") {
            return false;
        }
        for (const wchar_t c : component) {
            if (static_cast<std::uint32_t>(c) < 0x20) {
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}
