// Windows-shaped values that the layers above rely on: wait results, the thread exit
// code of a running thread, and the Win32 error numbers the product's logic tests for.
// Every backend reports these same numbers, whatever its OS says underneath.
#pragma once

#include <cstdint>

namespace Platform {

using DWORD = std::uint32_t;

constexpr DWORD kInfinite = 0xFFFFFFFFu;

constexpr DWORD kWaitObject0 = 0x00000000u;
constexpr DWORD kWaitAbandoned = 0x00000080u;
constexpr DWORD kWaitTimeout = 0x00000102u;
constexpr DWORD kWaitFailed = 0xFFFFFFFFu;

// Exit code reported for a thread or process that is still running.
constexpr DWORD kStillActive = 259;

namespace Error {
constexpr DWORD Success = 0;
constexpr DWORD FileNotFound = 2;
constexpr DWORD PathNotFound = 3;
constexpr DWORD TooManyOpenFiles = 4;
constexpr DWORD AccessDenied = 5;
constexpr DWORD InvalidHandle = 6;
constexpr DWORD NotEnoughMemory = 8;
constexpr DWORD NotSameDevice = 17;
constexpr DWORD WriteProtect = 19;
constexpr DWORD SharingViolation = 32;
constexpr DWORD HandleEof = 38;
constexpr DWORD NotSupported = 50;
constexpr DWORD FileExists = 80;
constexpr DWORD InvalidParameter = 87;
constexpr DWORD BrokenPipe = 109;
constexpr DWORD DiskFull = 112;
constexpr DWORD InvalidName = 123;
constexpr DWORD DirNotEmpty = 145;
constexpr DWORD AlreadyExists = 183;
constexpr DWORD FilenameExcedRange = 206;
constexpr DWORD NoMoreFiles = 18;
constexpr DWORD NotOwner = 288;
constexpr DWORD IoDevice = 1117;
}  // namespace Error

}  // namespace Platform
