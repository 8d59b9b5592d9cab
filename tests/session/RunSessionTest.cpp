#include <gtest/gtest.h>
#include <wx/init.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SessionTestSupport.h"
#include "kernel/PatchSettings.h"
#include "patch/PatchCallbacks.h"
#include "session/PatchThread.h"
#include "session/SessionServices.h"
#include "session/SessionWindow.h"

using namespace BexoPatch;

namespace {

const auto* const g_wx = ::testing::AddGlobalTestEnvironment(new BexoPatch::testing::WxEnvironment);
using FakeWindow = BexoPatch::testing::RecordingWindow;

std::mutex g_lock;
std::vector<std::pair<std::int32_t, std::wstring>> g_lines;
std::vector<std::wstring> g_boxes;
std::atomic<int> g_repairRuns{0};
std::atomic<int> g_diskChecks{0};

void CaptureLog(std::int32_t level, const std::wstring& text) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.emplace_back(level, text);
}

void CaptureBox(const std::wstring& text, const std::wstring& caption) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_boxes.push_back(caption + L": " + text.substr(0, 20));
}

bool No(const std::wstring& /*directory*/) {
    return false;
}
void WindowsXpServicePack2(std::uint32_t* major, std::uint32_t* minor, std::uint32_t* sp) {
    *major = 5;
    *minor = 1;
    *sp = 2;
}
void WindowsXpServicePack3(std::uint32_t* major, std::uint32_t* minor, std::uint32_t* sp) {
    *major = 5;
    *minor = 1;
    *sp = 3;
}
bool Missing() {
    return false;
}
bool Busy(const std::wstring& /*installPath*/) {
    return false;
}
bool Free(const std::wstring& /*installPath*/) {
    return true;
}
void Release() {}
bool DiskFull(const std::wstring& /*directory*/, std::uint64_t* freeBytes) {
    ++g_diskChecks;
    *freeBytes = 1u << 20;
    return true;
}
bool DiskFree(const std::wstring& /*directory*/, std::uint64_t* freeBytes) {
    ++g_diskChecks;
    *freeBytes = std::uint64_t{1} << 40;
    return true;
}
bool LoopSucceeds(PatchThread& /*session*/) {
    return true;
}
// The user cancels while the loop runs, and the loop stops.
bool LoopCancelled(PatchThread& session) {
    static_cast<FakeWindow*>(session.Owner())->cancel = true;
    return false;
}
bool RepairSucceeds(PatchThread& /*session*/) {
    ++g_repairRuns;
    return true;
}

struct Case {
    const char* name;
    void (*configure)(SessionServices&, PatchSettings&);
    std::vector<std::pair<std::int32_t, std::wstring>> lines;
    std::vector<std::wstring> boxes;
    int applyEnabled;
};

const std::wstring kAborted = L"Patching aborted.";
const std::wstring kCompleted = L"Patching completed.";
const std::wstring kDiskCheck = L"Checking for available disk space for patching.";

