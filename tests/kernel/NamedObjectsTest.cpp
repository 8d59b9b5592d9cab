// Named mutexes and sections with the Win32 lifetimes: existence while a live process
// holds them, abandonment when an owner dies, one object per name within a process.
#include "platform/NamedObjects.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "kernel/ChildProcess.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/System.h"

namespace {

const std::wstring kHelper = Platform::FromSystemPath(OSMEL_NAMED_OBJECT_HELPER);

std::string UniqueName(const std::string& what) {
    return "09731AC6-test/" + what + "/" + std::to_string(::getpid()) + "/" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// A peer process holding a named object until it is terminated.
class Peer {
public:
    Peer(const std::string& mode, const std::string& name)
        : Peer(kHelper, mode + " \"" + name + "\"") {}
    // The helper started through another program (a different user or environment).
    Peer(const std::wstring& program, const std::string& arguments)
        : m_child(StartChildProcess(program, arguments)) {
        std::string text;
        ready = m_child != nullptr && m_child->ReadStdout(text) && text == "ready";
    }
    ~Peer() { Kill(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void Kill() {
        if (m_child) {
            Platform::TerminateProcess(m_child->processHandle, 1);
            m_child->Wait(Platform::kInfinite);
            m_child->Close();
            m_child.reset();
        }
    }

    bool ready = false;

private:
    std::unique_ptr<ChildProcess> m_child;
};

TEST(NamedObjectsTest, AMutexExistsWhileAHandleIsOpen) {
    const std::string name = UniqueName("mutex");
    Platform::Handle first = Platform::CreateMutex(true, name);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::Success);
    // Another handle to the same object: what is taken through one is released through
    // the other.
    Platform::Handle second = Platform::CreateMutex(true, name);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::AlreadyExists);
    // Owned since creation, recursively, by this thread.
    EXPECT_EQ(Platform::WaitForSingleObject(second, 0), Platform::kWaitObject0);
    EXPECT_TRUE(Platform::ReleaseMutex(first));
    EXPECT_TRUE(Platform::ReleaseMutex(first));
    EXPECT_FALSE(Platform::ReleaseMutex(first));
    Platform::CloseHandle(first);
    Platform::CloseHandle(second);

    Platform::Handle again = Platform::CreateMutex(false, name);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::Success);
    Platform::CloseHandle(again);
}

TEST(NamedObjectsTest, AnOwnerThatDiesAbandonsTheMutex) {
    const std::string name = UniqueName("mutex");
    Peer peer("own-mutex", name);
    ASSERT_TRUE(peer.ready);
    Platform::Handle mutex = Platform::CreateMutex(true, name);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::AlreadyExists);
    EXPECT_EQ(Platform::WaitForSingleObject(mutex, 20), Platform::kWaitTimeout);
    peer.Kill();
    EXPECT_EQ(Platform::WaitForSingleObject(mutex, Platform::kInfinite), Platform::kWaitAbandoned);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    EXPECT_EQ(Platform::WaitForSingleObject(mutex, 0), Platform::kWaitObject0);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
}

TEST(NamedObjectsTest, OtherThreadsOfTheProcessWaitForTheOwningThread) {
    const std::string name = UniqueName("mutex");
    Platform::Handle mutex = Platform::CreateMutex(true, name);
    ASSERT_NE(mutex, nullptr);
    struct Shared {
        Platform::Handle mutex;
        Platform::Handle released;
    } shared{mutex, Platform::CreateEvent(true, false, nullptr)};
    Platform::Handle thread = Platform::CreateThread(
        0,
        [](void* raw) -> Platform::DWORD {
            auto* s = static_cast<Shared*>(raw);
            if (Platform::WaitForSingleObject(s->mutex, 0) != Platform::kWaitTimeout) {
                return 1;
            }
            Platform::SetEvent(s->released);
            const Platform::DWORD result = Platform::WaitForSingleObject(s->mutex, 10000);
            Platform::ReleaseMutex(s->mutex);
            return result == Platform::kWaitObject0 ? 0 : 2;
        },
        &shared);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(Platform::WaitForSingleObject(shared.released, Platform::kInfinite),
              Platform::kWaitObject0);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    ASSERT_EQ(Platform::WaitForSingleObject(thread, Platform::kInfinite), Platform::kWaitObject0);
    Platform::DWORD code = 9;
    Platform::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0u);
    for (Platform::Handle h : {thread, shared.released, mutex}) {
        Platform::CloseHandle(h);
    }
}

