// The asset database lock against the utility tool double attached as the product's
// programs attach, and against records other programs left in odd states.
#include "assetdb/AssetDbLock.h"

#include <gtest/gtest.h>

#include <chrono>

#include "AssetDbFixture.h"
#include "platform/Files.h"
#include "platform/NamedObjects.h"
#include "platform/System.h"

namespace {

class AssetDbLockTest : public ::testing::Test {
protected:
    void TearDown() override { AssetDbClose(); }

    // The record as another handle of this process sees it.
    class RecordView {
    public:
        explicit RecordView(const std::string& databasePath, bool create = false) {
            std::string mutexName;
            std::string sectionName;
            EXPECT_TRUE(AssetDbObjectNames(databasePath, &mutexName, &sectionName));
            if (create) {
                m_mutex = Platform::CreateMutex(false, mutexName);
            }
            m_section = create ? Platform::CreateFileMapping(sectionName, sizeof(AssetDbShared))
                               : Platform::OpenFileMapping(sectionName);
            if (m_section != nullptr) {
                record = static_cast<AssetDbShared*>(
                    Platform::MapViewOfFile(m_section, sizeof(AssetDbShared)));
            }
        }
        ~RecordView() {
            if (record != nullptr) {
                Platform::UnmapViewOfFile(record);
            }
            for (Platform::Handle h : {m_section, m_mutex}) {
                if (h != nullptr) {
                    Platform::CloseHandle(h);
                }
            }
        }
        RecordView(const RecordView&) = delete;
        RecordView& operator=(const RecordView&) = delete;

        AssetDbShared* record = nullptr;

    private:
        Platform::Handle m_mutex = nullptr;
        Platform::Handle m_section = nullptr;
    };

