#include "platform/Sync.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/Crash.h"
#include "platform/System.h"
#include "platform/posix/KernelObject.h"

namespace Platform {

namespace {

struct EventObject final : KernelObject {
    EventObject(bool manual, bool initial)
        : KernelObject(Kind::Event), manualReset(manual), signalled(initial) {}

    bool TryAcquire(bool* /*abandoned*/, unsigned long long waitGeneration) override {
        if (signalled) {
            if (!manualReset) {
                signalled = false;
            }
            return true;
        }
        if (manualReset && waitGeneration != pulseGeneration) {
            return true;
        }
        if (!manualReset && pulsePending) {
            pulsePending = false;
            return true;
        }
        return false;
    }

    const bool manualReset;
    bool signalled;
    bool pulsePending = false;
    int waiters = 0;
};

struct MutexObject final : KernelObject {
    MutexObject() : KernelObject(Kind::Mutex) {}

    bool TryAcquire(bool* abandoned, unsigned long long /*waitGeneration*/) override;

    DWORD owner = 0;
    unsigned recursion = 0;
    bool abandonedState = false;
};

struct ThreadObject final : KernelObject {
    ThreadObject() : KernelObject(Kind::Thread) {}

    bool TryAcquire(bool* /*abandoned*/, unsigned long long /*waitGeneration*/) override {
        return ended;
    }

    ThreadFunction function = nullptr;
    void* argument = nullptr;
    bool ended = false;
    DWORD exitCode = kStillActive;
};

// The mutexes the current thread owns, so that they can be abandoned when it ends.
struct OwnedMutexes {
    std::vector<MutexObject*> mutexes;

    void AbandonAll() {
        for (MutexObject* m : mutexes) {
            {
                std::lock_guard<std::mutex> guard(m->lock);
                m->owner = 0;
                m->recursion = 0;
                m->abandonedState = true;
            }
            m->changed.notify_all();
            m->Release();
        }
        mutexes.clear();
    }

    ~OwnedMutexes() { AbandonAll(); }
};

thread_local OwnedMutexes t_ownedMutexes;

}  // namespace

bool MutexObject::TryAcquire(bool* abandoned, unsigned long long /*waitGeneration*/) {
    const DWORD self = GetCurrentThreadId();
    if (owner == self) {
        ++recursion;
        return true;
    }
    if (owner != 0) {
        return false;
    }
    owner = self;
    recursion = 1;
    *abandoned = abandonedState;
    abandonedState = false;
    AddRef();
    t_ownedMutexes.mutexes.push_back(this);
    return true;
}

Handle CreateEvent(bool manualReset, bool initiallySignalled, const char* /*name*/) {
    return new EventObject(manualReset, initiallySignalled);
}

namespace {

EventObject* AsEvent(Handle h) {
    if (h == nullptr || h->kind != KernelObject::Kind::Event) {
        SetLastError(Error::InvalidHandle);
        return nullptr;
    }
    return static_cast<EventObject*>(h);
}

}  // namespace

bool SetEvent(Handle event) {
    EventObject* e = AsEvent(event);
    if (e == nullptr) {
        return false;
    }
    // Notified under the lock: a woken waiter may close the last handle at once.
    const std::lock_guard<std::mutex> guard(e->lock);
    e->signalled = true;
    e->changed.notify_all();
    return true;
}

bool ResetEvent(Handle event) {
    EventObject* e = AsEvent(event);
    if (e == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(e->lock);
    e->signalled = false;
    return true;
}

bool PulseEvent(Handle event) {
    EventObject* e = AsEvent(event);
    if (e == nullptr) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(e->lock);
        e->signalled = false;
        if (e->manualReset) {
            ++e->pulseGeneration;
        } else if (e->waiters > 0) {
            e->pulsePending = true;
        }
    }
    e->changed.notify_all();
    return true;
}

Handle CreateMutex(bool initiallyOwned) {
    auto* m = new MutexObject();
    if (initiallyOwned) {
        std::lock_guard<std::mutex> guard(m->lock);
        bool abandoned = false;
        m->TryAcquire(&abandoned, 0);
    }
    return m;
}

bool ReleaseMutex(Handle mutex) {
    if (mutex != nullptr && mutex->kind == KernelObject::Kind::NamedMutex) {
        return ReleaseNamedMutex(mutex);
    }
    if (mutex == nullptr || mutex->kind != KernelObject::Kind::Mutex) {
        SetLastError(Error::InvalidHandle);
        return false;
    }
    auto* m = static_cast<MutexObject*>(mutex);
    bool released = false;
    {
        std::lock_guard<std::mutex> guard(m->lock);
        if (m->owner != GetCurrentThreadId()) {
            SetLastError(Error::NotOwner);
            return false;
        }
        if (--m->recursion == 0) {
            m->owner = 0;
            released = true;
        }
    }
    if (released) {
        auto& owned = t_ownedMutexes.mutexes;
        owned.erase(std::find(owned.begin(), owned.end(), m));
        m->changed.notify_all();
        m->Release();
    }
    return true;
}

namespace {

DWORD WaitForObject(Handle handle, DWORD milliseconds) {
    if (handle->kind == KernelObject::Kind::NamedMutex) {
        return WaitForNamedMutex(handle, milliseconds);
    }
    std::unique_lock<std::mutex> guard(handle->lock);
    const unsigned long long generation = handle->pulseGeneration;
    bool abandoned = false;
    auto* event =
        handle->kind == KernelObject::Kind::Event ? static_cast<EventObject*>(handle) : nullptr;
    const auto acquired = [&] { return handle->TryAcquire(&abandoned, generation); };
    bool ok = acquired();
    if (!ok && milliseconds != 0) {
        if (event != nullptr) {
            ++event->waiters;
        }
        if (milliseconds == kInfinite) {
            handle->changed.wait(guard, acquired);
            ok = true;
        } else {
            ok = handle->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), acquired);
        }
        if (event != nullptr) {
            --event->waiters;
        }
    }
    if (!ok) {
        return kWaitTimeout;
    }
    return abandoned ? kWaitAbandoned : kWaitObject0;
}

}  // namespace

