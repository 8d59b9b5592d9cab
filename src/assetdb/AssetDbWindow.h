// What the asset database maintenance needs from the main window besides the log
// (which goes through the process-wide log callback): the progress gauge and the
// user's cancel request. The session's window interface provides these; tests fake
// them. Every call may come from any worker thread.
#pragma once

class AssetDbWindow {
public:
    AssetDbWindow() = default;
    AssetDbWindow(const AssetDbWindow&) = delete;
    AssetDbWindow& operator=(const AssetDbWindow&) = delete;
    virtual ~AssetDbWindow() = default;

    // The progress gauge. The window applies the calls on its own thread in the order
    // they were made, so a range followed by a value is seen as one step.
    virtual void SetGaugeRange(int range) = 0;
    virtual void SetGaugeValue(int value) = 0;
    // The window's cancel flag, set once the user has confirmed a cancel.
    virtual bool CancelRequested() const = 0;
};