    TestInstallation installation;
    const std::uint32_t myPid = Platform::GetCurrentProcessId();
};

TEST_F(AssetDbLockTest, NamesComeFromTheLowercasedDirectory) {
    struct Case {
        const char* path;
        const char* mutex;  // null: refused
    };
    const Case cases[] = {
        {"C:\\Games\\Kelvor\\assets.tdx", "09731AC6-B611-4e2a-B181-578073F64F24/c:/games/kelvor"},
        {"\\\\Server\\Share\\ASSETS.TDX", "09731AC6-B611-4e2a-B181-578073F64F24/server/share"},
        {"/opt/Kelvor/Assets.tdx", "09731AC6-B611-4e2a-B181-578073F64F24/opt/kelvor"},
        {"C:\\Kelvor\\assets.tdx\\assets.tdx", nullptr},
        {"C:\\Kelvor\\assets.tdx.bak", nullptr},
        {"C:\\Kelvor\\other.tdx", nullptr},
    };
    for (const Case& c : cases) {
        std::string mutex;
        std::string section;
        ASSERT_EQ(AssetDbObjectNames(c.path, &mutex, &section), c.mutex != nullptr) << c.path;
        if (c.mutex != nullptr) {
            EXPECT_EQ(mutex, c.mutex);
            EXPECT_EQ(section, std::string(c.mutex) + "/-ipc2");
        }
    }
}

TEST_F(AssetDbLockTest, TheFirstProcessCreatesTheRecordAndCanTakeItExclusively) {
    ASSERT_TRUE(AssetDbOpen(installation.DatabasePath(), false));
    RecordView view(installation.DatabasePath());
    ASSERT_NE(view.record, nullptr);
    const AssetDbShared& r = *view.record;
    EXPECT_EQ(r.hostPid, myPid);
    EXPECT_EQ(r.ownerPid, kAssetDbNoPid);
    EXPECT_EQ(r.requesterPid, kAssetDbNoPid);
    EXPECT_EQ(r.layoutVersion, 3u);
    EXPECT_EQ(AssetDbAttachedCount(), 1);

    EXPECT_TRUE(AssetDbTryTakeExclusive());
    EXPECT_EQ(r.exclusivePid, myPid);
    EXPECT_EQ(r.ownerPid, myPid);
    EXPECT_FALSE(AssetDbTryTakeExclusive());
    AssetDbReleaseExclusive();
    EXPECT_EQ(r.exclusivePid, 0u);
    EXPECT_EQ(r.ownerPid, kAssetDbNoPid);
}

TEST_F(AssetDbLockTest, PathsThatAreNotAnExistingDatabaseDirectoryAreRefused) {
    EXPECT_FALSE(AssetDbOpen((installation.root / "missing" / "assets.tdx").string(), false));
    EXPECT_FALSE(AssetDbOpen((installation.root / "assets.tdx.old").string(), false));
    // Characters outside the narrow set become "?" in Windows' narrow calls, which names no
    // directory; POSIX reaches the folder by its own name.
    const std::wstring foreign = installation.Path() + L"\\\x4E2D\x6587";
    std::filesystem::create_directories(Platform::ToSystemPath(foreign));
    if (Platform::WindowsFileNames()) {
        EXPECT_FALSE(AcquireAssetDatabase(foreign, 2, 1));
    } else {
        EXPECT_TRUE(AcquireAssetDatabase(foreign, 2, 1));
        AssetDbReleaseExclusive();
        AssetDbClose();
    }
    EXPECT_TRUE(AcquireAssetDatabase(installation.Path(), 1, 1));
}

TEST_F(AssetDbLockTest, AnotherAttachedProgramKeepsTheDatabaseInUse) {
    HoldingTool simulator(installation, "hold");
    ASSERT_TRUE(simulator.holding);
    EXPECT_FALSE(AcquireAssetDatabase(installation.Path(), 3, 1));

    ASSERT_TRUE(AssetDbOpen(installation.DatabasePath(), false));
    EXPECT_EQ(AssetDbAttachedCount(), 2);
    EXPECT_FALSE(AssetDbTryTakeExclusive());
    AssetDbClose();
    // This process took its own attachment away again.
    ASSERT_TRUE(AssetDbOpen(installation.DatabasePath(), false));
    EXPECT_EQ(AssetDbAttachedCount(), 2);
}

TEST_F(AssetDbLockTest, AnExclusiveHolderRefusesTheOpen) {
    HoldingTool depotrix(installation, "hold exclusive");
    ASSERT_TRUE(depotrix.holding);
    EXPECT_FALSE(AssetDbOpen(installation.DatabasePath(), false));
    EXPECT_FALSE(AssetDbOpen(installation.DatabasePath(), true));
}

TEST_F(AssetDbLockTest, ACrashedHolderDoesNotWedgeTheLock) {
    HoldingTool simulator(installation, "hold exclusive");
    ASSERT_TRUE(simulator.holding);
    simulator.Kill();
    EXPECT_TRUE(AcquireAssetDatabase(installation.Path(), 1, 1));
}

TEST_F(AssetDbLockTest, AnOldLayoutRecordCountsAsAlwaysInUse) {
    RecordView peer(installation.DatabasePath(), true);
    ASSERT_NE(peer.record, nullptr);
    peer.record->hostPid = 4242;
    peer.record->layoutVersion = 0;
    peer.record->exclusivePid = 0;

    ASSERT_TRUE(AssetDbOpen(installation.DatabasePath(), false));
    EXPECT_EQ(AssetDbAttachedCount(), -1);
    EXPECT_FALSE(AssetDbTryTakeExclusive());
    AssetDbClose();
    EXPECT_EQ(peer.record->attachedCount, -1);
    EXPECT_FALSE(AcquireAssetDatabase(installation.Path(), 2, 1));
}

TEST_F(AssetDbLockTest, AnUninitialisedRecordMakesThisProcessItsHost) {
    RecordView peer(installation.DatabasePath(), true);
    ASSERT_NE(peer.record, nullptr);
    ASSERT_TRUE(AssetDbOpen(installation.DatabasePath(), false));
    EXPECT_EQ(peer.record->hostPid, myPid);
    EXPECT_EQ(peer.record->layoutVersion, 3u);
    EXPECT_EQ(AssetDbAttachedCount(), 1);
    EXPECT_TRUE(AssetDbTryTakeExclusive());
    AssetDbClose();
    EXPECT_EQ(peer.record->hostPid, kAssetDbNoPid);
    EXPECT_EQ(peer.record->attachedCount, 0);
}

TEST_F(AssetDbLockTest, OwnershipIsQueuedBehindTheCurrentOwner) {
    ASSERT_TRUE(AssetDbOpen(installation.DatabasePath(), false));
    RecordView view(installation.DatabasePath());
    AssetDbShared& r = *view.record;
    r.ownerPid = 4242;
    EXPECT_FALSE(AssetDbTryTakeOwnership(false));
    EXPECT_EQ(r.requesterPid, kAssetDbNoPid);
    EXPECT_FALSE(AssetDbTryTakeOwnership(true));
    EXPECT_EQ(r.requesterPid, myPid);
    r.ownerPid = kAssetDbNoPid;
    EXPECT_TRUE(AssetDbTryTakeOwnership(false));
    EXPECT_EQ(r.ownerPid, myPid);
    EXPECT_EQ(r.requesterPid, kAssetDbNoPid);

    r.ownerPid = kAssetDbNoPid;
    r.requesterPid = 4242;
    EXPECT_FALSE(AssetDbTryTakeOwnership(true));
    EXPECT_EQ(r.requesterPid, 4242u);
}

TEST_F(AssetDbLockTest, TheSessionGivesUpAfterFiveAttemptsTwoSecondsApart) {
    HoldingTool simulator(installation, "hold");
    ASSERT_TRUE(simulator.holding);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(AcquireAssetDatabase(installation.Path()));
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(seconds.count(), 9.9);
    EXPECT_LT(seconds.count(), 15.0);
}

}  // namespace
