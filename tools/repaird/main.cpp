// osmel-repaird: serves a reference installation to repair clients over TCP.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "RepairServer.h"
#include "RepairService.h"
#include "kernel/FileUtil.h"
#include "kernel/ProgramVersion.h"
#include "kernel/SystemLog.h"
#include "platform/Console.h"
#include "platform/FileLimit.h"
#include "platform/Files.h"

namespace {

constexpr int kListenBacklog = 4096;

const char kUsage[] =
    "Usage: osmel-repaird --root DIR [options]\n"
    "Serves the installation in DIR to repair clients.\n"
    "\n"
    "  --listen HOST[:PORT] address or host name to listen on, IPv6 in brackets\n"
    "                       ([::1]:6000); default 127.0.0.1\n"
    "  --port N             TCP port (default 6000; 0 picks a free one)\n"
    "  --allow CIDR         take clients only from this network (192.0.2.0/24,\n"
    "                       2001:db8::/32) or address; repeat for more; default: all\n"
    "  --delete             also delete client files the reference does not have\n"
    "  --exclude PATTERN    never send or remove paths matching PATTERN (\"*\" matches\n"
    "                       anything); unins000.exe, unins000.dat and repair.cks always are\n"
    "  --no-compress        send segments uncompressed\n"
    "  --cache-mb N         memory for compressed segments shared by clients (default 256)\n"
    "  --max-clients N      connections held at once (default 10000); each takes an\n"
    "                       open file, and the limit on those is raised at start\n"
    "  --memory-mb N        memory for all clients' summaries and records in flight;\n"
    "                       a client that would not fit is refused (default 1024)\n"
    "  --timeout-ms N       drop a client silent for this long (default 30000)\n"
    "  --session-s N        drop a client whose session lasts longer (default 3600)\n"
    "  --min-rate N         drop a client that moves fewer than N bytes a second over\n"
    "                       any --rate-window-ms spent waiting on it (default 1024; 0: off)\n"
    "  --rate-window-ms N   the span over which --min-rate is measured (default 4000)\n"
    "  --once               serve one client, then exit\n"
    "  --verbose            also show a line for each segment checksummed\n"
    "  --help               show this text\n"
    "SIGHUP scans the reference again: sessions that start later use what it found.\n"
    "  --version            show the product version and build\n"
    "Fault injection, for tests:\n"
    "  --fault-cut-after N  close each connection after N records\n"
    "  --fault-handshake N  answer the handshake with N\n"
    "  --fault-delay-ms N   pause before each record\n";

bool ParseNumber(const char* text, unsigned long max, unsigned long* value) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || v > max) {
        return false;
    }
    *value = v;
    return true;
}

