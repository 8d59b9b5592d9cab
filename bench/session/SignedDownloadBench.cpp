// Runs one download session: the installation INSTALL_DIR, at build FROM, is brought
// forward by the patch server at SERVER_URL through the session thread, with a window that
// draws nothing. With PUBLIC_KEY the publisher key is set, so the list's signature and each
// package's size and SHA-256 are checked; without it nothing is verified. Prints the
// session's wall time and this process's user processor time in seconds (the download
// and the verifying run here; the difference tool in a child process), and the number of
// steps applied.
// Usage: osmel_bench_signed_download INSTALL_DIR FROM SERVER_URL [PUBLIC_KEY]
#include <wx/init.h>

#include <sys/resource.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "QuietWindow.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "repair/buffer/BexoDataBuffer.h"
#include "session/PatchListSignature.h"
#include "session/PatchThread.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr,
                     "usage: osmel_bench_signed_download INSTALL_DIR FROM SERVER_URL "
                     "[PUBLIC_KEY]\n");
        return 2;
    }
    std::vector<Minisign::PublicKey> keys;
    if (argc == 5) {
        BexoDataBufferFile file(Utf8ToWide(argv[4]), BexoDataBufferFile::kModeRead);
        std::string text(static_cast<std::size_t>(file.GetSize()), '\0');
        std::string error;
        if (!file.IsOpen() ||
            file.ReadData(text.data(), static_cast<std::uint32_t>(text.size())) != BEXORESULT_OK ||
            !Minisign::ParsePublicKeys(text, &keys, &error)) {
            std::fprintf(stderr, "cannot read the key %s %s\n", argv[4], error.c_str());
            return 1;
        }
    }
    BexoPatch::SetTrustedKeys(keys);
    if (!wxInitialize()) {
        return 1;
    }
    BexoPatch::PatchSettings& settings = BexoPatch::PatchSettings::Instance();
    settings.SetInstallPath(Utf8ToWide(argv[1]));
    settings.SetCurrentVersion(argv[2]);
    settings.SetDownloadMode(true);
    settings.AddServer(Utf8ToWide(argv[3]));

    QuietWindow window;
    const auto start = std::chrono::steady_clock::now();
    {
        BexoPatch::PatchThread session(&window);
        if (session.Create() != wxTHREAD_NO_ERROR || session.Run() != wxTHREAD_NO_ERROR) {
            return 1;
        }
        session.Wait(wxTHREAD_WAIT_BLOCK);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec) +
                              static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
    wxUninitialize();
    std::printf("%.3f %.3f %d\n", seconds, cpuSeconds, window.installed);
    return window.installed > 0 ? 0 : 1;
}
