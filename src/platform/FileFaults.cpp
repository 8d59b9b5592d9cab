#include "platform/FileFaults.h"

#include <atomic>
#include <cerrno>

#include "platform/Files.h"

namespace Platform {

namespace {

std::atomic<std::uint64_t> g_calls{0};
std::atomic<std::uint64_t> g_failAt{0};
std::atomic<int> g_error{0};
std::atomic<bool> g_sticky{false};
// UINT64_MAX: no override.
std::atomic<std::uint64_t> g_freeBytes{UINT64_MAX};

}  // namespace

void ArmFileFaults(const FileFaultPlan& plan) {
    g_failAt.store(0);
    g_calls.store(0);
    g_error.store(plan.error);
    g_sticky.store(plan.sticky);
    g_failAt.store(plan.failAt);
}

std::uint64_t DisarmFileFaults() {
    g_failAt.store(0);
    return g_calls.load();
}

void SetFreeDiskSpaceForTests(std::optional<std::uint64_t> bytes) {
    g_freeBytes.store(bytes.value_or(UINT64_MAX));
}

namespace Detail {

bool FileCallFails() {
    const std::uint64_t call = ++g_calls;
    const std::uint64_t failAt = g_failAt.load();
    if (failAt == 0 || call < failAt || (call > failAt && !g_sticky.load())) {
        return false;
    }
    errno = g_error.load();
    return true;
}

std::optional<std::uint64_t> FreeSpaceOverride() {
    const std::uint64_t bytes = g_freeBytes.load();
    return bytes == UINT64_MAX ? std::nullopt : std::optional<std::uint64_t>(bytes);
}

}  // namespace Detail

}  // namespace Platform
