// A child that takes its parent's pipe as standard output at start-up, as the patcher
// does, and writes system log lines that say whether it did.
#include "kernel/SystemLog.h"

int main() {
    const bool redirected = SystemLogRedirectStdout();
    SystemLog("redirected=%d", redirected ? 1 : 0);
    SystemLogW(L"wide %ls", L"\x2019");
    return redirected ? 0 : 1;
}
