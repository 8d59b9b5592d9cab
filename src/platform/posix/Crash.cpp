// Fatal signals and crash reports on POSIX. Everything reachable from a signal handler
// is async-signal-safe: reports are formatted into fixed buffers with raw write(2), the
// memory map and thread list are read with open/read/getdents64, and symbols come from
// libbacktrace (which allocates with mmap) over state prepared when the handlers are
// installed, demangled by libiberty's callback demangler (which does not allocate).
#include "platform/Crash.h"

#include <backtrace.h>
#include <cxxabi.h>
#include <dirent.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

// libiberty declares its own basename unless told the C library has one.
#define HAVE_DECL_BASENAME 1
#include <libiberty/demangle.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ExceptionInFlight.h"
#include "platform/System.h"
#include "platform/Utf8.h"

namespace Platform {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t kAltStackSize = 256 * 1024;

std::atomic<UnhandledExceptionFilter> g_filter{nullptr};
std::atomic<FatalExceptionGuard> g_guard{nullptr};
// Whether the thread entered the guard; read in signal context (static TLS, no
// allocation).
thread_local bool t_guarded = false;
struct sigaction g_previous[NSIG];
std::atomic<ConsoleCtrlHandler> g_consoleHandler{nullptr};
std::atomic<InvalidParameterHandler> g_invalidParameterHandler{nullptr};
std::terminate_handler g_previousTerminate = nullptr;

void IgnoreError(void* /*data*/, const char* /*message*/, int /*errnum*/) {}

// libbacktrace's state lives for the process; creating it is not signal-safe, using it
// is.
backtrace_state* SymbolState() {
    static backtrace_state* state = backtrace_create_state(nullptr, 1, IgnoreError, nullptr);
    return state;
}

// A fixed buffer written to a descriptor whenever it fills.
class ReportWriter {
public:
    explicit ReportWriter(int fd) : m_fd(fd) {}
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;
    ~ReportWriter() { Flush(); }

    void Flush() {
        std::size_t done = 0;
        while (done < m_used) {
            const ssize_t n = ::write(m_fd, m_buffer + done, m_used - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        m_used = 0;
    }
    ReportWriter& Bytes(const char* text, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (m_used == sizeof m_buffer) {
                Flush();
            }
            m_buffer[m_used++] = text[i];
        }
        return *this;
    }
    ReportWriter& Text(const char* text) {
        return text == nullptr ? *this : Bytes(text, std::strlen(text));
    }
    ReportWriter& Decimal(long long value) {
        char digits[24];
        std::size_t n = 0;
        unsigned long long v = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                         : static_cast<unsigned long long>(value);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        if (value < 0) {
            digits[n++] = '-';
        }
        while (n > 0) {
            Bytes(&digits[--n], 1);
        }
        return *this;
    }
    ReportWriter& Hex(std::uint64_t value, int width = 16) {
        static const char kDigits[] = "0123456789abcdef";
        char text[18] = {'0', 'x'};
        for (int i = 0; i < width; ++i) {
            text[2 + width - 1 - i] = kDigits[(value >> (4 * i)) & 0xF];
        }
        return Bytes(text, static_cast<std::size_t>(width) + 2);
    }

private:
    int m_fd;
    char m_buffer[4096];
    std::size_t m_used = 0;
};

const char* SignalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV (invalid memory access)";
        case SIGBUS:
            return "SIGBUS (bus error)";
        case SIGFPE:
            return "SIGFPE (arithmetic error)";
        case SIGILL:
            return "SIGILL (illegal instruction)";
        case SIGABRT:
            return "SIGABRT (abort)";
        default:
            return "";
    }
}

// The memory map, read once per report into static storage.
char g_maps[512 * 1024];
std::size_t g_mapsSize = 0;

