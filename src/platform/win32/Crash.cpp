// Unhandled exceptions, minidumps and call stacks on Windows. DbgHelp is loaded from the
// system directory by full path, never from the search path: the patcher runs elevated
// from wherever it was downloaded, and a "dbghelp.dll" planted beside it must not load.
// DbgHelp is single-threaded, so every call into it holds one lock.
#include "platform/Crash.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ExceptionInFlight.h"
#include "platform/Utf8.h"
#include "platform/win32/WinApi.h"

// After windows.h, which it needs.
#include <dbghelp.h>

namespace Platform {

namespace {

// SYMOPT_DEBUG, SYMOPT_NO_PROMPTS, SYMOPT_FAIL_CRITICAL_ERRORS, SYMOPT_LOAD_LINES and
// SYMOPT_DEFERRED_LOADS.
constexpr ::DWORD kSymbolOptions = 0x80080214;
constexpr ::DWORD kFatalAppExit = 0x40000015;  // STATUS_FATAL_APP_EXIT: the runtime's abort
// Stack reserved on each thread for the handlers; a stack overflow leaves only this.
constexpr ULONG kHandlerStack = 64 * 1024;
constexpr std::size_t kOverflowThreadStack = 1024 * 1024;
constexpr std::size_t kMaxSymbolName = 2000;

struct DbgHelp {
    decltype(&::MiniDumpWriteDump) writeDump = nullptr;
    decltype(&::SymSetOptions) setOptions = nullptr;
    decltype(&::SymInitializeW) initialize = nullptr;
    decltype(&::SymFromAddrW) fromAddress = nullptr;
    decltype(&::SymGetLineFromAddrW64) lineFromAddress = nullptr;
    HANDLE process = nullptr;
    bool symbols = false;
};

// Recursive, so that a fault inside DbgHelp can still write its report; timed, so that a
// fault while another thread is inside DbgHelp does not wait for ever.
std::recursive_timed_mutex& DbgHelpLock() {
    static std::recursive_timed_mutex lock;
    return lock;
}

template <typename Function>
void Bind(HMODULE module, const char* name, Function* function) {
    // The signatures are DbgHelp's own, from its header.
    *function = reinterpret_cast<Function>(  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
        reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Loaded and set up once, under the lock; symbols for the modules loaded by then.
const DbgHelp& LoadDbgHelp() {
    static const DbgHelp help = [] {
        DbgHelp loaded;
        wchar_t directory[MAX_PATH];
        const UINT n = ::GetSystemDirectoryW(directory, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) {
            return loaded;
        }
        const std::wstring path = std::wstring(directory, n) + L"\\dbghelp.dll";
        const HMODULE module = ::LoadLibraryW(path.c_str());
        if (module == nullptr) {
            return loaded;
        }
        Bind(module, "MiniDumpWriteDump", &loaded.writeDump);
        Bind(module, "SymSetOptions", &loaded.setOptions);
        Bind(module, "SymInitializeW", &loaded.initialize);
        Bind(module, "SymFromAddrW", &loaded.fromAddress);
        Bind(module, "SymGetLineFromAddrW64", &loaded.lineFromAddress);
        // A handle of its own: the symbol engine keys its state on the handle's value.
        const HANDLE self = ::GetCurrentProcess();
        if (::DuplicateHandle(self, self, self, &loaded.process, 0, FALSE, DUPLICATE_SAME_ACCESS) ==
            0) {
            loaded.process = nullptr;
        }
        if (loaded.setOptions != nullptr && loaded.initialize != nullptr &&
            loaded.process != nullptr) {
            loaded.setOptions(kSymbolOptions);
            loaded.symbols = loaded.initialize(loaded.process, nullptr, TRUE) != 0;
        }
        return loaded;
    }();
    return help;
}

std::atomic<UnhandledExceptionFilter> g_filter{nullptr};
std::atomic<FatalExceptionGuard> g_guard{nullptr};

// Whether a thread entered the guard, in the OS's own thread storage: the runtime's
// thread_local allocates on a thread's first use, which a fault handler must not do.
::DWORD GuardSlot() {
    static const ::DWORD slot = ::TlsAlloc();
    return slot;
}

bool ThreadIsGuarded() {
    return GuardSlot() != TLS_OUT_OF_INDEXES && ::TlsGetValue(GuardSlot()) != nullptr;
}
LPTOP_LEVEL_EXCEPTION_FILTER g_previousOsFilter = nullptr;
void (*g_previousAbortHandler)(int) = nullptr;
std::atomic<ConsoleCtrlHandler> g_consoleHandler{nullptr};
std::atomic<InvalidParameterHandler> g_invalidParameterHandler{nullptr};
_invalid_parameter_handler g_previousInvalidParameterHandler = nullptr;
std::terminate_handler g_previousTerminate = nullptr;

// The guard first, on a thread that entered it, then the filter.
long Dispatch(const ExceptionPointers* exception, bool guarded) {
    if (guarded && static_cast<::DWORD>(exception->signal) != kFatalAppExit) {
        if (FatalExceptionGuard guard = g_guard.load()) {
            guard(exception);
        }
    }
    const UnhandledExceptionFilter filter = g_filter.load();
    return filter != nullptr ? filter(exception) : kExceptionContinueSearch;
}

// After a stack overflow what is left of the faulting thread's stack is too little for
// a minidump, or for starting a thread: a thread started with the filter does the work
// while the faulting one waits. It serves one overflow; the one-report rule makes a
// second pointless, so another overflowing thread only waits for the first to finish.
class OverflowWatcher {
public:
    void Start() {
        m_request = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        m_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_request == nullptr || m_done == nullptr) {
            return;
        }
        const HANDLE thread = ::CreateThread(nullptr, kOverflowThreadStack, &Run, this,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread != nullptr) {
            ::CloseHandle(thread);
            m_ready = true;
        }
    }

    // On the faulting thread: as few calls as there can be.
    long Handle(const ExceptionPointers* exception, bool guarded) {
        if (!m_ready) {
            return kExceptionContinueSearch;
        }
        if (m_claimed.exchange(true)) {
            ::WaitForSingleObject(m_done, INFINITE);
            return kExceptionExecuteHandler;
        }
        m_exception = exception;
        m_guarded = guarded;
        ::SetEvent(m_request);
        ::WaitForSingleObject(m_done, INFINITE);
        m_exception = nullptr;
        return m_verdict;
    }

private:
    static ::DWORD WINAPI Run(void* raw) {
        auto* self = static_cast<OverflowWatcher*>(raw);
        ::WaitForSingleObject(self->m_request, INFINITE);
        self->m_verdict = Dispatch(self->m_exception, self->m_guarded);
        ::SetEvent(self->m_done);
        return 0;
    }

    HANDLE m_request = nullptr;
    HANDLE m_done = nullptr;
    bool m_ready = false;
    std::atomic<bool> m_claimed{false};
    // Handed over through the events, which order the accesses.
    const ExceptionPointers* m_exception = nullptr;
    bool m_guarded = false;
    long m_verdict = kExceptionContinueSearch;
};

OverflowWatcher g_overflowWatcher;

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* pointers) {
    const ExceptionPointers exception{static_cast<int>(pointers->ExceptionRecord->ExceptionCode),
                                      pointers->ExceptionRecord, pointers->ContextRecord,
                                      ::GetCurrentThreadId()};
    long verdict = kExceptionContinueSearch;
    if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        verdict = g_overflowWatcher.Handle(&exception, ThreadIsGuarded());
    } else {
        verdict = Dispatch(&exception, ThreadIsGuarded());
    }
    if (verdict == kExceptionContinueSearch && g_previousOsFilter != nullptr) {
        return g_previousOsFilter(pointers);
    }
    return verdict == kExceptionExecuteHandler ? EXCEPTION_EXECUTE_HANDLER
                                               : EXCEPTION_CONTINUE_SEARCH;
}

// The state of the caller of the function that calls this, as an exception record of
// the given code would describe it.
struct CurrentContext {
    CONTEXT context{};
    EXCEPTION_RECORD record{};
};

__attribute__((always_inline)) inline void Capture(CurrentContext* current, ::DWORD code) {
    ::RtlCaptureContext(&current->context);
    current->record.ExceptionCode = code;
    // The instruction pointer is an address of this process's code.
#if defined(__x86_64__)
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    current->record.ExceptionAddress = reinterpret_cast<void*>(current->context.Rip);
#else
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    current->record.ExceptionAddress = reinterpret_cast<void*>(current->context.Eip);
#endif
}

// The runtime's abort raises SIGABRT; once the handler returns it ends the process
// with status 3.
void AbortHandler(int /*signal*/) {
    CurrentContext current;
    Capture(&current, kFatalAppExit);
    const ExceptionPointers exception{static_cast<int>(kFatalAppExit), &current.record,
                                      &current.context, 0};
    Dispatch(&exception, false);
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

void RuntimeInvalidParameter(const wchar_t* expression, const wchar_t* function,
                             const wchar_t* file, unsigned int line, std::uintptr_t reserved) {
    if (InvalidParameterHandler handler = g_invalidParameterHandler.load()) {
        handler(expression, function, file, line, reserved);
    }
    std::abort();
}

BOOL WINAPI ConsoleRoutine(::DWORD type) {
    const ConsoleCtrlHandler handler = g_consoleHandler.load();
    return handler != nullptr && handler(type) ? TRUE : FALSE;
}

// A path in the OS's form (UTF-8) as the W calls take it, without allocating.
bool WidePath(const char* path, wchar_t (&wide)[MAX_PATH * 4]) {
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, MAX_PATH * 4) != 0;
}

std::string Demangle(const std::string& name) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? demangled.get() : name;
}

}  // namespace

