#include "kernel/Sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/System.h"

namespace {

using Platform::kInfinite;
using Platform::kWaitAbandoned;
using Platform::kWaitObject0;
using Platform::kWaitTimeout;

TEST(KosTest, EventLockAndUnlock) {
    Kos::WEvent manual(true, false, nullptr);
    EXPECT_FALSE(manual.Lock(0));
    EXPECT_TRUE(manual.Unlock());
    EXPECT_FALSE(manual.Lock(0)) << "Unlock must leave the event as it was";
    EXPECT_FALSE(manual.TryLock());
    EXPECT_TRUE(manual.Set());
    EXPECT_TRUE(manual.Lock(0));
    EXPECT_TRUE(manual.Lock(0)) << "a manual-reset event stays signalled";
    EXPECT_TRUE(manual.Reset());
    EXPECT_FALSE(manual.Lock(10));

    Kos::WEvent automatic(false, true, nullptr);
    EXPECT_TRUE(automatic.Lock(0));
    EXPECT_FALSE(automatic.Lock(0)) << "an auto-reset event is consumed by one wait";
}

struct PulseState {
    Kos::WEvent* event;
    Kos::WEvent* waiting;
    std::atomic<bool> woke{false};
};

TEST(KosTest, PulseReleasesAWaiterAndLeavesTheEventReset) {
    Kos::WEvent event(true, false, nullptr);
    EXPECT_TRUE(event.Pulse());
    EXPECT_FALSE(event.Lock(0)) << "a pulse with nobody waiting is lost";
    Kos::WEvent waiting(true, false, nullptr);
    PulseState state{&event, &waiting};
    OS::Thread thread;
    thread.Start(
        [](void* p) -> Platform::DWORD {
            auto* s = static_cast<PulseState*>(p);
            s->waiting->Set();
            s->woke = s->event->Lock(kInfinite);
            return 0;
        },
        &state);
    ASSERT_TRUE(waiting.Lock(kInfinite));
    // The waiter may not have started waiting yet; pulse until it has been released.
    while (!state.woke) {
        event.Pulse();
        std::this_thread::yield();
    }
    thread.Join();
    EXPECT_TRUE(state.woke);
    EXPECT_FALSE(event.Lock(0));
}

TEST(KosTest, SyncObjectWithoutHandleFails) {
    Kos::SyncObject none;
    EXPECT_EQ(none.GetHandle(), nullptr);
    EXPECT_FALSE(none.Lock(0));
    EXPECT_FALSE(none.Unlock());
}

struct SectionState {
    Kos::CriticalSection* section;
    Kos::WEvent* tried;
    std::atomic<bool> entered{false};
};

TEST(KosTest, CriticalSectionIsRecursiveAndBlocksOthers) {
    Kos::CriticalSection section;
    EXPECT_TRUE(section.Lock(0));
    EXPECT_TRUE(section.Lock(0));
    Kos::WEvent tried(true, false, nullptr);
    SectionState state{&section, &tried};
    OS::Thread other;
    other.Start(
        [](void* p) -> Platform::DWORD {
            auto* s = static_cast<SectionState*>(p);
            s->tried->Set();
            s->section->Lock(0);
            s->entered = true;
            s->section->Unlock();
            return 0;
        },
        &state);
    ASSERT_TRUE(tried.Lock(kInfinite));
    EXPECT_TRUE(section.Unlock());
    EXPECT_FALSE(state.entered) << "still held once";
    EXPECT_TRUE(section.Unlock());
    other.Join();
    EXPECT_TRUE(state.entered);
}

TEST(KosTest, IsProcessRunning) {
    EXPECT_TRUE(Kos::IsProcessRunning(Platform::GetCurrentProcessId()));
    EXPECT_FALSE(Kos::IsProcessRunning(0));
    EXPECT_FALSE(Kos::IsProcessRunning(0x7FFFFFF0u));
}

TEST(OSThreadTest, JoinReturnsTheExitCode) {
    OS::Thread thread;
    EXPECT_EQ(thread.Join(), 0u) << "no thread";
    static int argument = 41;
    ASSERT_TRUE(thread.Start(
        [](void* p) -> Platform::DWORD {
            return static_cast<Platform::DWORD>(*static_cast<int*>(p) + 1);
        },
        &argument));
    EXPECT_EQ(thread.Join(), 42u);
    EXPECT_EQ(thread.Join(), 42u);
    ASSERT_TRUE(thread.Start([](void*) -> Platform::DWORD { return 7; }, nullptr));
    EXPECT_EQ(thread.Join(), 7u);
}

TEST(OSThreadDeathTest, DestroyingARunningThreadIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            static Kos::WEvent never(true, false, nullptr);
            OS::Thread thread;
            thread.Start(
                [](void*) -> Platform::DWORD {
                    never.Lock(kInfinite);
                    return 0;
                },
                nullptr);
        },
        "Assertion failed: WaitForSingleObject\\(m_threadhandle, 0\\) == WAIT_OBJECT_0");
}

