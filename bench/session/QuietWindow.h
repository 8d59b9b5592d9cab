// A session window that draws nothing and counts the installed steps, for the session
// benchmarks.
#pragma once

#include <cstdint>

#include "session/SessionWindow.h"

class QuietWindow : public BexoPatch::SessionWindow {
public:
    bool CancelRequested() const override { return false; }
    void PostSessionFinished() override {}
    void PostPatchInstalled() override { ++installed; }
    void EnableApplyButton() override {}
    void SetProgressRange(std::int32_t /*range*/) override {}
    void SetProgressValue(std::int32_t /*value*/) override {}
    void ShowInstallPath() override {}
    void PassSessionLock() override {}

    int installed = 0;
};
