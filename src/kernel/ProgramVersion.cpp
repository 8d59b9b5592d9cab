#include "kernel/ProgramVersion.h"

#include <cstdio>
#include <cstring>

#include "BuildId.h"

std::string VersionText(const std::string& program) {
    return program + " (Osmel Patcher) " OSMEL_PRODUCT_VERSION "\nbuild " OSMEL_BUILD_ID "\n";
}

int PrintVersion(const std::string& program) {
    const std::string text = VersionText(program);
    const bool written = std::fputs(text.c_str(), stdout) >= 0;
    return written && std::fflush(stdout) == 0 ? 0 : 1;
}

bool AsksForVersion(int argc, const char* const* argv) {
    return argc == 2 && std::strcmp(argv[1], "--version") == 0;
}
