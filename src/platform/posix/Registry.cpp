#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwctype>
#include <map>
#include <vector>

#include "platform/Files.h"
#include "platform/System.h"
#include "platform/Utf8.h"

namespace Platform {

struct RegistryKeyObject {
    std::wstring path;  // below HKEY_LOCAL_MACHINE, "\"-separated, as first named
    REGSAM access = 0;
};

namespace {

constexpr const char* kDefaultStore = "/etc/osmel/registry.reg";
constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const wchar_t* kRootName = L"HKEY_LOCAL_MACHINE";
constexpr std::size_t kMaxStoreBytes = 16u << 20;

LONG Result(DWORD error) {
    return static_cast<LONG>(error);
}

struct RegistryValue {
    std::wstring name;
    DWORD type = REG_SZ;
    std::wstring text;
    DWORD number = 0;
};

struct RegistryKey {
    std::wstring path;
    std::vector<RegistryValue> values;
};

std::wstring Fold(std::wstring_view text) {
    std::wstring folded(text);
    for (wchar_t& c : folded) {
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
    return folded;
}

// Keys by folded path; the root is the empty path and always exists.
using Store = std::map<std::wstring, RegistryKey>;

std::string StorePath() {
    return GetEnvironmentVariable("OSMEL_REGISTRY").value_or(kDefaultStore);
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool StoreWritable() {
    const std::string path = StorePath();
    const std::string directory = DirectoryOf(path);
    // The machine's store folder is made by the first caller allowed to make it, as the
    // Windows registry is always there for an administrator.
    if (::access(directory.c_str(), F_OK) != 0 &&
        ::access(DirectoryOf(directory).c_str(), W_OK | X_OK) == 0) {
        ::mkdir(directory.c_str(), 0755);
    }
    if (::access(directory.c_str(), W_OK | X_OK) != 0) {
        return false;
    }
    return ::access(path.c_str(), F_OK) != 0 || ::access(path.c_str(), W_OK) == 0;
}

// Trims "\" at both ends and collapses repeated separators.
std::wstring CleanPath(std::wstring_view path) {
    std::wstring clean;
    for (wchar_t c : path) {
        if (c == L'\\' && (clean.empty() || clean.back() == L'\\')) {
            continue;
        }
        clean.push_back(c);
    }
    if (!clean.empty() && clean.back() == L'\\') {
        clean.pop_back();
    }
    return clean;
}

std::wstring JoinKey(const std::wstring& parent, const std::wstring& child) {
    std::wstring clean = CleanPath(child);
    if (parent.empty()) {
        return clean;
    }
    return clean.empty() ? parent : parent + L"\\" + clean;
}

void AddKey(Store* store, const std::wstring& path) {
    std::size_t end = 0;
    while (end != std::wstring::npos) {
        end = path.find(L'\\', end + 1);
        const std::wstring prefix = path.substr(0, end);
        store->try_emplace(Fold(prefix), RegistryKey{prefix, {}});
    }
}

bool ParseQuoted(std::string_view line, std::size_t* position, std::wstring* text) {
    if (*position >= line.size() || line[*position] != '"') {
        return false;
    }
    std::string raw;
    for (std::size_t i = *position + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            if (i + 1 >= line.size() || (line[i + 1] != '\\' && line[i + 1] != '"')) {
                return false;
            }
            raw.push_back(line[++i]);
        } else if (c == '"') {
            *position = i + 1;
            *text = DecodeUtf8(raw);
            return true;
        } else {
            raw.push_back(c);
        }
    }
    return false;
}

bool ParseValueLine(std::string_view line, RegistryValue* value) {
    std::size_t position = 0;
    if (!line.empty() && line[0] == '@') {
        position = 1;
    } else if (!ParseQuoted(line, &position, &value->name)) {
        return false;
    }
    if (position >= line.size() || line[position] != '=') {
        return false;
    }
    ++position;
    std::string_view rest = line.substr(position);
    constexpr std::string_view kDword = "dword:";
    if (rest.starts_with(kDword)) {
        rest.remove_prefix(kDword.size());
        if (rest.size() != 8) {
            return false;
        }
        DWORD number = 0;
        for (char c : rest) {
            int digit = 0;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else {
                return false;
            }
            number = (number << 4) | static_cast<DWORD>(digit);
        }
        value->type = REG_DWORD;
        value->number = number;
        return true;
    }
    value->type = REG_SZ;
    return ParseQuoted(line, &position, &value->text) && position == line.size();
}

void SetValue(RegistryKey* key, RegistryValue value) {
    const std::wstring folded = Fold(value.name);
    for (RegistryValue& existing : key->values) {
        if (Fold(existing.name) == folded) {
            existing = std::move(value);
            return;
        }
    }
    key->values.push_back(std::move(value));
}

// Reads the whole store; a missing file is an empty store.
LONG LoadStore(Store* store) {
    store->clear();
    store->emplace(std::wstring(), RegistryKey{});
    const std::string path = StorePath();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Result(Error::Success) : Result(Win32ErrorFromErrno(errno));
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return Result(Win32ErrorFromErrno(error));
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > kMaxStoreBytes) {
            ::close(fd);
            return Result(Error::BadRegistryFile);
        }
    }
    ::close(fd);

