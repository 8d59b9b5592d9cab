#include "patch/PatchCallbacks.h"

#include <atomic>
#include <string>

#include "kernel/SystemLog.h"
#include "kernel/Text.h"

namespace {

std::atomic<ProgressTotalCallback> g_totalCallback{nullptr};
std::atomic<ContinueCallback> g_continueCallback{nullptr};
std::atomic<LogCallback> g_logCallback{nullptr};

}  // namespace

bool SetPatchCallbacks(ProgressTotalCallback total, ContinueCallback continueQuery,
                       LogCallback log) {
    g_totalCallback.store(total);
    g_continueCallback.store(continueQuery);
    g_logCallback.store(log);
    return true;
}

void ReportLogLine(std::int32_t level, const std::wstring& text) {
    // The front end's own log is kept in the session log file too, its errors marked.
    SystemLogWrite(LOG_FILE, (level == LOG_ERROR ? "error: " : "") + WideToUtf8(text));
    if (const LogCallback log = g_logCallback.load()) {
        log(level, text);
    }
}

bool ReportContinue() {
    const ContinueCallback query = g_continueCallback.load();
    return query == nullptr || query();
}

void ReportTotal(std::int32_t count) {
    if (const ProgressTotalCallback total = g_totalCallback.load()) {
        total(count);
    }
}