void ReadMemoryMap() {
    g_mapsSize = 0;
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    while (g_mapsSize < sizeof g_maps) {
        const ssize_t n = ::read(fd, g_maps + g_mapsSize, sizeof g_maps - g_mapsSize);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        g_mapsSize += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::uint64_t ParseHex(const char*& p, const char* end) {
    std::uint64_t value = 0;
    for (; p < end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            value = value * 16 + static_cast<std::uint64_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value = value * 16 + static_cast<std::uint64_t>(c - 'a' + 10);
        } else {
            break;
        }
    }
    return value;
}

// The image path of the mapping that holds the address, from the map read above.
void WriteModuleOf(ReportWriter& out, std::uint64_t address) {
    const char* p = g_maps;
    const char* end = g_maps + g_mapsSize;
    while (p < end) {
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (lineEnd == nullptr) {
            lineEnd = end;
        }
        const char* q = p;
        const std::uint64_t start = ParseHex(q, lineEnd);
        ++q;
        const std::uint64_t stop = ParseHex(q, lineEnd);
        if (address >= start && address < stop) {
            const char* path = static_cast<const char*>(std::memchr(p, '/', lineEnd - p));
            if (path != nullptr) {
                out.Text(" in ").Bytes(path, static_cast<std::size_t>(lineEnd - path));
            }
            return;
        }
        p = lineEnd + 1;
    }
}

void WriteThreads(ReportWriter& out, long faultingThread) {
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        out.Text("  (the thread list cannot be read)\n");
        return;
    }
    alignas(8) char buffer[4096];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (long offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            if (entry->d_name[0] != '.') {
                out.Text("  ").Text(entry->d_name);
                if (std::atol(entry->d_name) == faultingThread) {
                    out.Text(" (faulting)");
                }
                out.Text("\n");
            }
            offset += entry->d_reclen;
        }
    }
    ::close(fd);
}

void WriteRegisters(ReportWriter& out, const ucontext_t* context) {
#if defined(__x86_64__)
    struct Register {
        const char* name;
        int index;
    };
    static const Register kRegisters[] = {
        {"rip", REG_RIP}, {"rsp", REG_RSP}, {"rbp", REG_RBP},    {"rax", REG_RAX}, {"rbx", REG_RBX},
        {"rcx", REG_RCX}, {"rdx", REG_RDX}, {"rsi", REG_RSI},    {"rdi", REG_RDI}, {"r8", REG_R8},
        {"r9", REG_R9},   {"r10", REG_R10}, {"r11", REG_R11},    {"r12", REG_R12}, {"r13", REG_R13},
        {"r14", REG_R14}, {"r15", REG_R15}, {"eflags", REG_EFL},
    };
    int column = 0;
    for (const Register& r : kRegisters) {
        const std::size_t length = std::strlen(r.name);
        out.Text("  ").Text(r.name).Bytes("       ", length < 7 ? 7 - length : 0);
        out.Hex(static_cast<std::uint64_t>(context->uc_mcontext.gregs[r.index]));
        if (++column == 3) {
            out.Text("\n");
            column = 0;
        }
    }
    if (column != 0) {
        out.Text("\n");
    }
#else
    (void)context;
    out.Text("  (not recorded on this architecture)\n");
#endif
}

std::uint64_t ProgramCounter(const ucontext_t* context) {
#if defined(__x86_64__)
    return static_cast<std::uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
#else
    (void)context;
    return 0;
#endif
}

struct StackWalk {
    ReportWriter* out;
    std::uint64_t faultPc;
    bool started;
    bool sawFault;
    int frame;
};

void DemangledName(const char* name, ReportWriter& out) {
    const auto append = [](const char* text, std::size_t size, void* data) {
        static_cast<ReportWriter*>(data)->Bytes(text, size);
    };
    if (cplus_demangle_v3_callback(name, DMGL_PARAMS | DMGL_ANSI, append, &out) == 0) {
        out.Text(name);
    }
}

void SymbolFromTable(void* data, std::uintptr_t /*pc*/, const char* symbol,
                     std::uintptr_t /*value*/, std::uintptr_t /*size*/) {
    auto* out = static_cast<ReportWriter*>(data);
    if (symbol != nullptr) {
        out->Text(" ");
        DemangledName(symbol, *out);
    } else {
        out->Text(" ??");
    }
}

int FindFault(void* data, std::uintptr_t pc, const char* /*file*/, int /*line*/,
              const char* /*function*/) {
    auto* walk = static_cast<StackWalk*>(data);
    if (pc == walk->faultPc) {
        walk->sawFault = true;
    }
    return 0;
}