TEST(RunSessionTest, ChecksRunInOrderAndEverySessionEndsWithTheFinishedEvent) {
    const Case cases[] = {
        {"no rights",
         [](SessionServices& s, PatchSettings&) {
             s.hasPatchRights = No;
             s.getPlatformVersion = WindowsXpServicePack2;
         },
         {{LOG_ERROR, L"Patching requires Administrator privileges."}, {LOG_NORMAL, kAborted}},
         {L"Requires Administrator Privileges: Either the current W"},
         0},
        {"xp before service pack 3",
         [](SessionServices& s, PatchSettings&) {
             s.getPlatformVersion = WindowsXpServicePack2;
             s.probeDirectX = Missing;
         },
         {{LOG_ERROR,
           L"This patch installer requires at least Service Pack 3 for Windows XP. \nThe "
           L"patch can be retried once the Service Pack is installed."},
          {LOG_NORMAL, kAborted}},
         {},
         0},
        {"no directx",
         [](SessionServices& s, PatchSettings&) {
             s.getPlatformVersion = WindowsXpServicePack3;
             s.probeDirectX = Missing;
             s.acquireAssetDatabase = Busy;
         },
         {{LOG_ERROR,
           L"This version of Kelvor requires the August 2009 release of DirectX9. \nThe patch "
           L"can be retried once DirectX is updated."},
          {LOG_NORMAL, kAborted}},
         {},
         0},
        {"files in use",
         [](SessionServices& s, PatchSettings& p) {
             s.acquireAssetDatabase = Busy;
             s.getFreeDiskSpace = DiskFull;
             p.SetInstallPath(L"/opt/kelvor");
         },
         {{LOG_ERROR, L"Unable to patch - files in use."}, {LOG_NORMAL, kAborted}},
         {L"Files In Use: One or more Kelvor-r"},
         1},
        {"disk full",
         [](SessionServices& s, PatchSettings& p) {
             s.getFreeDiskSpace = DiskFull;
             p.SetInstallPath(L"/opt/kelvor");
             p.SetDownloadMode(true);
         },
         {{LOG_NORMAL, kDiskCheck},
          {LOG_ERROR,
           L"Insufficient disk space available for patching. Please ensure that at least "
           L"4096MB are available."},
          {LOG_NORMAL, kAborted}},
         {},
         0},
        {"no mode",
         [](SessionServices& s, PatchSettings& p) {
             s.getFreeDiskSpace = DiskFree;
             p.SetInstallPath(L"/opt/kelvor");
         },
         {{LOG_NORMAL, kDiskCheck}, {LOG_NORMAL, kAborted}},
         {},
         0},
        {"download",
         [](SessionServices& s, PatchSettings& p) {
             s.getFreeDiskSpace = DiskFree;
             s.runDownloadSession = LoopSucceeds;
             p.SetInstallPath(L"/opt/kelvor");
             p.SetDownloadMode(true);
         },
         {{LOG_NORMAL, kDiskCheck}, {LOG_NORMAL, kCompleted}},
         {},
         0},
        {"download cancelled",
         [](SessionServices& s, PatchSettings& p) {
             s.getFreeDiskSpace = DiskFree;
             s.runDownloadSession = LoopCancelled;
             p.SetInstallPath(L"/opt/kelvor");
             p.SetDownloadMode(true);
         },
         {{LOG_NORMAL, kDiskCheck}, {LOG_NORMAL, L"Patching cancelled."}},
         {},
         0},
        // No directory: refused before the database lock is waited for.
        {"repair without a directory",
         [](SessionServices& s, PatchSettings& p) {
             s.runRepairSession = RepairSucceeds;
             s.acquireAssetDatabase = Busy;
             p.SetRepairMode(true);
         },
         {{LOG_ERROR, L"No installation directory is known. Name it on the command line."},
          {LOG_NORMAL, kAborted}},
         {},
         0},
        // Repair is chosen before the download loop and skips the disk space check.
        {"repair over download",
         [](SessionServices& s, PatchSettings& p) {
             s.runRepairSession = RepairSucceeds;
             s.getFreeDiskSpace = DiskFull;
             p.SetDownloadMode(true);
             p.SetRepairMode(true);
             p.SetInstallPath(L"/opt/kelvor");
         },
         {{LOG_NORMAL, kCompleted}},
         {},
         0},
    };
    SetPatchCallbacks(nullptr, ContinueQuery, CaptureLog);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetSessionServices();
        GetSessionServices().showMessageBox = CaptureBox;
        GetSessionServices().acquireAssetDatabase = Free;
        GetSessionServices().releaseAssetDatabase = Release;
        PatchSettings::Instance().Reset();
        c.configure(GetSessionServices(), PatchSettings::Instance());
        g_lines.clear();
        g_boxes.clear();
        g_diskChecks = 0;
        g_repairRuns = 0;

        FakeWindow window;
        PatchThread thread(&window);
        ASSERT_EQ(thread.Create(), wxTHREAD_NO_ERROR);
        ASSERT_EQ(thread.Run(), wxTHREAD_NO_ERROR);
        thread.Wait(wxTHREAD_WAIT_BLOCK);

        EXPECT_EQ(g_lines, c.lines);
        EXPECT_EQ(g_boxes, c.boxes);
        EXPECT_EQ(window.applyEnabled, c.applyEnabled);
        EXPECT_EQ(window.finished, 1);
        EXPECT_EQ(window.lockPassed, 1);
        if (std::string(c.name) == "repair over download") {
            EXPECT_EQ(g_repairRuns, 1);
            EXPECT_EQ(g_diskChecks, 0);
        }
    }
    SetPatchCallbacks(nullptr, nullptr, nullptr);
    ResetSessionServices();
    PatchSettings::Instance().Reset();
}

TEST(RunSessionTest, ContinueQueryFollowsTheWindowsCancelFlag) {
    FakeWindow window;
    SetSessionWindow(&window);
    EXPECT_TRUE(ContinueQuery());
    window.cancel = true;
    EXPECT_FALSE(ContinueQuery());
    SetSessionWindow(nullptr);
    EXPECT_TRUE(ContinueQuery());
}

}  // namespace
