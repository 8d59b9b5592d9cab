// The object behind every Platform::Handle of the POSIX backend. Private to the
// backend: the waits in Sync.cpp and the process objects in Process.cpp share it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/Win32Types.h"

namespace Platform {

// Every handle points at one of these. State is guarded by `lock`; `changed` is
// notified whenever the object may have become signalled.
struct KernelObject {
    enum class Kind { Event, Mutex, Thread, Process, Pipe, NamedMutex, Section };

    explicit KernelObject(Kind k) : kind(k) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    // Called with `lock` held: takes the object if it is signalled. Sets `abandoned`
    // when the acquisition is of an abandoned mutex.
    virtual bool TryAcquire(bool* abandoned, unsigned long long waitGeneration) = 0;

    void AddRef() { refs.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            // A thread that dropped its reference while holding `lock` (a thread or a
            // process announcing its end) may still be leaving it.
            { std::lock_guard<std::mutex> guard(lock); }
            delete this;
        }
    }

    const Kind kind;
    std::atomic<int> refs{1};
    std::mutex lock;
    std::condition_variable changed;
    // Bumped by PulseEvent so that the threads already waiting see the pulse.
    unsigned long long pulseGeneration = 0;
};

// Named mutexes wait and release through their lock file (NamedObjects.cpp) instead
// of TryAcquire, because their owner may be another process.
DWORD WaitForNamedMutex(KernelObject* mutex, DWORD milliseconds);
bool ReleaseNamedMutex(KernelObject* mutex);
// Abandons the named mutexes the calling thread still owns; a thread's end does it.
void AbandonNamedMutexesOfThisThread();

}  // namespace Platform