int WriteFrame(void* data, std::uintptr_t pc, const char* file, int line, const char* function) {
    auto* walk = static_cast<StackWalk*>(data);
    if (!walk->started && pc == walk->faultPc) {
        walk->started = true;
    }
    if (!walk->started || pc == 0 || pc == ~std::uintptr_t{0}) {
        return 0;
    }
    ReportWriter& out = *walk->out;
    out.Text("  #").Decimal(walk->frame++).Text(" ").Hex(pc);
    if (function != nullptr) {
        out.Text(" ");
        DemangledName(function, out);
    } else {
        backtrace_syminfo(SymbolState(), pc, SymbolFromTable, IgnoreError, &out);
    }
    if (file != nullptr) {
        out.Text(" at ").Text(file).Text(":").Decimal(line);
    }
    WriteModuleOf(out, pc);
    out.Text("\n");
    return walk->frame >= 256 ? 1 : 0;
}

void WriteStack(ReportWriter& out, const ExceptionPointers* exception) {
    backtrace_state* state = SymbolState();
    if (state == nullptr) {
        out.Text("  (no symbol tables)\n");
        return;
    }
    StackWalk walk{&out, 0, true, false, 0};
    if (exception->signal != 0 && exception->context != nullptr) {
        // Start at the faulting instruction: the frames above it are the handler's.
        walk.faultPc = ProgramCounter(static_cast<const ucontext_t*>(exception->context));
        backtrace_full(state, 0, FindFault, IgnoreError, &walk);
        walk.started = !walk.sawFault;
    }
    backtrace_full(state, 0, WriteFrame, IgnoreError, &walk);
}

// Another thread's stack, taken by that thread itself: the report writer installs a
// handler for a real-time signal for the length of the report and sends it to each
// thread in turn. A request is idle, armed for one thread, being taken, or taken; a
// thread that answers after the writer gave up on it finds the request no longer armed
// for it and leaves it alone.
constexpr int kIdle = 0;
constexpr int kArmed = 1;
constexpr int kTaking = 2;
constexpr int kTaken = 3;
constexpr int kMaxOtherFrames = 64;

struct StackRequest {
    std::atomic<int> state{kIdle};
    std::atomic<long> thread{0};
    std::uintptr_t interrupted = 0;
    std::uintptr_t frames[kMaxOtherFrames] = {};
    int count = 0;
};
StackRequest g_stackRequest;

int StackSignal() {
    return SIGRTMIN + 5;
}

int KeepFrame(void* data, std::uintptr_t pc) {
    auto* request = static_cast<StackRequest*>(data);
    request->frames[request->count++] = pc;
    return request->count == kMaxOtherFrames ? 1 : 0;
}

void TakeStackHandler(int /*signal*/, siginfo_t* /*info*/, void* context) {
    const int savedErrno = errno;
    int armed = kArmed;
    if (g_stackRequest.thread.load() == ::syscall(SYS_gettid) &&
        g_stackRequest.state.compare_exchange_strong(armed, kTaking)) {
        g_stackRequest.interrupted = ProgramCounter(static_cast<const ucontext_t*>(context));
        g_stackRequest.count = 0;
        if (backtrace_state* state = SymbolState()) {
            backtrace_simple(state, 0, KeepFrame, IgnoreError, &g_stackRequest);
        }
        g_stackRequest.state.store(kTaken);
    }
    errno = savedErrno;
}

