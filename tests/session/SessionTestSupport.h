// What the session tests share: wxWidgets set up for worker threads, a window that
// records what the session asks of it, and the log lines the session reports.
#pragma once

#include <gtest/gtest.h>
#include <wx/init.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
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
    // Runs the action (once, on the session's thread) as soon as a line starting with
    // the text is reported.
    void When(const std::wstring& text, std::function<void()> action) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_whenText = text;
        m_action = std::move(action);
    }
    // Has the window cancel as soon as a line starting with the text is reported.
    void CancelOn(const std::wstring& text, RecordingWindow* window) {
        When(text, [this, window] {
            window->cancel = true;
            m_cancelledAt = std::chrono::steady_clock::now();
        });
    }
    // When that cancel happened.
    std::chrono::steady_clock::time_point CancelledAt() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_cancelledAt;
    }
    // The last lines, oldest first.
    std::vector<LogLine> Tail(std::size_t count) {
        std::lock_guard<std::mutex> hold(m_lock);
        const std::size_t from = m_lines.size() > count ? m_lines.size() - count : 0;
        return {m_lines.begin() + static_cast<std::ptrdiff_t>(from), m_lines.end()};
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
        if (s_current->m_action && text.starts_with(s_current->m_whenText)) {
            const std::function<void()> action = std::move(s_current->m_action);
            s_current->m_action = nullptr;
            action();
        }
    }

    static inline CapturedLog* s_current = nullptr;
    std::mutex m_lock;
    std::vector<LogLine> m_lines;
    std::wstring m_whenText;
    std::function<void()> m_action;
    std::chrono::steady_clock::time_point m_cancelledAt;
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

// Runs one session on its own thread, as the window does, and waits for it; `watch`
// runs on this thread meanwhile, as the window's timer would, until the session ends.
inline void RunSessionThread(RecordingWindow& window,
                             const std::function<void(PatchThread&)>& watch = nullptr) {
    PatchThread thread(&window);
    ASSERT_EQ(thread.Create(), wxTHREAD_NO_ERROR);
    ASSERT_EQ(thread.Run(), wxTHREAD_NO_ERROR);
    while (watch && window.finished == 0) {
        watch(thread);
    }
    thread.Wait(wxTHREAD_WAIT_BLOCK);
}

}  // namespace BexoPatch::testing
