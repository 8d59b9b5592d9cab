#include "assetdb/AssetDbLock.h"

#include <atomic>
#include <bit>
#include <mutex>

#include "kernel/FileUtil.h"
#include "kernel/Sync.h"
#include "kernel/Text.h"
#include "platform/Files.h"
#include "platform/NamedObjects.h"
#include "platform/Sync.h"
#include "platform/System.h"

static_assert(std::endian::native == std::endian::little,
              "the shared record is read and written in place");

namespace {

constexpr const char kMutexPrefix[] = "09731AC6-B611-4e2a-B181-578073F64F24/";
constexpr const char kDatabaseName[] = "assets.tdx";
constexpr std::size_t kDatabaseNameLength = sizeof kDatabaseName - 1;
constexpr std::uint8_t kCountAsOldLayout = 255;

// Process-local state of the lock.
struct LockState {
    std::recursive_mutex lock;
    std::uint32_t myPid = 0;
    Platform::Handle mutexHandle = nullptr;
    Platform::Handle sectionHandle = nullptr;
    AssetDbShared* record = nullptr;
    bool isHost = false;
    // Whether this process added itself to attachedCount, so that it takes itself
    // away again when it closes.
    bool counted = false;
};

LockState& State() {
    static LockState state;
    return state;
}

// The record is shared with other processes: every field is read and written whole.
template <typename T>
T Load(T& field) {
    return std::atomic_ref<T>(field).load();
}
template <typename T>
void Store(T& field, T value) {
    std::atomic_ref<T>(field).store(value);
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The directory part of a database path (original case), or false.
bool DatabaseDirectory(const std::string& databasePath, std::string* directory) {
    std::string lower = databasePath;
    for (char& c : lower) {
        c = LowerAscii(c);
    }
    const std::size_t found = lower.find(kDatabaseName);
    if (found == std::string::npos || found + kDatabaseNameLength != lower.size()) {
        return false;
    }
    std::size_t end = found;
    if (end > 0 && IsSeparator(databasePath[end - 1])) {
        --end;
    }
    *directory = databasePath.substr(0, end);
    return true;
}

void InitialiseRecord(LockState& s) {
    AssetDbShared* r = s.record;
    Store(r->hostPid, s.myPid);
    Store(r->ownerPid, kAssetDbNoPid);
    Store(r->requesterPid, kAssetDbNoPid);
    Store(r->changeCounter, std::uint32_t{0});
    Store(r->layoutVersion, kAssetDbLayoutVersion);
    Store(r->attachedCount, std::int8_t{1});
    Store(r->exclusivePid, std::uint32_t{0});
    Store(r->exclusiveSuspended, std::uint8_t{0});
    Store(r->hostValue, std::uint32_t{0});
    s.isHost = true;
    s.counted = true;
}

// Maps the record of an open or new section; false (and nothing touched) on failure.
bool MapRecord(LockState& s, const std::string& sectionName, bool create) {
    s.sectionHandle = create ? Platform::CreateFileMapping(sectionName, sizeof(AssetDbShared))
                             : Platform::OpenFileMapping(sectionName);
    if (s.sectionHandle == nullptr) {
        return false;
    }
    s.record = static_cast<AssetDbShared*>(
        Platform::MapViewOfFile(s.sectionHandle, sizeof(AssetDbShared)));
    if (s.record == nullptr) {
        Platform::CloseHandle(s.sectionHandle);
        s.sectionHandle = nullptr;
        return false;
    }
    return true;
}

void CloseObjects(LockState& s) {
    if (s.record != nullptr) {
        Platform::UnmapViewOfFile(s.record);
        s.record = nullptr;
    }
    if (s.sectionHandle != nullptr) {
        Platform::CloseHandle(s.sectionHandle);
        s.sectionHandle = nullptr;
    }
    if (s.mutexHandle != nullptr) {
        Platform::CloseHandle(s.mutexHandle);
        s.mutexHandle = nullptr;
    }
    s.isHost = false;
    s.counted = false;
}

// Holds the named mutex for a scope. An abandoned mutex is taken all the same: its
// holder has died, and the record is still the best there is.
class SharedRecordLock {
public:
    explicit SharedRecordLock(Platform::Handle mutex) : m_mutex(mutex) {
        const Platform::DWORD result = Platform::WaitForSingleObject(m_mutex, Platform::kInfinite);
        m_held = result == Platform::kWaitObject0 || result == Platform::kWaitAbandoned;
    }
    ~SharedRecordLock() {
        if (m_held) {
            Platform::ReleaseMutex(m_mutex);
        }
    }
    SharedRecordLock(const SharedRecordLock&) = delete;
    SharedRecordLock& operator=(const SharedRecordLock&) = delete;
    bool Held() const { return m_held; }

private:
    Platform::Handle m_mutex;
    bool m_held = false;
};

}  // namespace

bool AssetDbObjectNames(const std::string& databasePath, std::string* mutexName,
                        std::string* sectionName) {
    std::string directory;
    if (!DatabaseDirectory(databasePath, &directory)) {
        return false;
    }
    std::size_t start = 0;
    while (start < directory.size() && IsSeparator(directory[start])) {
        ++start;
    }
    std::string name = kMutexPrefix;
    for (std::size_t i = start; i < directory.size(); ++i) {
        name += directory[i] == '\\' ? '/' : LowerAscii(directory[i]);
    }
    *mutexName = name;
    *sectionName = name + "/-ipc2";
    return true;
}

bool AssetDbOpen(const std::string& databasePath, bool allowWhileSuspended) {
    LockState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.mutexHandle != nullptr) {
        return true;
    }
    std::string directory;
    std::string mutexName;
    std::string sectionName;
    if (!DatabaseDirectory(databasePath, &directory) ||
        !AssetDbObjectNames(databasePath, &mutexName, &sectionName)) {
        return false;
    }
    // Only "not there" counts as missing; a directory this process may not search is
    // still there, and a name the file system refuses (Windows takes no "?") names none.
    // The test uses the path's own case: on a case-sensitive file system the lowercased
    // one may not exist.
    if (!Platform::FileAccessExists(WideFileSystemPath(directory))) {
        const Platform::DWORD error = Platform::GetLastError();
        if (error == Platform::Error::FileNotFound || error == Platform::Error::PathNotFound ||
            error == Platform::Error::FilenameExcedRange || error == Platform::Error::InvalidName) {
            return false;
        }
    }