void SleepMilliseconds(long milliseconds) {
    timespec pause{0, milliseconds * 1000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Asks the thread for its stack and writes it; half a second at most per thread (one that
// blocks the signal, or is stopped, does not answer).
void WriteOtherStack(ReportWriter& out, long thread) {
    out.Text("\nthread ").Decimal(thread).Text(":\n");
    g_stackRequest.thread.store(thread);
    g_stackRequest.state.store(kArmed);
    bool taken = false;
    if (::syscall(SYS_tgkill, ::getpid(), thread, StackSignal()) == 0) {
        for (int waited = 0; waited < 500; ++waited) {
            if (g_stackRequest.state.load() == kTaken) {
                taken = true;
                break;
            }
            SleepMilliseconds(1);
        }
    }
    int armed = kArmed;
    if (!taken && !g_stackRequest.state.compare_exchange_strong(armed, kIdle)) {
        // It answered just now: let it finish.
        while (g_stackRequest.state.load() != kTaken) {
            SleepMilliseconds(1);
        }
        taken = true;
    }
    if (!taken) {
        out.Text("  (it did not answer)\n");
        return;
    }
    // The frames above the interrupted instruction are the handler's.
    int first = 0;
    for (int i = 0; i < g_stackRequest.count; ++i) {
        if (g_stackRequest.frames[i] == g_stackRequest.interrupted) {
            first = i;
            break;
        }
    }
    StackWalk walk{&out, 0, true, false, 0};
    for (int i = first; i < g_stackRequest.count; ++i) {
        const std::uintptr_t pc = g_stackRequest.frames[i];
        const int before = walk.frame;
        backtrace_pcinfo(SymbolState(), pc, WriteFrame, IgnoreError, &walk);
        if (walk.frame == before) {
            WriteFrame(&walk, pc, nullptr, 0, nullptr);
        }
    }
    g_stackRequest.state.store(kIdle);
}

// Every thread but the calling one, with its stack.
void WriteOtherStacks(ReportWriter& out, long self) {
    if (SymbolState() == nullptr) {
        out.Text("  (no symbol tables)\n");
        return;
    }
    struct sigaction take {};
    struct sigaction previous {};
    take.sa_sigaction = TakeStackHandler;
    take.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&take.sa_mask);
    ::sigaction(StackSignal(), &take, &previous);
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char buffer[4096];
        for (;;) {
            const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            for (long offset = 0; offset < n;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
                const long thread = std::atol(entry->d_name);
                if (entry->d_name[0] != '.' && thread != self) {
                    out.Flush();
                    WriteOtherStack(out, thread);
                }
                offset += entry->d_reclen;
            }
        }
        ::close(fd);
    }
    ::sigaction(StackSignal(), &previous, nullptr);
}

void FatalSignalHandler(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const ExceptionPointers exception{signal, info, context};
    if (signal != SIGABRT && t_guarded) {
        if (FatalExceptionGuard guard = g_guard.load()) {
            guard(&exception);
        }
    }
    UnhandledExceptionFilter filter = g_filter.load();
    const long verdict = filter != nullptr ? filter(&exception) : kExceptionContinueSearch;
    const struct sigaction& previous = g_previous[signal];
    if (verdict == kExceptionContinueSearch && (previous.sa_flags & SA_SIGINFO) != 0 &&
        previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        errno = savedErrno;
        return;
    }
    if (verdict == kExceptionContinueSearch && previous.sa_handler != SIG_DFL &&
        previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
        previous.sa_handler(signal);
        errno = savedErrno;
        return;
    }
    // The default action ends the process once this handler returns: the signal is
    // blocked while it runs, so the raised one waits until then.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
    errno = savedErrno;
}

void ConsoleSignalHandler(int signal) {
    const int savedErrno = errno;
    const DWORD type = signal == SIGINT ? 0 : signal == SIGHUP ? 2 : 6;
    ConsoleCtrlHandler handler = g_consoleHandler.load();
    if (handler == nullptr || !handler(type)) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(signal, &fallback, nullptr);
        ::raise(signal);
    }
    errno = savedErrno;
}

[[noreturn]] void TerminateHandler() {
    InvalidParameterHandler handler = g_invalidParameterHandler.load();
    if (handler != nullptr) {
        const std::string expression = DescribeExceptionInFlight();
        const std::wstring wide = DecodeUtf8(expression);
        handler(expression.empty() ? nullptr : wide.c_str(), nullptr, nullptr, 0, 0);
    }
    std::abort();
}

}  // namespace

void PrepareThreadForFaults() {
    // The stack is the thread's own and goes with it. It is mapped from the system, as a
    // thread's stack is, not taken from the heap: a joined thread may still be running its
    // last clean-up when the process ends, and the allocation tracker would count it.
    struct AlternateStack {
        void* memory = nullptr;
        AlternateStack() = default;
        AlternateStack(const AlternateStack&) = delete;
        AlternateStack& operator=(const AlternateStack&) = delete;
        ~AlternateStack() {
            if (memory != nullptr) {
                stack_t off{};
                off.ss_flags = SS_DISABLE;
                ::sigaltstack(&off, nullptr);
                ::munmap(memory, kAltStackSize);
            }
        }
    };
    thread_local AlternateStack t_stack;
    if (g_filter.load() == nullptr || t_stack.memory != nullptr) {
        return;
    }
    void* memory =
        ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return;
    }
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kAltStackSize;
    if (::sigaltstack(&stack, nullptr) != 0) {
        ::munmap(memory, kAltStackSize);
        return;
    }
    t_stack.memory = memory;
}

