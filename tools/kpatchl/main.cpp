// kpatchl-w32.exe OLD DIFF NEW: the difference tool the engine runs for each patched
// file. Exit codes: 0 patched; 1 too few arguments; 2 OLD cannot be read; 3 DIFF cannot
// be read; 4 NEW cannot be written; 5 DIFF does not apply to OLD (damaged or made for
// another file). "kpatchl-w32.exe --version" prints the product version and build.
#include <cstdio>
#include <string>
#include <vector>

#include "DeltaCodec.h"
#include "kernel/ProgramVersion.h"
#include "kernel/Text.h"
#include "platform/System.h"

int main(int argc, char** argv) {
    if (AsksForVersion(argc, argv)) {
        return PrintVersion("kpatchl-w32.exe");
    }
    const std::vector<std::string> args = Platform::GetCommandLineArguments(argc, argv);
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: kpatchl-w32.exe OLD DIFF NEW\n");
        return 1;
    }
    std::string error;
    const Delta::Status status =
        Delta::ApplyDiff(Utf8ToWide(args[1]), Utf8ToWide(args[2]), Utf8ToWide(args[3]), &error);
    if (status != Delta::Status::Ok) {
        std::fprintf(stderr, "kpatchl-w32.exe: %s\n", error.c_str());
    }
    switch (status) {
        case Delta::Status::Ok:
            return 0;
        case Delta::Status::OldUnreadable:
            return 2;
        case Delta::Status::DiffUnreadable:
            return 3;
        case Delta::Status::OutputUnwritable:
            return 4;
        case Delta::Status::Corrupt:
            break;
    }
    return 5;
}
