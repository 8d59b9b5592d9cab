// A child for the process runner's tests. The first argument picks what it does.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n <= 0) {
            std::exit(9);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Bytes as they are, without the C runtime's line-end translation.
    ::_setmode(STDOUT_FILENO, _O_BINARY);
#endif
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "args") {
        for (int i = 2; i < argc; ++i) {
            std::printf("[%s]", argv[i]);
        }
        return 0;
    }
    if (mode == "silent") {
        return 0;
    }
    if (mode == "exit") {
        return argc > 2 ? std::atoi(argv[2]) : 0;
    }
    if (mode == "zeros") {
        static const char kData[] = "ab\0cd";
        WriteAll(kData, sizeof kData - 1);
        return 0;
    }
    if (mode == "both") {
        std::fputs("out ", stdout);
        std::fflush(stdout);
        std::fputs("err", stderr);
        return 0;
    }
    if (mode == "bytes") {
        const std::size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0;
        std::string data;
        for (std::size_t i = 0; i < count; ++i) {
            data += static_cast<char>('a' + i % 26);
        }
        WriteAll(data.data(), data.size());
        return 0;
    }
    if (mode == "cwd") {
        char buffer[4096];
        if (::getcwd(buffer, sizeof buffer) != nullptr) {
            std::fputs(buffer, stdout);
        }
        return 0;
    }
#ifdef _WIN32
    if (mode == "grandchild") {
        // The grandchild, this program again, inherits the output and keeps it open
        // after its parent has ended.
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
        std::string line = std::string("\"") + argv[0] + "\" late";
        PROCESS_INFORMATION created{};
        if (::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &created) == 0) {
            return 9;
        }
        ::CloseHandle(created.hThread);
        ::CloseHandle(created.hProcess);
        WriteAll("early ", 6);
        return 0;
    }
    if (mode == "late") {
        ::Sleep(300);
        WriteAll("late", 4);
        return 0;
    }
    if (mode == "hang") {
        WriteAll("waiting", 7);
        ::Sleep(INFINITE);
    }
#else
    if (mode == "grandchild") {
        // The grandchild keeps the inherited output open after its parent has ended.
        if (::fork() == 0) {
            ::usleep(300 * 1000);
            WriteAll("late", 4);
            ::_exit(0);
        }
        WriteAll("early ", 6);
        return 0;
    }
    if (mode == "hang") {
        WriteAll("waiting", 7);
        for (;;) {
            ::pause();
        }
    }
#endif
    return 2;
}
