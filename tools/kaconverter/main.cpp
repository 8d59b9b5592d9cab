// KAConverter.exe test double: "KAConverter.exe patchapply OLD DIFF NEW" applies a
// difference made by osmel-mkpatch diff for a ".ka" file. Exit codes as the engine reads
// them: 0 patched; 1 the contents do not match (the difference does not apply to OLD);
// 2 OLD cannot be read; 3 DIFF cannot be read; 4 NEW cannot be written; 5 wrong arguments.
// "KAConverter.exe --version" prints the product version and build.
#include <cstdio>
#include <string>
#include <vector>

#include "DeltaCodec.h"
#include "kernel/ProgramVersion.h"
#include "kernel/Text.h"
#include "platform/System.h"

int main(int argc, char** argv) {
    if (AsksForVersion(argc, argv)) {
        return PrintVersion("KAConverter.exe");
    }
    const std::vector<std::string> args = Platform::GetCommandLineArguments(argc, argv);
    if (args.size() != 5 || args[1] != "patchapply") {
        std::fprintf(stderr, "usage: KAConverter.exe patchapply OLD DIFF NEW\n");
        return 5;
    }
    std::string error;
    const Delta::Status status =
        Delta::ApplyDiff(Utf8ToWide(args[2]), Utf8ToWide(args[3]), Utf8ToWide(args[4]), &error);
    if (status != Delta::Status::Ok) {
        std::fprintf(stderr, "KAConverter.exe: %s\n", error.c_str());
    }
    switch (status) {
        case Delta::Status::Ok:
            return 0;
        case Delta::Status::Corrupt:
            return 1;
        case Delta::Status::OldUnreadable:
            return 2;
        case Delta::Status::DiffUnreadable:
            return 3;
        case Delta::Status::OutputUnwritable:
            return 4;
    }
    return 5;
}
