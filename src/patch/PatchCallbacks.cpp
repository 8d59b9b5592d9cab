#include "patch/PatchCallbacks.h"

#include <atomic>

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
