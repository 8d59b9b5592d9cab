// Threads and synchronisation in two layers. Kos: polymorphic lockable objects that
// report failure by return values and never throw. OS: a thread, a recursive mutex and
// a scoped lock, plus one-call helpers; every platform failure throws OSException.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/Sync.h"

namespace Kos {

// Base of the lockable family. Owns `handle` (null when there is none).
class SyncObject {
public:
    SyncObject() = default;
    SyncObject(const SyncObject&) = delete;
    SyncObject& operator=(const SyncObject&) = delete;
    // Closes the handle.
    virtual ~SyncObject();
    virtual Platform::Handle GetHandle();
    // Waits on the handle; true only when the wait reports it signalled (an abandoned
    // mutex, a timeout or a failure give false).
    virtual bool Lock(std::uint32_t timeoutMs);
    virtual bool TryLock();
    virtual bool Unlock();

protected:
    Platform::Handle handle = nullptr;
};

// A Win32 event; creation failure leaves a null handle and every wait false.
class WEvent : public SyncObject {
public:
    WEvent(bool manualReset, bool initiallySignalled, const char* name);
    // Does nothing, so that an event can stand where a lockable object is expected.
    bool Unlock() override;
    bool Set();
    bool Pulse();
    bool Reset();
};

// A recursive critical section. Lock ignores the timeout and always succeeds.
class CriticalSection : public SyncObject {
public:
    CriticalSection();
    ~CriticalSection() override;
    bool Lock(std::uint32_t timeoutMs) override;
    bool Unlock() override;

private:
    Platform::CriticalSectionObject* section;
};

// Whether the process exists and has not ended.
bool IsProcessRunning(std::uint32_t processId);

}  // namespace Kos

class OSException : public std::exception {
public:
    explicit OSException(std::string text = std::string()) : message(std::move(text)) {}
    OSException(const OSException&) = default;
    ~OSException() override = default;
    const char* what() const noexcept override;
    virtual std::string Message() const { return message; }

private:
    std::string message;
    mutable std::string whatCache;
};

namespace OS {

using ThreadFunction = Platform::ThreadFunction;

class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Asserts that the thread has ended: owners Join before destroying.
    virtual ~Thread();
    virtual std::uint32_t Run() { return 0; }

    // Starts function(argument). A previous thread must have ended (assertion).
    bool Start(ThreadFunction function, void* argument);
    // Waits for the thread; its exit code, 0 with no thread, 259 if it cannot be read.
    std::uint32_t Join();

private:
    Platform::Handle m_threadhandle = nullptr;
};

// A recursive mutex; may be waited on from several threads.
class Mutex {
public:
    Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    // A destructor cannot throw safely (it may run during unwinding), so a failed close
    // writes "Failed to close the mutex handle" to the system log instead.
    virtual ~Mutex();
    std::uint32_t Lock();
    // Throws "Failed to release the mutex" when the caller does not own it.
    void Unlock();

private:
    friend class MutexLock;
    Platform::Handle m_handle = nullptr;
};

class MutexLock {
public:
    explicit MutexLock(Mutex& mutex);
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    // Unlocks; a failed release is written to the system log, as a destructor cannot
    // throw safely.
    virtual ~MutexLock();

private:
    Mutex* m_mutex;
};

Platform::Handle CreateThread(std::size_t stackSize, ThreadFunction function, void* argument);
std::uint32_t WaitForObject(Platform::Handle handle, std::uint32_t timeoutMs);
Platform::Handle CreateEvent(bool manualReset, bool initiallySignalled, const char* name);
int SetEvent(Platform::Handle handle);
int ResetEvent(Platform::Handle handle);
int CloseHandle(Platform::Handle handle);
// False when the caller does not own the mutex; throws on any other failure.
bool ReleaseMutex(Platform::Handle handle);
void Sleep(std::uint32_t milliseconds);

}  // namespace OS