void PrepareThreadForFaults() {
    if (g_filter.load() == nullptr) {
        return;
    }
    ULONG size = kHandlerStack;
    ::SetThreadStackGuarantee(&size);
}

UnhandledExceptionFilter SetUnhandledExceptionFilter(UnhandledExceptionFilter filter) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const UnhandledExceptionFilter old = g_filter.exchange(filter);
    if (filter != nullptr && old == nullptr) {
        {
            std::lock_guard<std::recursive_timed_mutex> help(DbgHelpLock());
            LoadDbgHelp();
        }
        static std::once_flag watcher;
        std::call_once(watcher, [] { g_overflowWatcher.Start(); });
        GuardSlot();
        g_previousOsFilter = ::SetUnhandledExceptionFilter(TopLevelFilter);
        g_previousAbortHandler = std::signal(SIGABRT, AbortHandler);
        PrepareThreadForFaults();
    } else if (filter == nullptr && old != nullptr) {
        ::SetUnhandledExceptionFilter(g_previousOsFilter);
        std::signal(SIGABRT, g_previousAbortHandler == SIG_ERR ? SIG_DFL : g_previousAbortHandler);
    }
    return old;
}

void SetFatalExceptionGuard(FatalExceptionGuard guard) {
    g_guard.store(guard);
}