// A thread that ends while it owns the mutex abandons it, as on Windows: the next waiter
// gets it at once and is told so.
TEST(NamedObjectsTest, AThreadThatEndsOwningTheMutexAbandonsIt) {
    const std::string name = UniqueName("mutex");
    Platform::Handle mutex = Platform::CreateMutex(false, name);
    ASSERT_NE(mutex, nullptr);
    Platform::Handle thread = Platform::CreateThread(
        0,
        [](void* raw) -> Platform::DWORD {
            return Platform::WaitForSingleObject(static_cast<Platform::Handle>(raw), 0) ==
                           Platform::kWaitObject0
                       ? 0
                       : 1;
        },
        mutex);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(Platform::WaitForSingleObject(thread, Platform::kInfinite), Platform::kWaitObject0);
    Platform::DWORD code = 9;
    Platform::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(Platform::WaitForSingleObject(mutex, 5000), Platform::kWaitAbandoned);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    EXPECT_EQ(Platform::WaitForSingleObject(mutex, 0), Platform::kWaitObject0);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(thread);
    Platform::CloseHandle(mutex);
}

// A wait keeps the object it waits on alive: another thread may close the handle while
// the wait runs, and the wait still ends when the object is signalled.
TEST(NamedObjectsTest, AWaitOutlivesTheClosingOfItsHandle) {
    struct Shared {
        Platform::Handle go = Platform::CreateEvent(true, false, nullptr);
        Platform::Handle waiting = Platform::CreateEvent(true, false, nullptr);
        Platform::Handle worker = nullptr;
        Platform::DWORD result = 9;
    } shared;
    shared.worker = Platform::CreateThread(
        0,
        [](void* raw) -> Platform::DWORD {
            return Platform::WaitForSingleObject(static_cast<Shared*>(raw)->go,
                                                 Platform::kInfinite) == Platform::kWaitObject0
                       ? 0
                       : 1;
        },
        &shared);
    ASSERT_NE(shared.worker, nullptr);
    Platform::Handle waiter = Platform::CreateThread(
        0,
        [](void* raw) -> Platform::DWORD {
            auto* s = static_cast<Shared*>(raw);
            Platform::SetEvent(s->waiting);
            s->result = Platform::WaitForSingleObject(s->worker, Platform::kInfinite);
            return 0;
        },
        &shared);
    ASSERT_NE(waiter, nullptr);
    ASSERT_EQ(Platform::WaitForSingleObject(shared.waiting, Platform::kInfinite),
              Platform::kWaitObject0);
    // The waiter has said it is about to wait; the pause lets it be inside the wait when
    // the handle is closed, which is the case under test (no event can say so).
    Platform::Sleep(50);
    Platform::CloseHandle(shared.worker);
    Platform::SetEvent(shared.go);
    ASSERT_EQ(Platform::WaitForSingleObject(waiter, Platform::kInfinite), Platform::kWaitObject0);
    EXPECT_EQ(shared.result, Platform::kWaitObject0);
    for (Platform::Handle h : {waiter, shared.go, shared.waiting}) {
        Platform::CloseHandle(h);
    }
}

