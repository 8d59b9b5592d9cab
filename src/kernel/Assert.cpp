#include "kernel/Assert.h"

#include <atomic>
#include <cstdio>
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
    // Standard output may be a pipe nobody reads; the process is about to die, so the
    // reason goes to standard error as well.
    std::fprintf(stderr, "Assertion failed: %s\n", expression);
    std::abort();
}

AssertionHandler SetAssertionHandler(AssertionHandler handler) {
    return g_assertionHandler.exchange(handler);
}
