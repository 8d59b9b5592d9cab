// Named mutexes and sections on POSIX.
//
// Every named object is one file in the machine-wide object directory
// (/dev/shm/osmel-objects, mode 1777; its files mode 0666), named after the object's
// kind and name. Its state lives in open-file-description locks (F_OFD_SETLK), which
// the kernel drops when the holding process ends, however it ends:
//
//   byte 2^40      "a handle is open": a shared lock held by every process with a
//                  handle (one open file description per process and object);
//   byte 2^40 + 1  the gate: an exclusive lock held while a handle is opened or the
//                  last handle closed, so "did it exist?" and "am I the last?" are
//                  answered atomically;
//   byte 2^40 + 2  mutex ownership: an exclusive lock held by the owning process.
//
// An object "exists" when another description holds the open-handle lock. A creator
// that finds none resets the file's contents, so a record left behind by processes
// that have all ended is not seen as existing. The last closer unlinks the file; an
// opener that finds it has locked an unlinked file (the inode at the path changed)
// starts again. A section's bytes are the file's contents, mapped shared. A mutex's
// file holds one byte, 1 while the mutex is owned: a new owner that finds 1 knows the
// previous owner ended without releasing it (abandoned).
//
// Within this process one object per name is shared by all handles, and the owning
// thread and recursion count of a mutex are kept in that object, because locks of one
// open file description never conflict with each other.
#include "platform/NamedObjects.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/System.h"
#include "platform/posix/KernelObject.h"

namespace Platform {

namespace {

constexpr off_t kOpenByte = off_t{1} << 40;
constexpr off_t kGateByte = kOpenByte + 1;
constexpr off_t kOwnerByte = kOpenByte + 2;

// Encoded names longer than this keep a prefix and a hash of the whole name, well
// inside the 255-byte limit of a file name.
constexpr std::size_t kMaxEncodedName = 180;
constexpr std::size_t kKeptPrefix = 120;

bool SetLock(int fd, short type, off_t start, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    int rc = 0;
    do {
        rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Whether another open file description holds a lock on the byte.
bool HeldByOthers(int fd, off_t start) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) {
        return true;
    }
    return fl.l_type != F_UNLCK;
}

bool SameFile(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
}

std::uint64_t Fnv1a(const std::string& text, std::uint64_t hash) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ull;
    }
    return hash;
}

// Windows' global namespace is one per machine, so the directory is one fixed place that
// depends on neither the caller's environment nor its user: an elevated patcher and the
// user's product meet on the same lock. Anyone may make objects in it, as in /tmp (mode
// 1777: sticky, so nobody removes another's file but its owner). Empty when what stands
// there is not such a directory.
const std::string& ObjectDirectory() {
    static const std::string directory = [] {
        std::string dir = "/dev/shm/osmel-objects";
        if (::mkdir(dir.c_str(), 01777) == 0) {
            // mkdir applies the umask.
            ::chmod(dir.c_str(), 01777);
        }
        struct stat st {};
        if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            (st.st_mode & 07777) != 01777) {
            return std::string();
        }
        return dir;
    }();
    return directory;
}

std::string ObjectPath(const char* kind, const std::string& name) {
    const std::string& directory = ObjectDirectory();
    if (directory.empty()) {
        return std::string();
    }
    std::string encoded;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.') {
            encoded += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            encoded += escape;
        }
    }
    if (encoded.size() > kMaxEncodedName) {
        char hash[34];
        std::snprintf(hash, sizeof hash, "~%016llx%016llx",
                      static_cast<unsigned long long>(Fnv1a(name, 0xCBF29CE484222325ull)),
                      static_cast<unsigned long long>(Fnv1a(name, 0x84222325CBF29CE4ull)));
        encoded = encoded.substr(0, kKeptPrefix) + hash;
    }
    return directory + "/" + kind + "." + encoded;
}

struct NamedObject final : KernelObject {
    NamedObject(Kind k, std::string filePath, int descriptor)
        : KernelObject(k), path(std::move(filePath)), fd(descriptor) {}
    ~NamedObject() override;
    NamedObject(const NamedObject&) = delete;
    NamedObject& operator=(const NamedObject&) = delete;

