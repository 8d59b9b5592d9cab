// The counter behind ArmFileFaults (Files.h), used inside the platform layer, and a second
// test seam beside it.
#pragma once

#include <cstdint>
#include <optional>

namespace Platform::Detail {

// Counts one file call; true, with errno set, when the armed plan makes it fail. The
// caller then fails as the OS call would have, without making it.
bool FileCallFails();
// The free space GetFreeDiskSpace answers with, if a test set one.
std::optional<std::uint64_t> FreeSpaceOverride();

}  // namespace Platform::Detail

namespace Platform {

// Test seam: GetFreeDiskSpace answers `bytes` for every volume, as for a nearly full disk,
// until it is called with nullopt. Both backends.
void SetFreeDiskSpaceForTests(std::optional<std::uint64_t> bytes);

}  // namespace Platform