// Splits HOST, HOST:PORT, [IPv6] or [IPv6]:PORT; an IPv6 address without brackets is
// all host. *port keeps its value when the text names none.
bool ParseListen(const std::string& text, std::string* host, unsigned long* port) {
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            return false;
        }
        *host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else if (text.find(':') != text.rfind(':')) {
        *host = text;
    } else {
        const std::size_t colon = text.find(':');
        *host = text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    if (host->empty()) {
        return false;
    }
    if (rest.empty()) {
        return true;
    }
    return rest[0] == ':' && ParseNumber(rest.c_str() + 1, 65535, port);
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "osmel-repaird: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (AsksForVersion(argc, argv)) {
        return PrintVersion("osmel-repaird");
    }
    RepairServerOptions options;
    std::string listen = "127.0.0.1";
    unsigned long port = 6000;
    unsigned long listenPort = 0;
    bool listenNamesPort = false;
    RepairServiceOptions service;
    bool verbose = false;
    std::string root;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long n = 0;
        const auto number = [&](unsigned long max) {
            return hasValue && ParseNumber(argv[++i], max, &n);
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--root" && hasValue) {
            root = argv[++i];
        } else if (arg == "--listen" && hasValue) {
            listenPort = 65536;
            if (!ParseListen(argv[++i], &listen, &listenPort)) {
                return Fail(std::string("--listen needs HOST, HOST:PORT, [IPv6] or [IPv6]:PORT, "
                                        "with PORT from 0 to 65535, not ") +
                            argv[i]);
            }
            listenNamesPort = listenPort != 65536;
        } else if (arg == "--allow" && hasValue) {
            std::string error;
            if (!service.allow.Add(argv[++i], &error)) {
                return Fail("--allow: " + error);
            }
        } else if (arg == "--port") {
            if (!number(65535)) {
                return Fail("--port needs a number from 0 to 65535");
            }
            port = n;
        } else if (arg == "--delete") {
            options.deleteExtra = true;
        } else if (arg == "--exclude" && hasValue) {
            std::wstring pattern = Platform::FromSystemPath(argv[++i]);
            options.exclusions.insert(pattern);
        } else if (arg == "--no-compress") {
            options.compress = false;
        } else if (arg == "--cache-mb") {
            if (!number(1u << 20)) {
                return Fail("--cache-mb needs a number");
            }
            options.cacheBytes = n << 20;
        } else if (arg == "--memory-mb") {
            if (!number(1u << 24) || n == 0) {
                return Fail("--memory-mb needs a number from 1");
            }
            options.memoryBytes = static_cast<std::uint64_t>(n) << 20;
        } else if (arg == "--max-clients") {
            if (!number(1000000) || n == 0) {
                return Fail("--max-clients needs a number from 1 to 1000000");
            }
            service.maxClients = n;
        } else if (arg == "--timeout-ms") {
            if (!number(86400000)) {
                return Fail("--timeout-ms needs a number");
            }
            options.timeoutMs = static_cast<std::uint32_t>(n);
        } else if (arg == "--session-s") {
            if (!number(30u * 86400u) || n == 0) {
                return Fail("--session-s needs a number from 1 to 2592000");
            }
            service.sessionMs = static_cast<std::uint32_t>(n * 1000);
        } else if (arg == "--min-rate") {
            if (!number(1ul << 30)) {
                return Fail("--min-rate needs a number");
            }
            service.minBytesPerSecond = n;
        } else if (arg == "--rate-window-ms") {
            if (!number(86400000) || n == 0) {
                return Fail("--rate-window-ms needs a number from 1");
            }
            service.windowMs = static_cast<std::uint32_t>(n);
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--once") {
            service.once = true;
        } else if (arg == "--fault-cut-after") {
            if (!number(0xFFFFFFFFul)) {
                return Fail("--fault-cut-after needs a number");
            }
            options.cutAfter = static_cast<long>(n);
        } else if (arg == "--fault-handshake") {
            if (!number(0xFFFFFFFFul)) {
                return Fail("--fault-handshake needs a number");
            }
            options.handshakeAnswer = static_cast<std::uint32_t>(n);
        } else if (arg == "--fault-delay-ms") {
            if (!number(600000)) {
                return Fail("--fault-delay-ms needs a number");
            }
            options.recordDelayMs = static_cast<std::uint32_t>(n);
        } else {
            return Fail("unknown or incomplete option: " + arg);
        }
    }
    if (root.empty()) {
        return Fail("--root is required");
    }
    options.root = Platform::FromSystemPath(root);
    if (!IsDirectory(options.root)) {
        std::fprintf(stderr, "osmel-repaird: %s is not a directory\n", root.c_str());
        return 1;
    }
    if (listenNamesPort) {
        port = listenPort;
    }
    // A deep queue: thousands of clients may connect within a moment.
    auto listener =
        Platform::TcpListener::Listen(listen, static_cast<std::uint16_t>(port), kListenBacklog);
    if (!listener) {
        std::fprintf(stderr, "osmel-repaird: cannot listen on %s port %lu\n", listen.c_str(), port);
        return 1;
    }
    // Each connection holds a descriptor: take all the system allows.
    const std::uint64_t files = Platform::RaiseOpenFileLimit();
    if (!verbose) {
        SetSystemLogConsole(SystemLogConsole::kNone);
    }
    const auto log = [](const std::string& line) {
        std::printf("osmel-repaird: %s\n", line.c_str());
        std::fflush(stdout);
    };
    service.silentMs = options.timeoutMs;
    RepairServer server(options);
    // Before any other thread starts, so that only this one takes the signal.
    const Platform::ReloadRequests reload([&] { log(server.ScanReference()); });
    std::printf("osmel-repaird: %s\n", server.ScanReference().c_str());
    std::printf("osmel-repaird: serving %s on %s\n", root.c_str(), listener->Name().c_str());
    if (files != 0) {
        std::printf("osmel-repaird: up to %llu open files\n",
                    static_cast<unsigned long long>(files));
    }
    std::fflush(stdout);
    RepairService running(&server, service, log);
    running.Run(listener.get());
    return 0;
}
