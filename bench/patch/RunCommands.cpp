// Runs command lines one after another as the engine starts its tools (CreateProcess with
// the given current directory, wait, exit code) and prints the seconds they took, so that
// bench/engine.sh can take the tools' share out of a whole apply.
// Usage: osmel_bench_run_commands FILE DIRECTORY   (FILE: one UTF-8 command line a line)
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/Text.h"
#include "platform/Process.h"
#include "platform/Sync.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE DIRECTORY\n", argv[0]);
        return 2;
    }
    std::vector<std::wstring> lines;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(Utf8ToWide(line));
        }
    }
    Platform::ProcessStartup startup;
    startup.currentDirectory = Utf8ToWide(argv[2]);
    const auto start = std::chrono::steady_clock::now();
    for (const std::wstring& line : lines) {
        Platform::ProcessInformation process;
        if (!Platform::CreateProcess(line, startup, &process)) {
            std::fprintf(stderr, "cannot start: %s\n", WideToUtf8(line).c_str());
            return 1;
        }
        Platform::WaitForSingleObject(process.process, Platform::kInfinite);
        Platform::DWORD code = 1;
        Platform::GetExitCodeProcess(process.process, &code);
        Platform::CloseHandle(process.process);
        Platform::CloseHandle(process.thread);
        if (code != 0) {
            std::fprintf(stderr, "exit code %u: %s\n", code, WideToUtf8(line).c_str());
            return 1;
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.6f\n", elapsed.count());
    return 0;
}
