// Threads and waitable objects shaped after their Win32 originals: reference-counted
// handles, waits with a timeout in milliseconds and the Win32 wait results, recursive
// mutexes that are abandoned when their owning thread ends, and critical sections.
#pragma once

#include <cstddef>

#include "platform/Win32Types.h"

namespace Platform {

struct KernelObject;
// A waitable object. Null is "no handle". Closing the last handle frees the object;
// a running thread keeps its own reference, so its handle may be closed at any time.
using Handle = KernelObject*;

// Events. The name is accepted for the shape of the call; events are process-local.
Handle CreateEvent(bool manualReset, bool initiallySignalled, const char* name);
bool SetEvent(Handle event);
bool ResetEvent(Handle event);
// Releases the threads waiting now (all of them for a manual-reset event, one for an
// auto-reset event) and leaves the event non-signalled.
bool PulseEvent(Handle event);

// Unnamed, recursive mutex. A thread that ends while owning it abandons it: the next
// wait acquires it and returns kWaitAbandoned.
Handle CreateMutex(bool initiallyOwned);
// False with last error Error::NotOwner when the calling thread does not own the mutex.
bool ReleaseMutex(Handle mutex);

// Returns kWaitObject0, kWaitAbandoned, kWaitTimeout, or kWaitFailed (last error set).
DWORD WaitForSingleObject(Handle handle, DWORD milliseconds);
bool CloseHandle(Handle handle);

using ThreadFunction = DWORD (*)(void* argument);
// Starts a thread running function(argument); its handle is signalled when it ends.
// Null (with last error set) when the thread cannot be created.
Handle CreateThread(std::size_t stackSize, ThreadFunction function, void* argument);
// The thread's exit code, or kStillActive while it runs.
bool GetExitCodeThread(Handle thread, DWORD* exitCode);
DWORD GetCurrentThreadId();

// 0 yields the rest of the time slice.
void Sleep(DWORD milliseconds);

// A recursive lock without a handle, as a Win32 critical section.
struct CriticalSectionObject;
CriticalSectionObject* NewCriticalSection();
void EnterCriticalSection(CriticalSectionObject* section);
bool TryEnterCriticalSection(CriticalSectionObject* section);
void LeaveCriticalSection(CriticalSectionObject* section);
void DeleteCriticalSection(CriticalSectionObject* section);

}  // namespace Platform
