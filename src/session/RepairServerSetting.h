// Where the repair server is: a deployment setting. The environment variable
// OSMEL_REPAIR_SERVER wins over the registry value "RepairServer" under the product key,
// which wins over the built-in default; each is "host" or "host:port". A value that does
// not parse is reported and the next source is used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace BexoPatch {

constexpr std::uint16_t kRepairServerPort = 6000;
extern const char kDefaultRepairServerHost[];
extern const char kRepairServerVariable[];
extern const wchar_t kRepairServerValue[];

struct RepairServerAddress {
    std::string host;
    std::uint16_t port = kRepairServerPort;
};

// Parses "host" or "host:port": a host name or dotted IPv4 address (letters, digits,
// "-" and "." in labels of 1 to 63 characters, at most 253 in all) and a decimal port
// from 1 to 65535. False with the reason in `problem`.
bool ParseRepairServer(const std::wstring& text, RepairServerAddress* address,
                       std::wstring* problem);

// The repair server to use. Each value that is present but unusable adds one line to
// `problems` naming the value and what is wrong with it.
RepairServerAddress ReadRepairServerSetting(std::vector<std::wstring>* problems);

}  // namespace BexoPatch