UnhandledExceptionFilter SetUnhandledExceptionFilter(UnhandledExceptionFilter filter) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const UnhandledExceptionFilter old = g_filter.exchange(filter);
    if (filter != nullptr && old == nullptr) {
        SymbolState();
        // Load the program's own debug information now rather than in the handler.
        backtrace_pcinfo(
            SymbolState(), reinterpret_cast<std::uintptr_t>(&SetUnhandledExceptionFilter),
            [](void*, std::uintptr_t, const char*, int, const char*) { return 0; }, IgnoreError,
            nullptr);
        for (int signal : kFatalSignals) {
            struct sigaction action {};
            action.sa_sigaction = FatalSignalHandler;
            action.sa_flags = SA_SIGINFO | SA_ONSTACK;
            sigemptyset(&action.sa_mask);
            ::sigaction(signal, &action, &g_previous[signal]);
        }
        PrepareThreadForFaults();
    } else if (filter == nullptr && old != nullptr) {
        for (int signal : kFatalSignals) {
            ::sigaction(signal, &g_previous[signal], nullptr);
        }
    }
    return old;
}

void SetFatalExceptionGuard(FatalExceptionGuard guard) {
    g_guard.store(guard);
}

void EnterFatalExceptionGuard() {
    t_guarded = true;
}

long CallWithCurrentContext(UnhandledExceptionFilter filter) {
    ucontext_t context{};
    ::getcontext(&context);
    const ExceptionPointers exception{0, nullptr, &context};
    return filter(&exception);
}

bool WriteMiniDump(const char* path, const ExceptionPointers* exception) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    ReadMemoryMap();
    const long thread = ::syscall(SYS_gettid);
    {
        ReportWriter out(fd);
        out.Text("Osmel Patcher crash report, format 1\n");
        if (exception->signal != 0) {
            out.Text("signal: ")
                .Decimal(exception->signal)
                .Text(" ")
                .Text(SignalName(exception->signal));
            const auto* info = static_cast<const siginfo_t*>(exception->signalInfo);
            if (info != nullptr) {
                out.Text(", code ").Decimal(info->si_code);
                out.Text("\nfault address: ").Hex(reinterpret_cast<std::uintptr_t>(info->si_addr));
            }
            out.Text("\n");
        } else {
            out.Text("signal: none (written by the program itself)\n");
        }
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        out.Text("process: ").Decimal(::getpid()).Text("\n");
        out.Text("thread: ").Decimal(thread).Text("\n");
        out.Text("time: ").Decimal(now.tv_sec).Text(" (seconds since 1970, UTC)\n");

        out.Text("\nregisters:\n");
        if (exception->context != nullptr) {
            WriteRegisters(out, static_cast<const ucontext_t*>(exception->context));
        }
        out.Text("\nthreads:\n");
        WriteThreads(out, thread);
        out.Text("\nstack:\n");
        WriteStack(out, exception);
        out.Text("\nother threads:");
        WriteOtherStacks(out, thread);
        out.Text("\nmemory map:\n").Bytes(g_maps, g_mapsSize);
        if (g_mapsSize == sizeof g_maps) {
            out.Text("\n(cut)\n");
        }
        out.Text("\nend of report\n");
    }
    ::fsync(fd);
    ::close(fd);
    return true;
}

bool SignalSafeFileExists(const char* path) {
    return ::access(path, F_OK) == 0;
}

bool SignalSafeCreateDirectories(const char* path) {
    char partial[1024];
    const std::size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof partial) {
        return false;
    }
    std::memcpy(partial, path, length + 1);
    for (std::size_t i = 1; i <= length; ++i) {
        if (partial[i] == '/' || partial[i] == '\0') {
            const char kept = partial[i];
            partial[i] = '\0';
            if (::mkdir(partial, 0700) != 0 && errno != EEXIST) {
                return false;
            }
            partial[i] = kept;
        }
    }
    return true;
}

bool SignalSafeCurrentDirectory(char* buffer, std::size_t size) {
    return ::getcwd(buffer, size) != nullptr;
}

