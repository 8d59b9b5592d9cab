// Running a program to its end from a test.
#pragma once

#include <string>

#include "platform/Process.h"
#include "platform/Sync.h"

namespace BexoPatch::testing {

// Runs the command line and waits for it: the program's exit code, or -1 when it could
// not be started.
inline int RunProcess(const std::wstring& commandLine) {
    Platform::ProcessStartup startup;
    Platform::ProcessInformation info;
    if (!Platform::CreateProcess(commandLine, startup, &info)) {
        return -1;
    }
    Platform::WaitForSingleObject(info.process, Platform::kInfinite);
    Platform::DWORD code = 0;
    Platform::GetExitCodeProcess(info.process, &code);
    Platform::CloseHandle(info.process);
    Platform::CloseHandle(info.thread);
    return static_cast<int>(code);
}

}  // namespace BexoPatch::testing
