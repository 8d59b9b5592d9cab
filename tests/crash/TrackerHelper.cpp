// A program with the allocation tracker in it, leaking as told. The test finds the
// lines of the two sites by their comments.
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "crash/AllocationTracker.h"

namespace {

void* volatile g_kept = nullptr;
// Read at run time, so the loop stays one call site.
volatile int g_twice = 2;

__attribute__((noinline)) void Leak(std::size_t size) {
    g_kept = ::operator new(size);  // the leak site
}

}  // namespace

int main(int argc, char** argv) {
    if (!TrackerIsActive()) {
        return 2;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "none") {
        delete new std::string(100, 'x');
    } else if (mode == "one") {
        Leak(24);
    } else if (mode == "two") {
        for (int i = 0; i < g_twice; ++i) {
            Leak(24);
        }
    } else if (mode == "threads") {
        Leak(24);
        std::thread([] { Leak(24); }).join();
    } else if (mode == "library") {
        // The C++ runtime's own compiled code allocates the message and keeps it: a
        // library's block, not the program's leak.
        alignas(std::runtime_error) static unsigned char storage[sizeof(std::runtime_error)];
        new (storage) std::runtime_error(std::string(100, 'x'));
    } else if (mode == "unknown") {
        // Allocated behind the tracker's back, as by a library that started first.
        void* (*volatile allocate)(std::size_t) = std::malloc;
        void* block = allocate(16);
        std::memset(block, 0, 16);
        ::operator delete(block);  // the release site
    } else {
        return 2;
    }
    return 0;
}