#ifndef _WIN32
// Objects live in one place for the whole machine, as in Windows' global namespace: a
// process of another user with another environment (the user's product, when the
// patcher runs elevated) opens what this one made, and meets its owner.
TEST(NamedObjectsTest, AnotherUserWithAnotherEnvironmentMeetsTheSameObjects) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "starting the peer as another user needs root";
    }
    const std::string name = UniqueName("machine");
    Platform::Handle mutex = Platform::CreateMutex(true, name);
    ASSERT_NE(mutex, nullptr);
    Platform::Handle section = Platform::CreateFileMapping(name, 64);
    ASSERT_NE(section, nullptr);
    auto* view = static_cast<char*>(Platform::MapViewOfFile(section, 64));
    ASSERT_NE(view, nullptr);
    const std::string asNobody =
        "XDG_RUNTIME_DIR=/nonexistent TMPDIR=/nonexistent HOME=/nonexistent setpriv "
        "--reuid=65534 --regid=65534 --clear-groups \"" +
        std::string(OSMEL_NAMED_OBJECT_HELPER) + "\" ";
    {
        Peer peer(L"/usr/bin/env", asNobody + "section \"" + name + "\"");
        ASSERT_TRUE(peer.ready);
        EXPECT_STREQ(view, "written by the peer");
    }
    {
        // It opens the mutex (without ownership: this process owns it).
        Peer peer(L"/usr/bin/env", asNobody + "own-mutex \"" + name + "\"");
        EXPECT_TRUE(peer.ready);
    }
    Platform::UnmapViewOfFile(view);
    Platform::CloseHandle(section);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
}
#endif

TEST(NamedObjectsTest, ASectionLivesOnlyWhileALiveProcessHoldsIt) {
    const std::string name = UniqueName("section");
    EXPECT_EQ(Platform::OpenFileMapping(name), nullptr);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::FileNotFound);

    Peer peer("section", name);
    ASSERT_TRUE(peer.ready);
    Platform::Handle section = Platform::OpenFileMapping(name);
    ASSERT_NE(section, nullptr);
    // Well beyond the section's end (Windows counts its size in whole pages).
    EXPECT_EQ(Platform::MapViewOfFile(section, 64 * 1024), nullptr);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::InvalidParameter);
    auto* view = static_cast<char*>(Platform::MapViewOfFile(section, 64));
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(view, "written by the peer");
    // The view keeps the section's memory after the handle and the peer are gone.
    Platform::CloseHandle(section);
    peer.Kill();
    EXPECT_STREQ(view, "written by the peer");
    EXPECT_TRUE(Platform::UnmapViewOfFile(view));

    // Nobody holds it now: what it held is gone.
    EXPECT_EQ(Platform::OpenFileMapping(name), nullptr);
    Platform::Handle fresh = Platform::CreateFileMapping(name, 64);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::Success);
    auto* zeroed = static_cast<char*>(Platform::MapViewOfFile(fresh, 64));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(zeroed[0], 0);
    Platform::UnmapViewOfFile(zeroed);
    Platform::CloseHandle(fresh);
}

TEST(NamedObjectsTest, ASectionLeftByACrashedPeerIsNotFound) {
    const std::string name = UniqueName("section");
    Peer peer("section", name);
    ASSERT_TRUE(peer.ready);
    peer.Kill();
    EXPECT_EQ(Platform::OpenFileMapping(name), nullptr);
    Platform::Handle fresh = Platform::CreateFileMapping(name, 64);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::Success);
    auto* view = static_cast<char*>(Platform::MapViewOfFile(fresh, 64));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::memcmp(view, std::string(64, '\0').data(), 64), 0);
    Platform::UnmapViewOfFile(view);
    Platform::CloseHandle(fresh);
}

TEST(NamedObjectsTest, LongNamesStayDistinct) {
    const std::string stem = UniqueName("long") + "/" + std::string(600, 'k');
    Platform::Handle a = Platform::CreateMutex(false, stem + "/a");
    Platform::Handle b = Platform::CreateMutex(false, stem + "/b");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Platform::GetLastError(), Platform::Error::Success);
    EXPECT_NE(a, b);
    Platform::CloseHandle(a);
    Platform::CloseHandle(b);
}

}  // namespace
