#include "kernel/Sync.h"

#include "kernel/Assert.h"
#include "kernel/SystemLog.h"
#include "platform/System.h"

namespace Kos {

SyncObject::~SyncObject() {
    if (handle != nullptr) {
        Platform::CloseHandle(handle);
        handle = nullptr;
    }
}

Platform::Handle SyncObject::GetHandle() {
    return handle;
}

bool SyncObject::Lock(std::uint32_t timeoutMs) {
    if (handle == nullptr) {
        return false;
    }
    return Platform::WaitForSingleObject(handle, timeoutMs) == Platform::kWaitObject0;
}

bool SyncObject::TryLock() {
    return false;
}

bool SyncObject::Unlock() {
    return false;
}

WEvent::WEvent(bool manualReset, bool initiallySignalled, const char* name) {
    handle = Platform::CreateEvent(manualReset, initiallySignalled, name);
}

bool WEvent::Unlock() {
    return true;
}

bool WEvent::Set() {
    return Platform::SetEvent(handle);
}

bool WEvent::Pulse() {
    return Platform::PulseEvent(handle);
}

bool WEvent::Reset() {
    return Platform::ResetEvent(handle);
}

CriticalSection::CriticalSection() : section(Platform::NewCriticalSection()) {}

CriticalSection::~CriticalSection() {
    if (section != nullptr) {
        Platform::DeleteCriticalSection(section);
        section = nullptr;
    }
}

bool CriticalSection::Lock(std::uint32_t /*timeoutMs*/) {
    if (section != nullptr) {
        Platform::EnterCriticalSection(section);
    }
    return true;
}

bool CriticalSection::Unlock() {
    if (section != nullptr) {
        Platform::LeaveCriticalSection(section);
    }
    return true;
}

bool IsProcessRunning(std::uint32_t processId) {
    return Platform::IsProcessActive(processId);
}

}  // namespace Kos

const char* OSException::what() const noexcept {
    whatCache = Message();
    return whatCache.c_str();
}

namespace OS {

namespace {

constexpr const char* kThreadEnded = "WaitForSingleObject(m_threadhandle, 0) == WAIT_OBJECT_0";

bool ThreadHasEnded(Platform::Handle thread) {
    return Platform::WaitForSingleObject(thread, 0) == Platform::kWaitObject0;
}

}  // namespace

Thread::~Thread() {
    if (m_threadhandle != nullptr) {
        if (!ThreadHasEnded(m_threadhandle)) {
            BexoAssertFailed(kThreadEnded, __FILE__, __LINE__);
        }
        Platform::CloseHandle(m_threadhandle);
        m_threadhandle = nullptr;
    }
}

bool Thread::Start(ThreadFunction function, void* argument) {
    if (m_threadhandle != nullptr) {
        if (!ThreadHasEnded(m_threadhandle)) {
            BexoAssertFailed(kThreadEnded, __FILE__, __LINE__);
        }
        Platform::CloseHandle(m_threadhandle);
        m_threadhandle = nullptr;
    }
    m_threadhandle = OS::CreateThread(0, function, argument);
    return m_threadhandle != nullptr;
}

std::uint32_t Thread::Join() {
    if (m_threadhandle == nullptr) {
        return 0;
    }
    WaitForObject(m_threadhandle, Platform::kInfinite);
    Platform::DWORD code = Platform::kStillActive;
    if (!Platform::GetExitCodeThread(m_threadhandle, &code)) {
        code = Platform::kStillActive;
    }
    return code;
}

Mutex::Mutex() : m_handle(Platform::CreateMutex(false)) {
    if (m_handle == nullptr) {
        throw OSException("Failed to create the mutex");
    }
}

Mutex::~Mutex() {
    if (!Platform::CloseHandle(m_handle)) {
        SystemLog("Failed to close the mutex handle");
    }
}

std::uint32_t Mutex::Lock() {
    try {
        return WaitForObject(m_handle, Platform::kInfinite);
    } catch (const OSException&) {
        throw OSException("Failed to acquire the mutex");
    }
}

void Mutex::Unlock() {
    if (!OS::ReleaseMutex(m_handle)) {
        throw OSException("Failed to release the mutex");
    }
}

MutexLock::MutexLock(Mutex& mutex) : m_mutex(&mutex) {
    m_mutex->Lock();
}

MutexLock::~MutexLock() {
    if (!Platform::ReleaseMutex(m_mutex->m_handle)) {
        SystemLog("Failed to release the mutex");
    }
}

Platform::Handle CreateThread(std::size_t stackSize, ThreadFunction function, void* argument) {
    Platform::Handle h = Platform::CreateThread(stackSize, function, argument);
    if (h == nullptr) {
        throw OSException();
    }
    return h;
}

std::uint32_t WaitForObject(Platform::Handle handle, std::uint32_t timeoutMs) {
    const Platform::DWORD result = Platform::WaitForSingleObject(handle, timeoutMs);
    if (result == Platform::kWaitFailed) {
        throw OSException();
    }
    return result;
}

Platform::Handle CreateEvent(bool manualReset, bool initiallySignalled, const char* name) {
    Platform::Handle h = Platform::CreateEvent(manualReset, initiallySignalled, name);
    if (h == nullptr) {
        throw OSException();
    }
    return h;
}

int SetEvent(Platform::Handle handle) {
    if (!Platform::SetEvent(handle)) {
        throw OSException();
    }
    return 1;
}

int ResetEvent(Platform::Handle handle) {
    if (!Platform::ResetEvent(handle)) {
        throw OSException();
    }
    return 1;
}

int CloseHandle(Platform::Handle handle) {
    if (!Platform::CloseHandle(handle)) {
        throw OSException();
    }
    return 1;
}

bool ReleaseMutex(Platform::Handle handle) {
    if (Platform::ReleaseMutex(handle)) {
        return true;
    }
    if (Platform::GetLastError() == Platform::Error::NotOwner) {
        return false;
    }
    throw OSException();
}

void Sleep(std::uint32_t milliseconds) {
    Platform::Sleep(milliseconds);
}

}  // namespace OS
