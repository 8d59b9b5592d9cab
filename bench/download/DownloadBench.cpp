// osmel_bench_download URL OUT: downloads URL into the file OUT through DownloadURL and
// prints "seconds peak_rss_kib", for bench/download.sh.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "repair/buffer/BexoDataBuffer.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: osmel_bench_download URL OUT\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    BEXORESULT result = BEXORESULT_OK;
    {
        BexoDataBufferFile file(Utf8ToWide(argv[2]), BexoDataBufferFile::kModeCreate);
        result = DownloadURL(argv[1], &file, 0, nullptr);
        if (result == BEXORESULT_OK && !file.FlushStream()) {
            result = BEXORESULT_IO_ERROR;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (result != BEXORESULT_OK) {
        std::fprintf(stderr, "DownloadURL failed: %s\n", BexoResultName(result));
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.3f %ld\n", seconds, usage.ru_maxrss);
    return 0;
}
