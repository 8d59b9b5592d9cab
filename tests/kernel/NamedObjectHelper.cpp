// Another process for the named-object tests: it takes a named object, says "ready"
// and then waits to be terminated.
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/NamedObjects.h"
#include "platform/Sync.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::string mode = argv[1];
    const std::string name = argv[2];
    if (mode == "own-mutex") {
        if (Platform::CreateMutex(true, name) == nullptr) {
            return 1;
        }
    } else if (mode == "section") {
        Platform::Handle section = Platform::CreateFileMapping(name, 64);
        void* view = section != nullptr ? Platform::MapViewOfFile(section, 64) : nullptr;
        if (view == nullptr) {
            return 1;
        }
        std::memcpy(view, "written by the peer", 20);
    } else {
        return 2;
    }
    if (::write(STDOUT_FILENO, "ready", 5) != 5) {
        return 1;
    }
#ifdef _WIN32
    Platform::Sleep(Platform::kInfinite);
#else
    for (;;) {
        ::pause();
    }
#endif
}