void SignalSafeWriteStderr(const char* text) {
    std::size_t done = 0;
    const std::size_t length = std::strlen(text);
    while (done < length) {
        const ssize_t n = ::write(STDERR_FILENO, text + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void TerminateCurrentProcess(DWORD exitCode) {
    ::_exit(static_cast<int>(exitCode));
}

InvalidParameterHandler SetInvalidParameterHandler(InvalidParameterHandler handler) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const InvalidParameterHandler old = g_invalidParameterHandler.exchange(handler);
    if (handler != nullptr && old == nullptr) {
        g_previousTerminate = std::set_terminate(TerminateHandler);
    } else if (handler == nullptr && old != nullptr) {
        std::set_terminate(g_previousTerminate);
    }
    return old;
}

bool SetConsoleCtrlHandler(ConsoleCtrlHandler handler) {
    if (!::isatty(STDIN_FILENO) && !::isatty(STDOUT_FILENO) && !::isatty(STDERR_FILENO)) {
        return false;
    }
    g_consoleHandler.store(handler);
    for (int signal : {SIGINT, SIGHUP, SIGTERM}) {
        struct sigaction action {};
        action.sa_handler = handler != nullptr ? ConsoleSignalHandler : SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
    return true;
}

std::size_t CaptureStackBackTrace(std::size_t skip, std::size_t maxFrames, std::uint64_t* frames) {
    void* addresses[128];
    const int wanted = static_cast<int>(std::min<std::size_t>(skip + 1 + maxFrames, 128));
    const int count = ::backtrace(addresses, wanted);
    std::size_t n = 0;
    for (int i = static_cast<int>(skip) + 1; i < count && n < maxFrames; ++i) {
        frames[n++] = reinterpret_cast<std::uintptr_t>(addresses[i]);
    }
    return n;
}

bool GetProgramModuleInformation(ModuleInfo* info) {
    // The loader lists the program itself first.
    auto first = [](dl_phdr_info* module, std::size_t /*size*/, void* data) -> int {
        auto* found = static_cast<ModuleInfo*>(data);
        std::uint64_t low = UINT64_MAX;
        std::uint64_t high = 0;
        for (ElfW(Half) i = 0; i < module->dlpi_phnum; ++i) {
            const ElfW(Phdr)& segment = module->dlpi_phdr[i];
            if (segment.p_type != PT_LOAD) {
                continue;
            }
            const std::uint64_t start = module->dlpi_addr + segment.p_vaddr;
            low = std::min(low, start);
            high = std::max(high, start + segment.p_memsz);
        }
        if (low < high) {
            found->base = low;
            found->size = high - low;
        }
        return 1;
    };
    *info = ModuleInfo{};
    ::dl_iterate_phdr(first, info);
    return info->size != 0;
}

SymbolInfo ResolveReturnAddress(std::uint64_t address) {
    SymbolInfo info;
    if (address == 0) {
        return info;
    }
    const std::uintptr_t pc = static_cast<std::uintptr_t>(address) - 1;
    struct Found {
        std::string function;
        std::string file;
        int line = 0;
        bool done = false;
    } found;
    // The innermost of the inlined frames at the address is reported first.
    backtrace_pcinfo(
        SymbolState(), pc,
        [](void* data, std::uintptr_t, const char* file, int line, const char* function) {
            auto* f = static_cast<Found*>(data);
            if (!f->done) {
                f->file = file != nullptr ? file : "";
                f->line = line;
                f->function = function != nullptr ? function : "";
                f->done = true;
            }
            return 0;
        },
        IgnoreError, &found);
    Dl_info dl{};
    // The address comes from a return address on the stack; there is no pointer to keep.
    if (::dladdr(reinterpret_cast<void*>(pc), &dl) != 0) {  // NOLINT(performance-no-int-to-ptr)
        info.module = dl.dli_fname != nullptr ? dl.dli_fname : "";
        if (found.function.empty() && dl.dli_sname != nullptr) {
            found.function = dl.dli_sname;
        }
    }
    if (!found.function.empty()) {
        int status = 0;
        std::unique_ptr<char, decltype(&std::free)> demangled(
            abi::__cxa_demangle(found.function.c_str(), nullptr, nullptr, &status), &std::free);
        info.symbol = status == 0 && demangled ? demangled.get() : found.function;
    }
    info.file = found.file;
    info.line = found.line;
    return info;
}

}  // namespace Platform
