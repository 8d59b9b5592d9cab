#include "platform/Sync.h"

#include "platform/Crash.h"
#include "platform/win32/WinApi.h"

namespace Platform {

Handle CreateEvent(bool manualReset, bool initiallySignalled, const char* /*name*/) {
    // Events stay process-local, as the header says: the name is not passed on.
    return FromWin32(::CreateEventW(nullptr, manualReset ? TRUE : FALSE,
                                    initiallySignalled ? TRUE : FALSE, nullptr));
}

bool SetEvent(Handle event) {
    return ::SetEvent(ToWin32(event)) != 0;
}

bool ResetEvent(Handle event) {
    return ::ResetEvent(ToWin32(event)) != 0;
}

bool PulseEvent(Handle event) {
    return ::PulseEvent(ToWin32(event)) != 0;
}

Handle CreateMutex(bool initiallyOwned) {
    return FromWin32(::CreateMutexW(nullptr, initiallyOwned ? TRUE : FALSE, nullptr));
}

bool ReleaseMutex(Handle mutex) {
    return ::ReleaseMutex(ToWin32(mutex)) != 0;
}

DWORD WaitForSingleObject(Handle handle, DWORD milliseconds) {
    return ::WaitForSingleObject(ToWin32(handle), milliseconds);
}

bool CloseHandle(Handle handle) {
    return ::CloseHandle(ToWin32(handle)) != 0;
}

namespace {

// The platform's thread function has the C calling convention and the platform's
// DWORD; the OS's has WINAPI and its own, so each thread starts here.
struct ThreadStart {
    ThreadFunction function;
    void* argument;
};

::DWORD WINAPI ThreadMain(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    PrepareThreadForFaults();
    return start.function(start.argument);
}

}  // namespace

Handle CreateThread(std::size_t stackSize, ThreadFunction function, void* argument) {
    auto* start = new ThreadStart{function, argument};
    const HANDLE thread = ::CreateThread(nullptr, stackSize, &ThreadMain, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;  // the thread never started
    }
    return FromWin32(thread);
}

bool GetExitCodeThread(Handle thread, DWORD* exitCode) {
    ::DWORD code = 0;
    if (::GetExitCodeThread(ToWin32(thread), &code) == 0) {
        return false;
    }
    *exitCode = code;
    return true;
}

DWORD GetCurrentThreadId() {
    return ::GetCurrentThreadId();
}

void Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

struct CriticalSectionObject {
    CRITICAL_SECTION section;
};

CriticalSectionObject* NewCriticalSection() {
    auto* object = new CriticalSectionObject();
    ::InitializeCriticalSection(&object->section);
    return object;
}

void EnterCriticalSection(CriticalSectionObject* section) {
    ::EnterCriticalSection(&section->section);
}

bool TryEnterCriticalSection(CriticalSectionObject* section) {
    return ::TryEnterCriticalSection(&section->section) != 0;
}

void LeaveCriticalSection(CriticalSectionObject* section) {
    ::LeaveCriticalSection(&section->section);
}

void DeleteCriticalSection(CriticalSectionObject* section) {
    ::DeleteCriticalSection(&section->section);
    delete section;
}

}  // namespace Platform
