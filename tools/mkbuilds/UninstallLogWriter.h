// Writes a fresh uninstaller log, as the product's setup program leaves one: a 448-byte
// header with its CRC-32 at 444, then records in blocks of 4096 data bytes, each block
// with its size, the size's complement and the data's CRC-32. Every file of the tree gets
// a delete-file record; the log ends with a 28-byte closing record.
#pragma once

#include <string>

// Writes <install>/unins000.dat naming every file under install (install is the
// program's internal path form, as the patcher will join paths to it).
bool WriteUninstallLog(const std::wstring& install, std::string* error);
