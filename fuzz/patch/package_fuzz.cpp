// UnpackPackage of the input into a fresh directory; nothing may appear outside it.
#include <cstdlib>

#include "FuzzFiles.h"
#include "patch/Package.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return FuzzFiles::QuietStdout();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& scratch = FuzzFiles::Scratch();
    const std::wstring package = FuzzFiles::Write("package.zip", data, size);
    const std::filesystem::path target = scratch / "out" / "unpack";
    std::filesystem::remove_all(scratch / "out");
    std::filesystem::create_directories(target);
    UnpackPackage(package, target.wstring());
    // Only the package and the out tree may exist in the scratch directory.
    for (const auto& entry : std::filesystem::directory_iterator(scratch)) {
        const std::string name = entry.path().filename().string();
        if (name != "package.zip" && name != "out") {
            std::abort();
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator(scratch / "out")) {
        if (entry.path().filename() != "unpack") {
            std::abort();
        }
    }
    return 0;
}