    bool TryAcquire(bool* /*abandoned*/, unsigned long long /*waitGeneration*/) override {
        return false;
    }

    const std::string path;
    const int fd;
    // Mutex: the owning thread (set while it is still taking the file lock, so other
    // threads of this process wait on `changed`) and its recursion count.
    DWORD owner = 0;
    unsigned recursion = 0;
};

// The objects this process has open, by file path.
std::mutex g_registryLock;
std::map<std::string, NamedObject*>& Registry() {
    static std::map<std::string, NamedObject*> registry;
    return registry;
}

struct View {
    NamedObject* section;
    std::size_t size;
};
std::map<void*, View>& Views() {
    static std::map<void*, View> views;
    return views;
}

NamedObject::~NamedObject() {
    {
        std::lock_guard<std::mutex> guard(g_registryLock);
        auto it = Registry().find(path);
        if (it != Registry().end() && it->second == this) {
            Registry().erase(it);
        }
    }
    // The last holder removes the file; holding the gate keeps a concurrent opener from
    // deciding anything until the file is gone.
    if (SetLock(fd, F_WRLCK, kGateByte, true) && !HeldByOthers(fd, kOpenByte) &&
        SameFile(fd, path)) {
        ::unlink(path.c_str());
    }
    ::close(fd);
}

// Another handle to an object this process already has open, or null.
NamedObject* FindOpen(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    auto it = Registry().find(path);
    if (it == Registry().end()) {
        return nullptr;
    }
    // An object whose last handle is being closed is no longer found.
    int refs = it->second->refs.load();
    while (refs > 0) {
        if (it->second->refs.compare_exchange_weak(refs, refs + 1)) {
            return it->second;
        }
    }
    return nullptr;
}

void Register(NamedObject* object) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    Registry()[object->path] = object;
}

// Opens the object's file with the gate and the open-handle lock held. `create` makes
// the file when it is missing; without it, a missing or unheld file fails with
// Error::FileNotFound. Returns the descriptor or -1 (last error set).
int OpenObjectFile(const std::string& path, bool create, bool* existed) {
    for (;;) {
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0666);
        if (fd < 0) {
            SetLastErrorFromErrno(errno);
            return -1;
        }
        // Only a plain file of its own (not a hard link planted to another file), which
        // every user may open whoever made it (the umask narrowed the mode).
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1 ||
            ((st.st_mode & 0666) != 0666 && st.st_uid == ::geteuid() && ::fchmod(fd, 0666) != 0)) {
            SetLastError(Error::AccessDenied);
            ::close(fd);
            return -1;
        }
        if (!SetLock(fd, F_WRLCK, kGateByte, true)) {
            SetLastErrorFromErrno(errno);
            ::close(fd);
            return -1;
        }
        if (!SameFile(fd, path)) {
            ::close(fd);  // the last holder unlinked it meanwhile
            if (!create && ::access(path.c_str(), F_OK) != 0) {
                SetLastError(Error::FileNotFound);
                return -1;
            }
            continue;
        }
        *existed = HeldByOthers(fd, kOpenByte);
        if (!*existed && !create) {
            // Left behind by holders that have all ended.
            ::unlink(path.c_str());
            ::close(fd);
            SetLastError(Error::FileNotFound);
            return -1;
        }
        if (!SetLock(fd, F_RDLCK, kOpenByte, false)) {
            SetLastErrorFromErrno(errno);
            ::close(fd);
            return -1;
        }
        return fd;
    }
}

void OpenGate(int fd) {
    SetLock(fd, F_UNLCK, kGateByte, false);
}

NamedObject* AsNamed(Handle h, KernelObject::Kind kind) {
    if (h == nullptr || h->kind != kind) {
        SetLastError(Error::InvalidHandle);
        return nullptr;
    }
    return static_cast<NamedObject*>(h);
}

// The named mutexes the current thread owns: each holds a reference, and a thread that
// ends still owning one abandons it, as on Windows. The file lock is released with its
// owned mark left at 1, so the next owner, in this process or another, sees it abandoned.
struct OwnedNamedMutexes {
    std::vector<NamedObject*> mutexes;