struct MutexState {
    OS::Mutex* mutex;
    std::string message;
};

TEST(OSMutexTest, RecursiveOwnershipAndReleaseByOthers) {
    OS::Mutex mutex;
    EXPECT_EQ(mutex.Lock(), kWaitObject0);
    EXPECT_EQ(mutex.Lock(), kWaitObject0);
    mutex.Unlock();
    MutexState state{&mutex, {}};
    OS::Thread other;
    other.Start(
        [](void* p) -> Platform::DWORD {
            auto* s = static_cast<MutexState*>(p);
            try {
                s->mutex->Unlock();
            } catch (const OSException& e) {
                s->message = e.what();
            }
            return 0;
        },
        &state);
    other.Join();
    EXPECT_EQ(state.message, "Failed to release the mutex");
    mutex.Unlock();
    EXPECT_THROW(mutex.Unlock(), OSException);
    { OS::MutexLock lock(mutex); }
}

TEST(OSMutexTest, AMutexLeftByAnEndedThreadIsAbandoned) {
    Platform::Handle mutex = Platform::CreateMutex(false);
    OS::Thread owner;
    owner.Start(
        [](void* p) -> Platform::DWORD {
            return Platform::WaitForSingleObject(static_cast<Platform::Handle>(p), kInfinite);
        },
        mutex);
    EXPECT_EQ(owner.Join(), kWaitObject0);
    EXPECT_EQ(Platform::WaitForSingleObject(mutex, kInfinite), kWaitAbandoned);
    // A Kos wait treats abandonment as failure, but the caller now owns the mutex.
    EXPECT_EQ(Platform::WaitForSingleObject(mutex, 0), kWaitObject0);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    EXPECT_FALSE(Platform::ReleaseMutex(mutex));
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::NotOwner);
    EXPECT_FALSE(OS::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
}

TEST(OSHelperTest, FailuresThrowWithAnEmptyMessage) {
    try {
        OS::WaitForObject(nullptr, 0);
        FAIL() << "a wait on no handle must throw";
    } catch (const OSException& e) {
        EXPECT_EQ(e.Message(), "");
    }
    EXPECT_THROW(OS::SetEvent(nullptr), OSException);
    EXPECT_THROW(OS::ResetEvent(nullptr), OSException);
    EXPECT_THROW(OS::CloseHandle(nullptr), OSException);
    Platform::Handle event = OS::CreateEvent(false, false, nullptr);
    EXPECT_EQ(OS::WaitForObject(event, 0), kWaitTimeout);
    EXPECT_EQ(OS::SetEvent(event), 1);
    EXPECT_EQ(OS::WaitForObject(event, kInfinite), kWaitObject0);
    EXPECT_EQ(OS::CloseHandle(event), 1);
}

TEST(OSExceptionTest, CopiesKeepTheMessage) {
    const OSException original("Failed to create the mutex");
    const OSException copy(original);
    EXPECT_STREQ(copy.what(), "Failed to create the mutex");
    EXPECT_EQ(copy.Message(), original.Message());
}

}  // namespace
