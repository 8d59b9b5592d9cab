#include "kernel/Assert.h"

#include <atomic>
#include <cstdlib>

#include "kernel/SystemLog.h"

namespace {
std::atomic<AssertionHandler> g_assertionHandler{nullptr};
}  // namespace

void BexoAssertFailed(const char* expression, const char* file, int line) {
    if (AssertionHandler handler = g_assertionHandler.load()) {
        handler(expression, file, line);
    }
    SystemLog("Assertion failed: %s", expression);
    std::abort();
}

AssertionHandler SetAssertionHandler(AssertionHandler handler) {
    return g_assertionHandler.exchange(handler);
}
