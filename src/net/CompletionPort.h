// The completion port and its one worker thread, shared by every socket of the process.
// User threads post start requests; the completion-port (IOCP) thread issues every
// overlapped socket call and hands each completion to the handler it belongs to.
#pragma once

#include <cstdint>
#include <vector>

#include "kernel/Sync.h"
#include "platform/Sockets.h"

class IOOperation;
class CPSocketManager;

class IOCompletionPort {
public:
    // Asserts that the port was created.
    explicit IOCompletionPort(std::uint32_t concurrency);
    IOCompletionPort(const IOCompletionPort&) = delete;
    IOCompletionPort& operator=(const IOCompletionPort&) = delete;
    virtual ~IOCompletionPort();

    bool Associate(Platform::Socket socket, std::uintptr_t key);
    bool Post(std::uintptr_t key, std::uint32_t bytes, Platform::Overlapped* overlapped);
    // Waits without time limit; 0 on success or the OS error.
    std::uint32_t Get(std::uint32_t* bytes, std::uintptr_t* key, Platform::Overlapped** overlapped);
    void Close();

private:
    Platform::CompletionPort m_port;
};

// Base of everything associated with the port.
class CPHandler {
public:
    CPHandler() = default;
    CPHandler(const CPHandler&) = delete;
    CPHandler& operator=(const CPHandler&) = delete;
    // IOCP thread: processes a completion; true when the operation is finished.
    virtual bool HandleCompletion(IOOperation& operation, std::uint32_t error);
    virtual Platform::Socket GetHandle() { return Platform::kInvalidSocket; }
    virtual ~CPHandler() = default;

    CPSocketManager* GetManager() const { return m_manager; }

protected:
    CPSocketManager* m_manager = nullptr;
};

class CPWorkerThread {
public:
    // Starts the worker loop; check IsRunning.
    explicit CPWorkerThread(CPSocketManager* manager);
    CPWorkerThread(const CPWorkerThread&) = delete;
    CPWorkerThread& operator=(const CPWorkerThread&) = delete;
    // Joins the thread: a quit packet must have been posted for it.
    virtual ~CPWorkerThread();

    bool IsRunning() const { return m_running; }

private:
    static std::uint32_t Main(void* self);
    void Loop();

    CPSocketManager* m_manager;
    OS::Thread m_thread;
    bool m_running = false;
};

class CPSocketManager : public IOCompletionPort {
public:
    explicit CPSocketManager(std::uint32_t threadCount);
    // Ends the worker threads with quit packets and closes the port.
    ~CPSocketManager() override;

    // Guards the thread list and port associations.
    Kos::CriticalSection& GetLock() { return m_lock; }
    std::uint32_t GetThreadCount() const { return m_threadCount; }

private:
    std::vector<CPWorkerThread*> m_threads;
    std::uint32_t m_threadCount;
    Kos::CriticalSection m_lock;
};

// The shared manager: the first acquisition creates it with that many threads (callers
// pass 1), the last release destroys it. Serialised by a process-wide lock.
CPSocketManager* AcquireSocketManager(std::uint32_t threadCount);
void ReleaseSocketManager();

// Whether the caller is the completion-port thread; IsInUserlandThread is the opposite.
bool IsInIOCPThread();
bool IsInUserlandThread();
