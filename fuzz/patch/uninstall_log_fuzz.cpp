// UpdateUninstallLog on the input as "unins000.dat", appending two added files.
#include "FuzzFiles.h"
#include "patch/UninstallLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::filesystem::path patch = FuzzFiles::Scratch() / "patch";
    std::filesystem::create_directories(patch);
    std::ofstream(patch / "addedFiles.txt", std::ios::binary)
        << "bin\\new.exe\r\n0123456789abcdef0123456789abcdef\r\n\r\n"
        << "data\\maps\\" << std::string(300, 'm') << ".map\r\n\r\n\r\n";
    std::filesystem::create_directories(FuzzFiles::Scratch() / "install");
    return FuzzFiles::QuietStdout();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& scratch = FuzzFiles::Scratch();
    std::filesystem::remove(scratch / "install" / "unins000_temp.dat");
    FuzzFiles::Write("install/unins000.dat", data, size);
    UpdateUninstallLog((scratch / "install").wstring(), (scratch / "patch").wstring());
    return 0;
}
