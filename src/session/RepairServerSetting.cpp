#include "session/RepairServerSetting.h"

#include <algorithm>
#include <optional>

#include "kernel/Text.h"
#include "platform/Registry.h"
#include "platform/System.h"

namespace BexoPatch {

const char kDefaultRepairServerHost[] = "repair.kelvor.osmel.com";
const char kRepairServerVariable[] = "OSMEL_REPAIR_SERVER";
const wchar_t kRepairServerValue[] = L"RepairServer";

namespace {

const wchar_t kProductKey[] = L"SOFTWARE\\Osmel\\Products\\KelvorSimulator";
constexpr std::size_t kMaxHostLength = 253;
constexpr std::size_t kMaxLabelLength = 63;
// Far more than any host name and port; a longer value is refused unread.
constexpr Platform::DWORD kMaxValueBytes = 1024;

bool IsHostCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'-';
}

bool ValidHost(const std::wstring& host, std::wstring* problem) {
    if (host.empty()) {
        *problem = L"the host name is empty";
        return false;
    }
    if (host.size() > kMaxHostLength) {
        *problem = L"the host name is longer than 253 characters";
        return false;
    }
    std::size_t label = 0;
    for (const wchar_t c : host) {
        if (c == L'.') {
            if (label == 0) {
                *problem = L"the host name has an empty label";
                return false;
            }
            label = 0;
        } else if (!IsHostCharacter(c)) {
            *problem = L"the host name may hold only letters, digits, \"-\" and \".\"";
            return false;
        } else if (++label > kMaxLabelLength) {
            *problem = L"a label of the host name is longer than 63 characters";
            return false;
        }
    }
    if (label == 0) {
        *problem = L"the host name has an empty label";
        return false;
    }
    return true;
}

bool ValidPort(const std::wstring& text, std::uint16_t* port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    std::uint32_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - L'0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    *port = static_cast<std::uint16_t>(value);
    return true;
}

// The registry value, when the key and a text value exist; `problems` hears of a value
// of the wrong type or size.
std::optional<std::wstring> ReadRegistryValue(std::vector<std::wstring>* problems) {
    Platform::HKEY key = nullptr;
    if (Platform::RegOpenKeyEx(Platform::LocalMachineKey(), kProductKey, Platform::KEY_QUERY_VALUE,
                               &key) != static_cast<Platform::LONG>(Platform::Error::Success)) {
        return std::nullopt;
    }
    std::optional<std::wstring> text;
    Platform::DWORD type = 0;
    Platform::DWORD size = 0;
    const std::wstring name =
        L"The registry value " + std::wstring(kProductKey) + L"\\" + kRepairServerValue;
    if (Platform::RegQueryValueEx(key, kRepairServerValue, &type, nullptr, &size) ==
        static_cast<Platform::LONG>(Platform::Error::Success)) {
        if (type != Platform::REG_SZ) {
            problems->push_back(name + L" is ignored: it is not a text value.");
        } else if (size > kMaxValueBytes) {
            problems->push_back(name + L" is ignored: it is too long.");
        } else {
            std::vector<std::uint8_t> data(size);
            if (Platform::RegQueryValueEx(key, kRepairServerValue, &type, data.data(), &size) ==
                static_cast<Platform::LONG>(Platform::Error::Success)) {
                std::u16string units;
                for (std::size_t i = 0; i + 1 < std::min<std::size_t>(size, data.size()); i += 2) {
                    const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
                    if (unit == u'\0') {
                        break;
                    }
                    units.push_back(unit);
                }
                text = FromUtf16(units);
            }
        }
    }
    Platform::RegCloseKey(key);
    return text;
}

}  // namespace

bool ParseRepairServer(const std::wstring& text, RepairServerAddress* address,
                       std::wstring* problem) {
    const std::size_t colon = text.find(L':');
    const std::wstring host = text.substr(0, colon);
    if (!ValidHost(host, problem)) {
        return false;
    }
    std::uint16_t port = kRepairServerPort;
    if (colon != std::wstring::npos && !ValidPort(text.substr(colon + 1), &port)) {
        *problem = L"the port must be a number from 1 to 65535";
        return false;
    }
    address->host = ToNarrow(host);
    address->port = port;
    return true;
}

RepairServerAddress ReadRepairServerSetting(std::vector<std::wstring>* problems) {
    RepairServerAddress address;
    std::wstring problem;
    if (const std::optional<std::string> variable =
            Platform::GetEnvironmentVariable(kRepairServerVariable)) {
        const std::wstring text = Utf8ToWide(*variable);
        if (ParseRepairServer(text, &address, &problem)) {
            return address;
        }
        problems->push_back(L"The environment variable " + ToWide(kRepairServerVariable) + L"=\"" +
                            text + L"\" is ignored: " + problem + L".");
    }
    if (const std::optional<std::wstring> text = ReadRegistryValue(problems)) {
        if (ParseRepairServer(*text, &address, &problem)) {
            return address;
        }
        problems->push_back(L"The registry value " + std::wstring(kProductKey) + L"\\" +
                            kRepairServerValue + L"=\"" + *text + L"\" is ignored: " + problem +
                            L".");
    }
    address.host = kDefaultRepairServerHost;
    address.port = kRepairServerPort;
    return address;
}

}  // namespace BexoPatch
