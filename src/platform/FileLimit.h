// The process's limit on open files, which bounds how many connections a server holds.
#pragma once

#include <cstdint>

namespace Platform {

// Raises the process's limit on open files to the most it may have; the limit now in
// force. Windows has no such limit: 0.
std::uint64_t RaiseOpenFileLimit();
// Test seam: sets the process's limit on open files, as a low limit of the system would;
// false where that fails or there is no such limit (Windows).
bool SetOpenFileLimitForTests(std::uint64_t limit);

}  // namespace Platform