    void AbandonAll() {
        const DWORD self = GetCurrentThreadId();
        for (NamedObject* m : mutexes) {
            {
                std::lock_guard<std::mutex> guard(m->lock);
                if (m->owner == self) {
                    SetLock(m->fd, F_UNLCK, kOwnerByte, false);
                    m->owner = 0;
                    m->recursion = 0;
                }
            }
            m->changed.notify_all();
            m->Release();
        }
        mutexes.clear();
    }

    ~OwnedNamedMutexes() { AbandonAll(); }
};

thread_local OwnedNamedMutexes t_ownedNamedMutexes;

void NoteOwned(NamedObject* m) {
    m->AddRef();
    t_ownedNamedMutexes.mutexes.push_back(m);
}

void NoteReleased(NamedObject* m) {
    auto& owned = t_ownedNamedMutexes.mutexes;
    const auto it = std::find(owned.begin(), owned.end(), m);
    if (it != owned.end()) {
        owned.erase(it);
        m->Release();
    }
}

// Takes the mutex's file lock and its owned mark; the caller holds the in-process claim.
DWORD TakeOwnerLock(NamedObject* m, DWORD milliseconds) {
    bool locked = false;
    if (milliseconds == kInfinite) {
        locked = SetLock(m->fd, F_WRLCK, kOwnerByte, true);
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        DWORD pause = 1;
        for (;;) {
            locked = SetLock(m->fd, F_WRLCK, kOwnerByte, false);
            if (locked || (errno != EAGAIN && errno != EACCES)) {
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return kWaitTimeout;
            }
            Sleep(std::min<DWORD>(pause, static_cast<DWORD>(left.count())));
            pause = std::min<DWORD>(pause * 2, 16);
        }
    }
    if (!locked) {
        SetLastErrorFromErrno(errno);
        return kWaitFailed;
    }
    char mark = 0;
    const bool abandoned = ::pread(m->fd, &mark, 1, 0) == 1 && mark == 1;
    mark = 1;
    if (::pwrite(m->fd, &mark, 1, 0) != 1) {
        SetLastErrorFromErrno(errno);
        SetLock(m->fd, F_UNLCK, kOwnerByte, false);
        return kWaitFailed;
    }
    return abandoned ? kWaitAbandoned : kWaitObject0;
}

}  // namespace

Handle CreateMutex(bool initiallyOwned, const std::string& name) {
    const std::string path = ObjectPath("mutex", name);
    if (path.empty()) {
        SetLastError(Error::AccessDenied);
        return nullptr;
    }
    if (NamedObject* open = FindOpen(path)) {
        SetLastError(Error::AlreadyExists);
        return open;
    }
    bool existed = false;
    const int fd = OpenObjectFile(path, true, &existed);
    if (fd < 0) {
        return nullptr;
    }
    auto* mutex = new NamedObject(KernelObject::Kind::NamedMutex, path, fd);
    if (!existed) {
        const char mark = 0;
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, &mark, 1, 0) != 1) {
            SetLastErrorFromErrno(errno);
            OpenGate(fd);
            delete mutex;
            return nullptr;
        }
        if (initiallyOwned && TakeOwnerLock(mutex, 0) == kWaitObject0) {
            mutex->owner = GetCurrentThreadId();
            mutex->recursion = 1;
            NoteOwned(mutex);
        }
    }
    OpenGate(fd);
    Register(mutex);
    SetLastError(existed ? Error::AlreadyExists : Error::Success);
    return mutex;
}