DWORD WaitForSingleObject(Handle handle, DWORD milliseconds) {
    if (handle == nullptr) {
        SetLastError(Error::InvalidHandle);
        return kWaitFailed;
    }
    // The wait holds a reference of its own, as a Windows wait does: a handle closed by
    // another thread meanwhile leaves the object alive until the wait returns.
    handle->AddRef();
    const DWORD result = WaitForObject(handle, milliseconds);
    handle->Release();
    return result;
}

bool CloseHandle(Handle handle) {
    if (handle == nullptr) {
        SetLastError(Error::InvalidHandle);
        return false;
    }
    handle->Release();
    return true;
}

namespace {

void* ThreadMain(void* raw) {
    auto* t = static_cast<ThreadObject*>(raw);
    PrepareThreadForFaults();
    const DWORD code = t->function(t->argument);
    // Mutexes are abandoned before the thread counts as ended, as on Windows.
    t_ownedMutexes.AbandonAll();
    AbandonNamedMutexesOfThisThread();
    // The thread's own reference goes before its end is announced, so that a joiner
    // that then closes the last handle frees the object at once rather than leaving it
    // to this thread's last steps. Nobody can wait on an object nobody holds.
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        t->ended = true;
        t->exitCode = code;
        last = t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1;
        t->changed.notify_all();
    }
    if (last) {
        delete t;
    }
    return nullptr;
}

}  // namespace

Handle CreateThread(std::size_t stackSize, ThreadFunction function, void* argument) {
    auto* t = new ThreadObject();
    t->function = function;
    t->argument = argument;
    t->AddRef();  // the thread's own reference

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attr, std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN));
    }
    pthread_t id;
    const int rc = pthread_create(&id, &attr, &ThreadMain, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        SetLastErrorFromErrno(rc);
        delete t;  // nobody else has seen it
        return nullptr;
    }
    return t;
}

bool GetExitCodeThread(Handle thread, DWORD* exitCode) {
    if (thread == nullptr || thread->kind != KernelObject::Kind::Thread) {
        SetLastError(Error::InvalidHandle);
        return false;
    }
    auto* t = static_cast<ThreadObject*>(thread);
    std::lock_guard<std::mutex> guard(t->lock);
    *exitCode = t->exitCode;
    return true;
}

DWORD GetCurrentThreadId() {
    thread_local const DWORD id = static_cast<DWORD>(::syscall(SYS_gettid));
    return id;
}

void Sleep(DWORD milliseconds) {
    // As on Windows, 0 gives up the rest of the time slice instead of sleeping (a
    // nanosleep of 0 still waits for the timer slack, about 50 microseconds).
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

struct CriticalSectionObject {
    std::recursive_mutex mutex;
};

CriticalSectionObject* NewCriticalSection() {
    return new CriticalSectionObject();
}

void EnterCriticalSection(CriticalSectionObject* section) {
    section->mutex.lock();
}

bool TryEnterCriticalSection(CriticalSectionObject* section) {
    return section->mutex.try_lock();
}

void LeaveCriticalSection(CriticalSectionObject* section) {
    section->mutex.unlock();
}

void DeleteCriticalSection(CriticalSectionObject* section) {
    delete section;
}

}  // namespace Platform