    bool headerSeen = false;
    RegistryKey* current = nullptr;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string_view line(content.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (!headerSeen) {
            if (line != kHeader) {
                return Result(Error::BadRegistryFile);
            }
            headerSeen = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return Result(Error::BadRegistryFile);
            }
            const std::wstring name = DecodeUtf8(line.substr(1, line.size() - 2));
            const std::wstring root = kRootName;
            if (Fold(name.substr(0, root.size())) != root ||
                (name.size() > root.size() && name[root.size()] != L'\\')) {
                return Result(Error::BadRegistryFile);
            }
            const std::wstring keyPath = CleanPath(std::wstring_view(name).substr(root.size()));
            AddKey(store, keyPath);
            current = &store->at(Fold(keyPath));
            continue;
        }
        RegistryValue value;
        if (current == nullptr || !ParseValueLine(line, &value)) {
            return Result(Error::BadRegistryFile);
        }
        SetValue(current, std::move(value));
    }
    return Result(Error::Success);
}

std::string Escape(const std::wstring& text) {
    std::string escaped;
    for (char c : EncodeUtf8(text)) {
        if (c == '\\' || c == '"') {
            escaped.push_back('\\');
        }
        escaped.push_back(c);
    }
    return escaped;
}

std::string Serialise(const Store& store) {
    std::string out = std::string(kHeader) + "\r\n";
    for (const auto& [folded, key] : store) {
        if (folded.empty() && key.values.empty()) {
            continue;
        }
        // Key names stand unescaped between the brackets. Appended piece by piece: GCC 12
        // warns -Wrestrict at -O3 on a literal + std::string temporary.
        out += "\r\n[HKEY_LOCAL_MACHINE";
        if (!key.path.empty()) {
            out += '\\';
            out += EncodeUtf8(key.path);
        }
        out += "]\r\n";
        for (const RegistryValue& value : key.values) {
            if (value.name.empty()) {
                out += '@';
            } else {
                out += '"';
                out += Escape(value.name);
                out += '"';
            }
            if (value.type == REG_DWORD) {
                char number[16];
                std::snprintf(number, sizeof number, "%08x", value.number);
                out += std::string("=dword:") + number + "\r\n";
            } else {
                out += "=\"" + Escape(value.text) + "\"\r\n";
            }
        }
    }
    return out;
}

LONG SaveStore(const Store& store) {
    const std::string path = StorePath();
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Result(Win32ErrorFromErrno(errno));
    }
    // The replacement keeps the store's mode, owner and group, so that a store a group may
    // write stays so after one write (a caller that may not give a file away keeps what
    // chown allows it: the group when it is a member).
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
            [[maybe_unused]] const int groupOnly =
                ::fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
        }
        if (::fchmod(fd, existing.st_mode & 07777) != 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return Result(Win32ErrorFromErrno(error));
        }
    }
    const std::string content = Serialise(store);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return Result(Win32ErrorFromErrno(error));
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return Result(Win32ErrorFromErrno(error));
    }
    SyncDirectory(FromSystemPath(DirectoryOf(path)));
    return Result(Error::Success);
}

