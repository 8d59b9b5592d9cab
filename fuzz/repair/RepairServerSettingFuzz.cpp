// ParseRepairServer over the repair server setting from the environment or the registry,
// read as UTF-16 units. What it accepts is a valid host and port that parse again alike.
// Seeds: fuzz/repair/corpus/repair_server_setting.
#include <cstdint>
#include <string>

#include "kernel/Text.h"
#include "session/RepairServerSetting.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) {
        return 0;
    }
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    BexoPatch::RepairServerAddress address;
    std::wstring problem;
    if (!BexoPatch::ParseRepairServer(FromUtf16(units), &address, &problem)) {
        if (problem.empty()) {
            __builtin_trap();
        }
        return 0;
    }
    if (address.host.empty() || address.host.size() > 253 || address.port == 0) {
        __builtin_trap();
    }
    for (const char c : address.host) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.')) {
            __builtin_trap();
        }
    }
    BexoPatch::RepairServerAddress again;
    if (!BexoPatch::ParseRepairServer(ToWide(address.host + ":" + std::to_string(address.port)),
                                      &again, &problem) ||
        again.host != address.host || again.port != address.port) {
        __builtin_trap();
    }
    return 0;
}