DWORD WaitForNamedMutex(KernelObject* handle, DWORD milliseconds) {
    auto* m = static_cast<NamedObject*>(handle);
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> guard(m->lock);
    if (m->owner == self) {
        ++m->recursion;
        return kWaitObject0;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto free = [m] { return m->owner == 0; };
    if (milliseconds == kInfinite) {
        m->changed.wait(guard, free);
    } else if (!m->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), free)) {
        return kWaitTimeout;
    }
    m->owner = self;
    guard.unlock();

    DWORD left = milliseconds;
    if (milliseconds != kInfinite) {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        left = spent.count() >= milliseconds ? 0 : milliseconds - static_cast<DWORD>(spent.count());
    }
    const DWORD result = TakeOwnerLock(m, left);

    guard.lock();
    if (result == kWaitObject0 || result == kWaitAbandoned) {
        m->recursion = 1;
        NoteOwned(m);
    } else {
        m->owner = 0;
        guard.unlock();
        m->changed.notify_all();
    }
    return result;
}

void AbandonNamedMutexesOfThisThread() {
    t_ownedNamedMutexes.AbandonAll();
}

bool ReleaseNamedMutex(KernelObject* handle) {
    auto* m = static_cast<NamedObject*>(handle);
    {
        std::lock_guard<std::mutex> guard(m->lock);
        if (m->owner != GetCurrentThreadId() || m->recursion == 0) {
            SetLastError(Error::NotOwner);
            return false;
        }
        if (--m->recursion > 0) {
            return true;
        }
        const char mark = 0;
        const bool written = ::pwrite(m->fd, &mark, 1, 0) == 1;
        SetLock(m->fd, F_UNLCK, kOwnerByte, false);
        m->owner = 0;
        if (!written) {
            // The lock is released all the same; the next owner will see it abandoned.
            SetLastErrorFromErrno(errno);
        }
    }
    m->changed.notify_all();
    NoteReleased(m);
    return true;
}

Handle CreateFileMapping(const std::string& name, std::size_t size) {
    if (size == 0) {
        SetLastError(Error::InvalidParameter);
        return nullptr;
    }
    const std::string path = ObjectPath("section", name);
    if (path.empty()) {
        SetLastError(Error::AccessDenied);
        return nullptr;
    }
    if (NamedObject* open = FindOpen(path)) {
        SetLastError(Error::AlreadyExists);
        return open;
    }
    bool existed = false;
    const int fd = OpenObjectFile(path, true, &existed);
    if (fd < 0) {
        return nullptr;
    }
    auto* section = new NamedObject(KernelObject::Kind::Section, path, fd);
    if (!existed && (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        SetLastErrorFromErrno(errno);
        OpenGate(fd);
        delete section;
        return nullptr;
    }
    OpenGate(fd);
    Register(section);
    SetLastError(existed ? Error::AlreadyExists : Error::Success);
    return section;
}

Handle OpenFileMapping(const std::string& name) {
    const std::string path = ObjectPath("section", name);
    if (path.empty()) {
        SetLastError(Error::AccessDenied);
        return nullptr;
    }
    if (NamedObject* open = FindOpen(path)) {
        return open;
    }
    bool existed = false;
    const int fd = OpenObjectFile(path, false, &existed);
    if (fd < 0) {
        if (GetLastError() == Error::FileNotFound || GetLastError() == Error::PathNotFound) {
            SetLastError(Error::FileNotFound);
        }
        return nullptr;
    }
    auto* section = new NamedObject(KernelObject::Kind::Section, path, fd);
    OpenGate(fd);
    Register(section);
    return section;
}

void* MapViewOfFile(Handle handle, std::size_t size) {
    NamedObject* section = AsNamed(handle, KernelObject::Kind::Section);
    if (section == nullptr) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(section->fd, &st) != 0) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    if (size == 0 || static_cast<std::uint64_t>(st.st_size) < size) {
        SetLastError(Error::InvalidParameter);
        return nullptr;
    }
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, section->fd, 0);
    if (view == MAP_FAILED) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    section->AddRef();
    std::lock_guard<std::mutex> guard(g_registryLock);
    Views()[view] = View{section, size};
    return view;
}

bool UnmapViewOfFile(void* view) {
    View found{};
    {
        std::lock_guard<std::mutex> guard(g_registryLock);
        auto it = Views().find(view);
        if (it == Views().end()) {
            SetLastError(Error::InvalidParameter);
            return false;
        }
        found = it->second;
        Views().erase(it);
    }
    ::munmap(view, found.size);
    found.section->Release();
    return true;
}

}  // namespace Platform
