// The registry, shaped after RegCreateKeyEx, RegOpenKeyEx, RegQueryValueEx, RegSetValueEx,
// RegDeleteValue, RegEnumKeyEx and RegCloseKey. Only HKEY_LOCAL_MACHINE exists. The POSIX
// backend keeps it in one text file in the .reg format at OSMEL_REGISTRY (default
// /etc/osmel/registry.reg): key and value names ignore case, opening for write fails when
// the file or its directory is not writable by the caller, and every change is written
// atomically (temporary file and rename) under a lock, re-reading the file first so that
// concurrent writers do not lose each other's changes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Win32Types.h"

namespace Platform {

struct RegistryKeyObject;
using HKEY = RegistryKeyObject*;
using LONG = std::int32_t;
using REGSAM = DWORD;

HKEY LocalMachineKey();

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;

constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_DWORD = 4;

namespace Error {
constexpr DWORD MoreData = 234;
constexpr DWORD NoMoreItems = 259;
constexpr DWORD BadRegistryFile = 1017;  // ERROR_NOT_REGISTRY_FILE
}  // namespace Error

// Opens a key that exists; Error::FileNotFound when it does not.
LONG RegOpenKeyEx(HKEY parent, const std::wstring& subKey, REGSAM access, HKEY* result);
// Opens a key, creating it and its missing parents; needs write access to the store.
LONG RegCreateKeyEx(HKEY parent, const std::wstring& subKey, REGSAM access, HKEY* result);
// A value's type and data (REG_SZ: UTF-16LE units with their terminating zero; REG_DWORD:
// four bytes little-endian). `data` may be null to ask for the size; a buffer that is too
// small gives Error::MoreData with *size set to what is needed.
LONG RegQueryValueEx(HKEY key, const std::wstring& name, DWORD* type, void* data, DWORD* size);
// Stores a value (same encodings); the key must be open with KEY_SET_VALUE.
LONG RegSetValueEx(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size);
// The name of the index-th subkey, in the order Windows gives (by name, ignoring case);
// Error::NoMoreItems past the last.
// Removes a value; Error::FileNotFound when the key has none of that name.
LONG RegDeleteValue(HKEY key, const std::wstring& name);
LONG RegEnumKeyEx(HKEY key, DWORD index, std::wstring* name);
LONG RegCloseKey(HKEY key);

}  // namespace Platform