void EnterFatalExceptionGuard() {
    // Any non-null value marks the thread.
    static int marker = 0;
    if (GuardSlot() != TLS_OUT_OF_INDEXES) {
        ::TlsSetValue(GuardSlot(), &marker);
    }
}

long CallWithCurrentContext(UnhandledExceptionFilter filter) {
    CurrentContext current;
    Capture(&current, 0);
    const ExceptionPointers exception{0, &current.record, &current.context, 0};
    return filter(&exception);
}

bool WriteMiniDump(const char* path, const ExceptionPointers* exception) {
    wchar_t wide[MAX_PATH * 4];
    if (!WidePath(path, wide)) {
        return false;
    }
    const HANDLE file = ::CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::unique_lock<std::recursive_timed_mutex> help(DbgHelpLock(), std::defer_lock);
    // Without the lock the dump is still better than none.
    (void)help.try_lock_for(std::chrono::seconds(5));
    const DbgHelp& dbgHelp = LoadDbgHelp();
    if (dbgHelp.writeDump != nullptr) {
        EXCEPTION_POINTERS pointers{
            static_cast<EXCEPTION_RECORD*>(const_cast<void*>(exception->signalInfo)),
            static_cast<CONTEXT*>(const_cast<void*>(exception->context))};
        MINIDUMP_EXCEPTION_INFORMATION information{};
        information.ThreadId =
            exception->threadId != 0 ? exception->threadId : ::GetCurrentThreadId();
        information.ExceptionPointers = &pointers;
        information.ClientPointers = TRUE;
        const bool withException =
            pointers.ExceptionRecord != nullptr && pointers.ContextRecord != nullptr;
        dbgHelp.writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file,
                          MiniDumpWithIndirectlyReferencedMemory,
                          withException ? &information : nullptr, nullptr, nullptr);
    }
    ::CloseHandle(file);
    return true;
}

bool SignalSafeFileExists(const char* path) {
    wchar_t wide[MAX_PATH * 4];
    return WidePath(path, wide) && ::GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

bool SignalSafeCreateDirectories(const char* path) {
    wchar_t wide[MAX_PATH * 4];
    if (!WidePath(path, wide) || wide[0] == L'\0') {
        return false;
    }
    for (wchar_t* p = wide + 1;; ++p) {
        if (*p == L'/' || *p == L'\\' || *p == L'\0') {
            const wchar_t kept = *p;
            *p = L'\0';
            // "C:" itself is no folder to make.
            if (!(p - wide == 2 && wide[1] == L':') && ::CreateDirectoryW(wide, nullptr) == 0 &&
                ::GetLastError() != ERROR_ALREADY_EXISTS) {
                return false;
            }
            *p = kept;
            if (kept == L'\0') {
                return true;
            }
        }
    }
}

bool SignalSafeCurrentDirectory(char* buffer, std::size_t size) {
    wchar_t wide[MAX_PATH * 4];
    const ::DWORD n = ::GetCurrentDirectoryW(MAX_PATH * 4, wide);
    if (n == 0 || n >= MAX_PATH * 4) {
        return false;
    }
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n) + 1, buffer,
                                            static_cast<int>(size), nullptr, nullptr);
    return bytes > 0;
}