    s.myPid = Platform::GetCurrentProcessId();
    s.mutexHandle = Platform::CreateMutex(true, mutexName);
    if (s.mutexHandle == nullptr) {
        return false;
    }
    if (Platform::GetLastError() != Platform::Error::AlreadyExists) {
        // Created here, and owned since creation.
        const bool mapped = MapRecord(s, sectionName, true);
        if (mapped) {
            InitialiseRecord(s);
        }
        Platform::ReleaseMutex(s.mutexHandle);
        if (!mapped) {
            CloseObjects(s);
        }
        return mapped;
    }

    bool attached = false;
    {
        SharedRecordLock held(s.mutexHandle);
        if (held.Held() && MapRecord(s, sectionName, false)) {
            AssetDbShared* r = s.record;
            const std::uint32_t exclusive = Load(r->exclusivePid);
            if (exclusive == 0 || (allowWhileSuspended && Load(r->exclusiveSuspended) == 1)) {
                if (Load(r->layoutVersion) == 0 && Load(r->hostPid) == 0) {
                    // Nobody has initialised it: this process becomes the host, counted
                    // once by the initialisation.
                    InitialiseRecord(s);
                } else if (Load(r->layoutVersion) == 0) {
                    Store(r->attachedCount, static_cast<std::int8_t>(kCountAsOldLayout));
                } else {
                    Store(r->attachedCount, static_cast<std::int8_t>(Load(r->attachedCount) + 1));
                    s.counted = true;
                }
                attached = true;
            }
        }
    }
    if (!attached) {
        CloseObjects(s);
    }
    return attached;
}

int AssetDbAttachedCount() {
    LockState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return s.record == nullptr ? 0 : Load(s.record->attachedCount);
}

bool AssetDbTryTakeOwnership(bool request) {
    LockState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.record == nullptr) {
        return false;
    }
    AssetDbShared* r = s.record;
    if (Load(r->ownerPid) == s.myPid) {
        return true;
    }
    SharedRecordLock held(s.mutexHandle);
    if (!held.Held()) {
        return false;
    }
    const std::uint32_t requester = Load(r->requesterPid);
    if (Load(r->ownerPid) == kAssetDbNoPid &&
        (requester == s.myPid || requester == kAssetDbNoPid)) {
        Store(r->ownerPid, s.myPid);
        Store(r->requesterPid, kAssetDbNoPid);
        return true;
    }
    if (requester == kAssetDbNoPid && request) {
        Store(r->requesterPid, s.myPid);
    }
    return false;
}

bool AssetDbTryTakeExclusive() {
    LockState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.record == nullptr || Load(s.record->exclusivePid) != 0 ||
        Load(s.record->attachedCount) > 1 || !AssetDbTryTakeOwnership(true)) {
        return false;
    }
    Store(s.record->exclusivePid, s.myPid);
    return true;
}

void AssetDbReleaseExclusive() {
    LockState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.record == nullptr || Load(s.record->exclusivePid) != s.myPid) {
        return;
    }
    Store(s.record->exclusivePid, std::uint32_t{0});
    if (Load(s.record->ownerPid) == s.myPid) {
        Store(s.record->ownerPid, kAssetDbNoPid);
    }
}

void AssetDbClose() {
    LockState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.mutexHandle == nullptr) {
        return;
    }
    if (s.record != nullptr) {
        AssetDbShared* r = s.record;
        if (Load(r->ownerPid) == s.myPid) {
            Store(r->ownerPid, kAssetDbNoPid);
        }
        if (s.isHost || s.counted) {
            SharedRecordLock held(s.mutexHandle);
            if (held.Held()) {
                if (s.isHost) {
                    Store(r->hostPid, kAssetDbNoPid);
                }
                // Every process that counted itself in takes itself out again; a
                // record of the old layout was not counted into.
                if (s.counted && Load(r->layoutVersion) >= 1) {
                    Store(r->attachedCount, static_cast<std::int8_t>(Load(r->attachedCount) - 1));
                }
            }
        }
    }
    CloseObjects(s);
}

bool AcquireAssetDatabase(const std::wstring& installPath, int attempts,
                          std::uint32_t retryDelayMs) {
    const std::string databasePath = NarrowFileSystemPath(JoinPath(installPath, L"assets.tdx"));
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (AssetDbOpen(databasePath, false)) {
            if (AssetDbAttachedCount() == 1 && AssetDbTryTakeExclusive()) {
                return true;
            }
            AssetDbClose();
        }
        OS::Sleep(retryDelayMs);
    }
    return false;
}

bool AcquireAssetDatabase(const std::wstring& installPath) {
    return AcquireAssetDatabase(installPath, 5, 2000);
}
