// What the session tests share: wxWidgets set up for worker threads, a window that
// records what the session asks of it, and the log lines the session reports.
#pragma once

#include <gtest/gtest.h>
#include <wx/init.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "TestFiles.h"
#include "patch/PatchCallbacks.h"
#include "session/PatchThread.h"
#include "session/SessionWindow.h"

namespace BexoPatch::testing {

// wx threads need the library initialised.
class WxEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(wxInitialize()); }
    void TearDown() override { wxUninitialize(); }
};

class RecordingWindow : public SessionWindow {
public:
    bool CancelRequested() const override { return cancel.load(); }
    void PostSessionFinished() override { ++finished; }
    void PostPatchInstalled() override { ++installed; }
    void EnableApplyButton() override { ++applyEnabled; }
    void SetProgressRange(std::int32_t range) override {
        std::lock_guard<std::mutex> hold(lock);
        ranges.push_back(range);
    }
    void SetProgressValue(std::int32_t value) override {
        std::lock_guard<std::mutex> hold(lock);
        values.push_back(value);
    }
    void ShowInstallPath() override { ++pathShown; }
    void PassSessionLock() override { ++lockPassed; }

    std::atomic<bool> cancel{false};
    std::atomic<int> finished{0};
    std::atomic<int> installed{0};
    std::atomic<int> applyEnabled{0};
    std::atomic<int> pathShown{0};
    std::atomic<int> lockPassed{0};
    std::mutex lock;  // guards ranges and values
    std::vector<std::int32_t> ranges;
    std::vector<std::int32_t> values;
};

using LogLine = std::pair<std::int32_t, std::wstring>;

// The lines reported through the process-wide log callback while it lives.
class CapturedLog {
public:
    CapturedLog() {
        s_current = this;
        SetPatchCallbacks(nullptr, ContinueQuery, Capture);
    }
    ~CapturedLog() {
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        s_current = nullptr;
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::vector<LogLine> Lines() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_lines;
    }
    bool Contains(std::int32_t level, const std::wstring& text) {
        std::lock_guard<std::mutex> hold(m_lock);
        for (const LogLine& line : m_lines) {
            if (line.first == level && line.second == text) {
                return true;
            }
        }
        return false;
    }

private:
    static void Capture(std::int32_t level, const std::wstring& text) {
        std::lock_guard<std::mutex> hold(s_current->m_lock);
        s_current->m_lines.emplace_back(level, text);
    }

    static inline CapturedLog* s_current = nullptr;
    std::mutex m_lock;
    std::vector<LogLine> m_lines;
};

// Every file below an installation by its relative path, with its bytes; the tools it
// carries and the uninstaller log are not part of a build.
inline std::map<std::string, std::string> InstallationTree(const std::filesystem::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = std::filesystem::relative(entry.path(), root).generic_string();
        if (entry.is_regular_file() && name != "bin/kpatchl-w32.exe" &&
            name != "bin/KelvorUtil.exe" && name != "bin/KelvorUtil.cfg" &&
            name != "unins000.dat") {
            files[name] = ReadFile(entry.path());
        }
    }
    return files;
}

// Runs one session on its own thread, as the window does, and waits for it.
inline void RunSessionThread(RecordingWindow& window) {
    PatchThread thread(&window);
    ASSERT_EQ(thread.Create(), wxTHREAD_NO_ERROR);
    ASSERT_EQ(thread.Run(), wxTHREAD_NO_ERROR);
    thread.Wait(wxTHREAD_WAIT_BLOCK);
}

}  // namespace BexoPatch::testing
