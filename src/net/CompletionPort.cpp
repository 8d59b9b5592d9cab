#include "net/CompletionPort.h"

#include <atomic>
#include <mutex>

#include "kernel/Assert.h"
#include "net/IOOperation.h"
#include "net/TCPSocket.h"

namespace {

// The completion-port thread's id; -1 while none runs.
std::atomic<std::int64_t> g_iocpThreadId{-1};

std::mutex g_managerLock;
CPSocketManager* g_manager = nullptr;
std::uint32_t g_managerUsers = 0;

}  // namespace

bool IsInIOCPThread() {
    return g_iocpThreadId.load() == static_cast<std::int64_t>(Platform::GetCurrentThreadId());
}

bool IsInUserlandThread() {
    return !IsInIOCPThread();
}

IOCompletionPort::IOCompletionPort(std::uint32_t concurrency)
    : m_port(Platform::CreateIoCompletionPort(concurrency)) {
    BexoAssert(m_port != nullptr);
}

IOCompletionPort::~IOCompletionPort() {
    Close();
}

bool IOCompletionPort::Associate(Platform::Socket socket, std::uintptr_t key) {
    return Platform::AssociateSocket(m_port, socket, key);
}

bool IOCompletionPort::Post(std::uintptr_t key, std::uint32_t bytes,
                            Platform::Overlapped* overlapped) {
    return Platform::PostQueuedCompletionStatus(m_port, bytes, key, overlapped);
}

std::uint32_t IOCompletionPort::Get(std::uint32_t* bytes, std::uintptr_t* key,
                                    Platform::Overlapped** overlapped) {
    return Platform::GetQueuedCompletionStatus(m_port, bytes, key, overlapped);
}

void IOCompletionPort::Close() {
    Platform::CloseCompletionPort(m_port);
    m_port = nullptr;
}

bool CPHandler::HandleCompletion(IOOperation& /*operation*/, std::uint32_t /*error*/) {
    return false;
}

CPWorkerThread::CPWorkerThread(CPSocketManager* manager) : m_manager(manager) {
    m_running = m_thread.Start(&CPWorkerThread::Main, this);
}

CPWorkerThread::~CPWorkerThread() {
    m_thread.Join();
}

std::uint32_t CPWorkerThread::Main(void* self) {
    g_iocpThreadId.store(Platform::GetCurrentThreadId());
    static_cast<CPWorkerThread*>(self)->Loop();
    g_iocpThreadId.store(-1);
    return 0;
}

void CPWorkerThread::Loop() {
    for (;;) {
        std::uint32_t bytes = 0;
        std::uintptr_t key = 0;
        Platform::Overlapped* overlapped = nullptr;
        const std::uint32_t error = m_manager->Get(&bytes, &key, &overlapped);
        if (key == 0) {
            if (error == 0 && overlapped == nullptr) {
                return;
            }
            continue;
        }
        if (overlapped == nullptr) {
            continue;
        }
        auto& operation = static_cast<IOOperation&>(*overlapped);
        TCPSocket* handler = operation.m_handler;
        BexoAssert(handler != nullptr);
        operation.SetState(IOOperation::STATE_CAUGHT);
        operation.m_stepBytes = bytes;
        handler->HandleCompletion(operation, error);
    }
}

CPSocketManager::CPSocketManager(std::uint32_t threadCount)
    : IOCompletionPort(threadCount), m_threadCount(threadCount) {
    for (std::uint32_t i = 0; i < threadCount; ++i) {
        auto* thread = new CPWorkerThread(this);
        if (!thread->IsRunning()) {
            // No quit packet for it: a stray one would end a running worker.
            delete thread;
            continue;
        }
        m_lock.Lock(Platform::kInfinite);
        m_threads.push_back(thread);
        m_lock.Unlock();
    }
}

CPSocketManager::~CPSocketManager() {
    for (std::uint32_t i = 0; i < m_threads.size(); ++i) {
        Post(0, 0, nullptr);
    }
    m_lock.Lock(Platform::kInfinite);
    for (CPWorkerThread* thread : m_threads) {
        Post(0, 0, nullptr);
        delete thread;
    }
    m_threads.clear();
    m_lock.Unlock();
    Close();
}

CPSocketManager* AcquireSocketManager(std::uint32_t threadCount) {
    const std::lock_guard<std::mutex> guard(g_managerLock);
    if (g_managerUsers++ == 0) {
        g_manager = new CPSocketManager(threadCount);
    }
    return g_manager;
}

void ReleaseSocketManager() {
    const std::lock_guard<std::mutex> guard(g_managerLock);
    BexoAssert(g_managerUsers > 0);
    if (--g_managerUsers == 0) {
        delete g_manager;
        g_manager = nullptr;
    }
}
