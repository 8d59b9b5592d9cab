#include "platform/NamedObjects.h"

#include <cstdint>

#include "platform/Utf8.h"
#include "platform/win32/WinApi.h"

namespace Platform {

namespace {

// The created-or-opened answer of the named calls: the OS says "already exists", and
// this layer promises Error::Success otherwise.
Handle Created(HANDLE handle) {
    if (handle != nullptr && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        ::SetLastError(ERROR_SUCCESS);
    }
    return FromWin32(handle);
}

}  // namespace

Handle CreateMutex(bool initiallyOwned, const std::string& name) {
    ::SetLastError(ERROR_SUCCESS);
    return Created(
        ::CreateMutexW(nullptr, initiallyOwned ? TRUE : FALSE, DecodeUtf8(name).c_str()));
}

Handle CreateFileMapping(const std::string& name, std::size_t size) {
    const auto wide = static_cast<std::uint64_t>(size);
    ::SetLastError(ERROR_SUCCESS);
    return Created(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        static_cast<::DWORD>(wide >> 32),
                                        static_cast<::DWORD>(wide), DecodeUtf8(name).c_str()));
}

Handle OpenFileMapping(const std::string& name) {
    return FromWin32(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, DecodeUtf8(name).c_str()));
}

void* MapViewOfFile(Handle section, std::size_t size) {
    void* view = ::MapViewOfFile(ToWin32(section), FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (view == nullptr && section != nullptr) {
        // A view beyond the section's end: the OS says "access denied".
        ::SetLastError(ERROR_INVALID_PARAMETER);
    }
    return view;
}

bool UnmapViewOfFile(void* view) {
    return ::UnmapViewOfFile(view) != 0;
}

}  // namespace Platform