// Serialises writers of the store across processes for one read-change-write.
class StoreLock {
public:
    StoreLock() {
        const std::string path = StorePath() + ".lock";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~StoreLock() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool Held() const { return fd >= 0; }

private:
    int fd = -1;
};

bool WantsWrite(REGSAM access) {
    return (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
}

LONG OpenExisting(const Store& store, const std::wstring& path, REGSAM access, HKEY* result) {
    const auto found = store.find(Fold(path));
    if (found == store.end()) {
        return Result(Error::FileNotFound);
    }
    if (WantsWrite(access) && !StoreWritable()) {
        return Result(Error::AccessDenied);
    }
    *result = new RegistryKeyObject{found->second.path, access};
    return Result(Error::Success);
}

RegistryKeyObject g_localMachine{std::wstring(), 0xFFFFFFFFu};

// Reads the store and finds the key's stored copy in it.
LONG LoadKey(Store* store, HKEY key, RegistryKey** stored) {
    if (const LONG loaded = LoadStore(store); loaded != Result(Error::Success)) {
        return loaded;
    }
    const auto found = store->find(Fold(key->path));
    if (found == store->end()) {
        return Result(Error::FileNotFound);
    }
    *stored = &found->second;
    return Result(Error::Success);
}

// Re-reads the store under its lock, lets `change` edit the key's stored copy and
// writes the store back when the change succeeded.
template <typename Change>
LONG ChangeKey(HKEY key, Change change) {
    StoreLock lock;
    if (!lock.Held()) {
        return Result(Error::AccessDenied);
    }
    Store store;
    RegistryKey* stored = nullptr;
    if (const LONG loaded = LoadKey(&store, key, &stored); loaded != Result(Error::Success)) {
        return loaded;
    }
    if (const LONG changed = change(stored); changed != Result(Error::Success)) {
        return changed;
    }
    return SaveStore(store);
}

}  // namespace

HKEY LocalMachineKey() {
    return &g_localMachine;
}

LONG RegOpenKeyEx(HKEY parent, const std::wstring& subKey, REGSAM access, HKEY* result) {
    if (parent == nullptr || result == nullptr) {
        return Result(Error::InvalidHandle);
    }
    Store store;
    if (const LONG loaded = LoadStore(&store); loaded != Result(Error::Success)) {
        return loaded;
    }
    return OpenExisting(store, JoinKey(parent->path, subKey), access, result);
}

LONG RegCreateKeyEx(HKEY parent, const std::wstring& subKey, REGSAM access, HKEY* result) {
    if (parent == nullptr || result == nullptr) {
        return Result(Error::InvalidHandle);
    }
    const std::wstring path = JoinKey(parent->path, subKey);
    Store store;
    if (const LONG loaded = LoadStore(&store); loaded != Result(Error::Success)) {
        return loaded;
    }
    if (store.contains(Fold(path))) {
        return OpenExisting(store, path, access, result);
    }
    if (!StoreWritable()) {
        return Result(Error::AccessDenied);
    }
    StoreLock lock;
    if (!lock.Held()) {
        return Result(Error::AccessDenied);
    }
    if (const LONG loaded = LoadStore(&store); loaded != Result(Error::Success)) {
        return loaded;
    }
    AddKey(&store, path);
    if (const LONG saved = SaveStore(store); saved != Result(Error::Success)) {
        return saved;
    }
    *result = new RegistryKeyObject{path, access};
    return Result(Error::Success);
}

LONG RegQueryValueEx(HKEY key, const std::wstring& name, DWORD* type, void* data, DWORD* size) {
    if (key == nullptr) {
        return Result(Error::InvalidHandle);
    }
    if ((key->access & KEY_QUERY_VALUE) == 0) {
        return Result(Error::AccessDenied);
    }
    Store store;
    RegistryKey* stored = nullptr;
    if (const LONG loaded = LoadKey(&store, key, &stored); loaded != Result(Error::Success)) {
        return loaded;
    }
    const std::wstring folded = Fold(name);
    for (const RegistryValue& value : stored->values) {
        if (Fold(value.name) != folded) {
            continue;
        }
        std::vector<std::uint8_t> bytes;
        if (value.type == REG_DWORD) {
            for (int shift = 0; shift < 32; shift += 8) {
                bytes.push_back(static_cast<std::uint8_t>(value.number >> shift));
            }
        } else {
            std::wstring text = value.text;
            text.push_back(L'\0');
            for (wchar_t c : text) {
                // UTF-16LE, a surrogate pair for characters beyond the basic plane.
                auto put = [&bytes](std::uint32_t unit) {
                    bytes.push_back(static_cast<std::uint8_t>(unit));
                    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
                };
                const std::uint32_t code = static_cast<char32_t>(c);
                if (code > 0xFFFF) {
                    put(0xD800 + ((code - 0x10000) >> 10));
                    put(0xDC00 + ((code - 0x10000) & 0x3FF));
                } else {
                    put(code);
                }
            }
        }
        if (type != nullptr) {
            *type = value.type;
        }
        if (size == nullptr) {
            return data == nullptr ? Result(Error::Success) : Result(Error::InvalidParameter);
        }
        const DWORD needed = static_cast<DWORD>(bytes.size());
        if (data != nullptr && *size < needed) {
            *size = needed;
            return Result(Error::MoreData);
        }
        if (data != nullptr) {
            std::memcpy(data, bytes.data(), bytes.size());
        }
        *size = needed;
        return Result(Error::Success);
    }
    return Result(Error::FileNotFound);
}

LONG RegSetValueEx(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    if (key == nullptr) {
        return Result(Error::InvalidHandle);
    }
    if ((key->access & KEY_SET_VALUE) == 0 || !StoreWritable()) {
        return Result(Error::AccessDenied);
    }
    if (data == nullptr && size != 0) {
        return Result(Error::InvalidParameter);
    }
    RegistryValue value;
    value.name = name;
    value.type = type;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (type == REG_DWORD) {
        if (size != 4) {
            return Result(Error::InvalidParameter);
        }
        value.number = static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
                       static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
    } else if (type == REG_SZ) {
        std::u16string units;
        for (DWORD i = 0; i + 1 < size; i += 2) {
            const auto unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
            if (unit == 0) {
                break;
            }
            units.push_back(unit);
        }
        for (std::size_t i = 0; i < units.size(); ++i) {
            std::uint32_t code = units[i];
            if (code >= 0xD800 && code < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                units[i + 1] < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
            }
            if (code == '\r' || code == '\n') {
                // One value per line in the store.
                return Result(Error::InvalidParameter);
            }
            value.text.push_back(static_cast<wchar_t>(code));
        }
    } else {
        return Result(Error::NotSupported);
    }
    return ChangeKey(key, [&value](RegistryKey* stored) {
        SetValue(stored, std::move(value));
        return Result(Error::Success);
    });
}

LONG RegDeleteValue(HKEY key, const std::wstring& name) {
    if (key == nullptr) {
        return Result(Error::InvalidHandle);
    }
    if ((key->access & KEY_SET_VALUE) == 0 || !StoreWritable()) {
        return Result(Error::AccessDenied);
    }
    return ChangeKey(key, [&name](RegistryKey* stored) {
        const std::wstring folded = Fold(name);
        const auto erased = std::erase_if(stored->values, [&folded](const RegistryValue& value) {
            return Fold(value.name) == folded;
        });
        return Result(erased == 0 ? Error::FileNotFound : Error::Success);
    });
}

LONG RegEnumKeyEx(HKEY key, DWORD index, std::wstring* name) {
    if (key == nullptr || name == nullptr) {
        return Result(Error::InvalidHandle);
    }
    if ((key->access & KEY_ENUMERATE_SUB_KEYS) == 0) {
        return Result(Error::AccessDenied);
    }
    Store store;
    if (const LONG loaded = LoadStore(&store); loaded != Result(Error::Success)) {
        return loaded;
    }
    const std::wstring prefix = key->path.empty() ? std::wstring() : Fold(key->path) + L"\\";
    std::vector<std::pair<std::wstring, std::wstring>> children;  // folded, as named
    for (const auto& [folded, child] : store) {
        if (folded.size() > prefix.size() && folded.starts_with(prefix) &&
            folded.find(L'\\', prefix.size()) == std::wstring::npos) {
            children.emplace_back(
                folded.substr(prefix.size()),
                child.path.substr(child.path.size() - (folded.size() - prefix.size())));
        }
    }
    std::sort(children.begin(), children.end());
    if (index >= children.size()) {
        return Result(Error::NoMoreItems);
    }
    *name = children[index].second;
    return Result(Error::Success);
}

LONG RegCloseKey(HKEY key) {
    if (key == nullptr) {
        return Result(Error::InvalidHandle);
    }
    if (key != &g_localMachine) {
        delete key;
    }
    return Result(Error::Success);
}

}  // namespace Platform
