// The session window as the asset database code and the progress threads see it: the
// gauge and the cancel flag. Without a window the calls do nothing and nothing is
// cancelled.
#pragma once

#include "assetdb/AssetDbWindow.h"
#include "session/SessionWindow.h"

namespace BexoPatch {

class SessionGauge : public AssetDbWindow {
public:
    explicit SessionGauge(SessionWindow* window) : m_window(window) {}

    void SetGaugeRange(int range) override {
        if (m_window != nullptr) {
            m_window->SetProgressRange(range);
        }
    }
    void SetGaugeValue(int value) override {
        if (m_window != nullptr) {
            m_window->SetProgressValue(value);
        }
    }
    bool CancelRequested() const override {
        return m_window != nullptr && m_window->CancelRequested();
    }

private:
    SessionWindow* m_window;
};

}  // namespace BexoPatch
