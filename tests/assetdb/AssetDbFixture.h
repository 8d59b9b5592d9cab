// A throw-away installation with the utility tool double in bin/, and a window that
// records what the maintenance code shows.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "assetdb/AssetDbLock.h"
#include "assetdb/AssetDbWindow.h"
#include "kernel/ChildProcess.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "platform/Files.h"
#include "platform/Process.h"

class TestInstallation {
public:
    TestInstallation() {
        static int counter = 0;
        root = std::filesystem::temp_directory_path() /
               ("osmel-assetdb-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(root / "bin");
        std::filesystem::copy_file(OSMEL_KELVORUTIL, root / "bin" / "KelvorUtil.exe");
    }
    ~TestInstallation() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TestInstallation(const TestInstallation&) = delete;
    TestInstallation& operator=(const TestInstallation&) = delete;

    void Configure(const std::string& text) const {
        std::ofstream(root / "bin" / "KelvorUtil.cfg") << text;
    }
    std::wstring Path() const { return Platform::FromSystemPath(root.string()); }
    std::string DatabasePath() const { return (root / "assets.tdx").string(); }

    std::filesystem::path root;
};

// The utility tool double attached to an installation's lock until it is ended.
class HoldingTool {
public:
    HoldingTool(const TestInstallation& installation, const std::string& mode)
        : m_child(StartChildProcess(
              Platform::FromSystemPath((installation.root / "bin" / "KelvorUtil.exe").string()),
              mode)) {
        std::string text;
        holding = m_child != nullptr && m_child->ReadStdout(text) && text == "holding\n";
    }
    ~HoldingTool() { Kill(); }
    HoldingTool(const HoldingTool&) = delete;
    HoldingTool& operator=(const HoldingTool&) = delete;

    void Kill() {
        if (m_child) {
            Platform::TerminateProcess(m_child->processHandle, 1);
            m_child->Wait(Platform::kInfinite);
            m_child.reset();
        }
    }

    bool holding = false;

private:
    std::unique_ptr<ChildProcess> m_child;
};

// Records the gauge and, while it lives, the process-wide log callback's lines.
class RecordingWindow : public AssetDbWindow {
public:
    struct Call {
        std::string what;  // "log0", "log1", "log2", "range", "value"
        std::wstring text;
        int number = 0;
    };

    RecordingWindow() {
        s_current = this;
        SetPatchCallbacks(nullptr, nullptr, &RecordingWindow::LogLine);
    }
    ~RecordingWindow() override {
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        s_current = nullptr;
    }
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    static void LogLine(std::int32_t level, const std::wstring& text) {
        RecordingWindow* self = s_current;
        std::lock_guard<std::mutex> guard(self->m_lock);
        self->calls.push_back({"log" + std::to_string(level), text, 0});
        if (self->cancelOnOutput && text.find(L"Checked") != std::wstring::npos) {
            self->cancel = true;
        }
    }
    void SetGaugeRange(int range) override { Record("range", range); }
    void SetGaugeValue(int value) override { Record("value", value); }
    bool CancelRequested() const override { return cancel; }

    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> guard(m_lock);
        return calls;
    }

    std::atomic<bool> cancel{false};
    std::atomic<bool> cancelOnOutput{false};

private:
    void Record(const char* what, int number) {
        std::lock_guard<std::mutex> guard(m_lock);
        calls.push_back({what, L"", number});
    }

    static inline RecordingWindow* s_current = nullptr;
    std::mutex m_lock;
    std::vector<Call> calls;
};
