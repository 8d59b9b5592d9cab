// Inside the platform layer only: the counter behind ArmFileFaults (Files.h).
#pragma once

namespace Platform::Detail {

// Counts one file call; true, with errno set, when the armed plan makes it fail. The
// caller then fails as the OS call would have, without making it.
bool FileCallFails();

}  // namespace Platform::Detail
