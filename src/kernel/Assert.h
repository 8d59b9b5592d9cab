// The assertion facility. A failed assertion is fatal: the handler in force writes its
// report and ends the process. The crash reporting installs a handler that writes a
// dump; until then "Assertion failed: <expression>" goes to the system log and the
// process aborts.
#pragma once

using AssertionHandler = void (*)(const char* expression, const char* file, int line);

// Never returns.
[[noreturn]] void BexoAssertFailed(const char* expression, const char* file, int line);

// Installs the handler for later failures; null restores the default. Returns the old one.
// The handler must not return.
AssertionHandler SetAssertionHandler(AssertionHandler handler);

#define BexoAssert(expression) \
    ((expression) ? static_cast<void>(0) : BexoAssertFailed(#expression, __FILE__, __LINE__))
