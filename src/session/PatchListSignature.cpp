#include "session/PatchListSignature.h"

#include <cstdio>
#include <mutex>

#include "kernel/SystemLog.h"
#include "platform/Registry.h"
#include "session/TrustedKeysData.h"

namespace BexoPatch {

namespace {

constexpr const wchar_t* kProductKey = L"Software\\Osmel\\Products\\KelvorSimulator";
constexpr const wchar_t* kListVersionValue = L"PatchListVersion";

bool AllDigits(const std::string& text, std::size_t maxLength) {
    return !text.empty() && text.size() <= maxLength &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// Days from 1970-01-01 to the date (proleptic Gregorian), after H. Hinnant's
// days_from_civil.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool IsLeap(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

struct KeyStore {
    std::mutex lock;
    bool loaded = false;
    std::vector<Minisign::PublicKey> keys;
};

KeyStore& Keys() {
    static KeyStore store;
    return store;
}

}  // namespace

bool ParseListVersion(const std::string& text, std::uint64_t* version) {
    if (!AllDigits(text, 19)) {
        return false;
    }
    *version = std::stoull(text);
    return true;
}

bool ParseUtcTime(const std::string& text, std::int64_t* seconds) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    const auto field = [&text](std::size_t at, std::size_t length, unsigned* value) {
        const std::string part = text.substr(at, length);
        if (!AllDigits(part, length) || part.size() != length) {
            return false;
        }
        *value = static_cast<unsigned>(std::stoul(part));
        return true;
    };
    unsigned year = 0;
    unsigned month = 0;
    unsigned day = 0;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    if (!field(0, 4, &year) || !field(5, 2, &month) || !field(8, 2, &day) || !field(11, 2, &hour) ||
        !field(14, 2, &minute) || !field(17, 2, &second)) {
        return false;
    }
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    *seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

std::string FormatUtcTime(std::int64_t seconds) {
    // H. Hinnant's civil_from_days.
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t inDay = seconds - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(z - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
    const auto clock = static_cast<unsigned>(inDay);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                  static_cast<long long>(year), month, day, clock / 3600, clock / 60 % 60,
                  clock % 60);
    return text;
}

std::string FormatListComment(std::uint64_t version, std::int64_t expires) {
    std::string comment = "list-version:" + std::to_string(version);
    if (expires != 0) {
        comment += " expires:" + FormatUtcTime(expires);
    }
    return comment;
}

bool ParseListComment(const std::string& comment, ListTerms* terms, std::string* error) {
    *terms = ListTerms{};
    bool haveVersion = false;
    std::size_t start = 0;
    while (start < comment.size()) {
        const std::size_t end = std::min(comment.find_first_of(" \t", start), comment.size());
        const std::string word = comment.substr(start, end - start);
        start = end + 1;
        if (word.rfind("list-version:", 0) == 0) {
            if (haveVersion || !ParseListVersion(word.substr(13), &terms->version)) {
                *error = "a list-version that is not one decimal number";
                return false;
            }
            haveVersion = true;
        } else if (word.rfind("expires:", 0) == 0) {
            if (terms->expires != 0 || !ParseUtcTime(word.substr(8), &terms->expires) ||
                terms->expires == 0) {
                *error = "an expires that is not one time as YYYY-MM-DDTHH:MM:SSZ";
                return false;
            }
        }
    }
    if (!haveVersion) {
        *error = "no list-version";
        return false;
    }
    return true;
}

bool IsBuildAbove(const std::string& target, const std::string& current) {
    if (!AllDigits(target, 19) || !AllDigits(current, 19)) {
        return false;
    }
    return std::stoull(target) > std::stoull(current);
}

const std::vector<Minisign::PublicKey>& TrustedKeys() {
    KeyStore& store = Keys();
    std::lock_guard<std::mutex> hold(store.lock);
    if (!store.loaded) {
        store.loaded = true;
        std::string error;
        if (*kBuiltInTrustedKeys != '\0' &&
            !Minisign::ParsePublicKeys(kBuiltInTrustedKeys, &store.keys, &error)) {
            // The build checked the file's form; what is left is libsodium failing to start,
            // and then no list can be checked: nothing is trusted.
            SystemLog("TrustedKeys> the built-in keys cannot be used: %s", error.c_str());
            store.keys = {Minisign::PublicKey{}};
        }
    }
    return store.keys;
}

void SetTrustedKeys(std::vector<Minisign::PublicKey> keys) {
    KeyStore& store = Keys();
    std::lock_guard<std::mutex> hold(store.lock);
    store.loaded = true;
    store.keys = std::move(keys);
}

std::uint64_t AcceptedListVersion() {
    Platform::HKEY key = nullptr;
    if (Platform::RegOpenKeyEx(Platform::LocalMachineKey(), kProductKey, Platform::KEY_QUERY_VALUE,
                               &key) != 0) {
        return 0;
    }
    // Twenty digits and the terminating zero, as UTF-16LE.
    std::uint8_t data[42] = {};
    Platform::DWORD type = 0;
    Platform::DWORD size = sizeof data;
    const bool read = Platform::RegQueryValueEx(key, kListVersionValue, &type, data, &size) == 0 &&
                      type == Platform::REG_SZ;
    Platform::RegCloseKey(key);
    std::string text;
    for (std::size_t i = 0; read && i + 1 < size && data[i] != 0; i += 2) {
        text.push_back(static_cast<char>(data[i + 1] == 0 ? data[i] : '?'));
    }
    std::uint64_t version = 0;
    if (read && !ParseListVersion(text, &version)) {
        SystemLog("AcceptedListVersion> the stored value \"%s\" is not a number", text.c_str());
    }
    return version;
}

bool RememberListVersion(std::uint64_t version) {
    if (version <= AcceptedListVersion()) {
        return true;
    }
    Platform::HKEY key = nullptr;
    if (Platform::RegCreateKeyEx(Platform::LocalMachineKey(), kProductKey, Platform::KEY_WRITE,
                                 &key) != 0) {
        SystemLog("RememberListVersion> cannot open the product key for writing");
        return false;
    }
    const std::string text = std::to_string(version);
    std::vector<std::uint8_t> data;
    for (const char c : text) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(0);
    }
    data.push_back(0);
    data.push_back(0);
    const bool stored =
        Platform::RegSetValueEx(key, kListVersionValue, Platform::REG_SZ, data.data(),
                                static_cast<Platform::DWORD>(data.size())) == 0;
    Platform::RegCloseKey(key);
    if (!stored) {
        SystemLog("RememberListVersion> cannot store list version %s", text.c_str());
    }
    return stored;
}

}  // namespace BexoPatch