void SignalSafeWriteStderr(const char* text) {
    ::DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<::DWORD>(std::strlen(text)),
                &written, nullptr);
}

void TerminateCurrentProcess(DWORD exitCode) {
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
    // TerminateProcess on the own process does not return; the compiler cannot know.
    ::ExitProcess(exitCode);
}

InvalidParameterHandler SetInvalidParameterHandler(InvalidParameterHandler handler) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const InvalidParameterHandler old = g_invalidParameterHandler.exchange(handler);
    if (handler != nullptr && old == nullptr) {
        g_previousInvalidParameterHandler =
            ::_set_invalid_parameter_handler(RuntimeInvalidParameter);
        g_previousTerminate = std::set_terminate(TerminateHandler);
    } else if (handler == nullptr && old != nullptr) {
        ::_set_invalid_parameter_handler(g_previousInvalidParameterHandler);
        std::set_terminate(g_previousTerminate);
    }
    return old;
}

bool SetConsoleCtrlHandler(ConsoleCtrlHandler handler) {
    static std::once_flag added;
    g_consoleHandler.store(handler);
    bool ok = true;
    std::call_once(added, [&ok] { ok = ::SetConsoleCtrlHandler(ConsoleRoutine, TRUE) != 0; });
    return ok;
}

std::size_t CaptureStackBackTrace(std::size_t skip, std::size_t maxFrames, std::uint64_t* frames) {
    void* addresses[128];
    const auto wanted = static_cast<::DWORD>(std::min<std::size_t>(maxFrames, 128));
    const USHORT count =
        ::RtlCaptureStackBackTrace(static_cast<::DWORD>(skip + 1), wanted, addresses, nullptr);
    for (USHORT i = 0; i < count; ++i) {
        frames[i] = reinterpret_cast<std::uintptr_t>(addresses[i]);
    }
    return count;
}

bool GetProgramModuleInformation(ModuleInfo* info) {
    *info = ModuleInfo{};
    const auto* image = reinterpret_cast<const unsigned char*>(::GetModuleHandleW(nullptr));
    if (image == nullptr) {
        return false;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    info->base = reinterpret_cast<std::uintptr_t>(image);
    info->size = nt->OptionalHeader.SizeOfImage;
    return info->size != 0;
}

SymbolInfo ResolveReturnAddress(std::uint64_t address) {
    SymbolInfo info;
    if (address == 0) {
        return info;
    }
    const std::uint64_t pc = address - 1;
    HMODULE module = nullptr;
    // The address comes from a return address on the stack; there is no pointer to keep.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* where = reinterpret_cast<LPCWSTR>(static_cast<std::uintptr_t>(pc));
    if (::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            where, &module) != 0) {
        wchar_t path[MAX_PATH * 4];
        const ::DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH * 4);
        if (n > 0 && n < MAX_PATH * 4) {
            info.module = EncodeUtf8(std::wstring_view(path, n));
        }
    }
    std::lock_guard<std::recursive_timed_mutex> guard(DbgHelpLock());
    const DbgHelp& dbgHelp = LoadDbgHelp();
    if (!dbgHelp.symbols) {
        return info;
    }
    alignas(SYMBOL_INFOW) unsigned char
        storage[sizeof(SYMBOL_INFOW) + kMaxSymbolName * sizeof(wchar_t)] = {};
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = kMaxSymbolName;
    DWORD64 displacement = 0;
    if (dbgHelp.fromAddress != nullptr &&
        dbgHelp.fromAddress(dbgHelp.process, pc, &displacement, symbol) != 0) {
        info.symbol = Demangle(EncodeUtf8(std::wstring_view(symbol->Name, symbol->NameLen)));
    }
    IMAGEHLP_LINEW64 line{};
    line.SizeOfStruct = sizeof line;
    ::DWORD lineDisplacement = 0;
    if (dbgHelp.lineFromAddress != nullptr &&
        dbgHelp.lineFromAddress(dbgHelp.process, pc, &lineDisplacement, &line) != 0) {
        info.file = line.FileName != nullptr ? EncodeUtf8(line.FileName) : "";
        info.line = static_cast<int>(line.LineNumber);
    }
    return info;
}

}  // namespace Platform
