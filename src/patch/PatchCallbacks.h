// The process-wide reporting callbacks: the log, continue and total callbacks that the
// application registers once at start-up and every worker reports through. Each may be
// null; the reporters below check before calling. Registration and calls may happen on
// any thread.
#pragma once

#include <cstdint>
#include <string>

// Window log levels.
enum : std::int32_t {
    LOG_NORMAL = 0,  // black
    LOG_NOTE = 1,    // grey
    LOG_ERROR = 2,   // red
};

using ProgressTotalCallback = void (*)(std::int32_t count);
using ContinueCallback = bool (*)();
using LogCallback = void (*)(std::int32_t level, const std::wstring& text);

// Stores the three callbacks, replacing any earlier ones. Always true.
bool SetPatchCallbacks(ProgressTotalCallback total, ContinueCallback continueQuery,
                       LogCallback log);

// One line through the log callback, when one is registered.
void ReportLogLine(std::int32_t level, const std::wstring& text);
// The continue callback's answer; true when none is registered.
bool ReportContinue();
// The number of file operations ahead, through the total callback when one is registered.
void ReportTotal(std::int32_t count);
