// The tracker behind the global operator new and operator delete.
//
// `activeThread` says who may use the tracker: 1 before it is constructed and after it
// has reported (every call goes straight to malloc and free), the id of the thread
// inside it while one is (that thread's own allocations, such as map nodes and stack
// walks, go straight through too), and 0 when it is free. The release of a block
// allocated straight through looks it up, finds nothing, and writes an "unknown memory
// block" line.
#include "crash/AllocationTracker.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "platform/Crash.h"
#include "platform/Sync.h"

namespace {

constexpr std::size_t kMaxFrames = 18;
// The frames of the stack walk, the tracker and the allocation operator come first.
constexpr std::size_t kSiteFrame = 3;
constexpr std::uint32_t kBypassAll = 1;

struct AllocationRecord {
    std::uint32_t size = 0;
    std::uint32_t threadId = 0;
    std::uint32_t frameCount = 0;
    std::uint64_t frames[kMaxFrames] = {};
};

struct GroupKey {
    std::uint32_t size;
    std::uint32_t frameCount;
    const std::uint64_t* frames;
    std::uint32_t threadId;

    bool operator<(const GroupKey& other) const {
        if (size != other.size) {
            return size < other.size;
        }
        for (std::uint32_t i = 0; i < frameCount && i < other.frameCount; ++i) {
            if (frames[i] != other.frames[i]) {
                return frames[i] < other.frames[i];
            }
        }
        if (frameCount != other.frameCount) {
            return frameCount < other.frameCount;
        }
        return threadId < other.threadId;
    }
};

std::atomic<std::uint32_t> g_activeThread{kBypassAll};
std::atomic<TrackerReportCallback> g_reportCallback{nullptr};

void ReportLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ReportLine(const char* format, ...) {
    static char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stderr);
    if (TrackerReportCallback callback = g_reportCallback.load()) {
        callback(line);
    }
}

class Tracker {
public:
    Tracker() noexcept {
        Platform::ModuleInfo program;
        if (Platform::GetProgramModuleInformation(&program)) {
            m_programBase = program.base;
            m_programEnd = program.base + program.size;
        }
        g_activeThread = 0;
    }
    ~Tracker() { Report(); }
    Tracker(const Tracker&) = delete;
    Tracker& operator=(const Tracker&) = delete;

    // Null when the caller must go straight to the runtime library.
    static Tracker* Enter() {
        const std::uint32_t active = g_activeThread.load();
        if (active == kBypassAll || active == Platform::GetCurrentThreadId()) {
            return nullptr;
        }
        return s_instance;
    }

    __attribute__((noinline)) void* Allocate(std::size_t size, std::size_t alignment,
                                             std::uint64_t site) {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (g_activeThread.load() == kBypassAll) {
            return Raw(size, alignment);
        }
        const std::uint32_t self = Platform::GetCurrentThreadId();
        g_activeThread = self;
        void* block = Raw(size, alignment);
        if (block != nullptr && !FromProgram(site)) {
            m_foreignBlocks.insert(block);
        } else if (block != nullptr) {
            AllocationRecord record;
            record.size = static_cast<std::uint32_t>(size);
            record.threadId = self;
            record.frameCount = Capture(site, record.frames);
            m_liveBlocks[block] = record;
        }
        g_activeThread = 0;
        return block;
    }

    // Whether the call site is the program's own code. On the original platform every
    // module has its own allocator, so the tracker there sees only the program's own
    // allocations; here the shared libraries (the window library, GTK, the C++ runtime's
    // compiled code) call the same operators, and what they keep until they are
    // unloaded, after the report, is no leak of this program. Their blocks are only
    // remembered, so that releasing one in the program's code is no unknown block.
    bool FromProgram(std::uint64_t site) const {
        return m_programEnd == 0 || (site >= m_programBase && site < m_programEnd);
    }

    __attribute__((noinline)) void Free(void* block, std::uint64_t site) {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (g_activeThread.load() == kBypassAll) {
            std::free(block);
            return;
        }
        g_activeThread = Platform::GetCurrentThreadId();
        auto it = m_liveBlocks.find(block);
        if (it != m_liveBlocks.end()) {
            m_liveBlocks.erase(it);
        } else if (m_foreignBlocks.erase(block) == 0 && FromProgram(site)) {
            std::uint64_t frames[kMaxFrames];
            const std::uint32_t count = Capture(site, frames);
            if (count <= kSiteFrame) {
                ReportLine("Unknown location: Unknown memory block starting at %p freed.\n", block);
            } else {
                const Platform::SymbolInfo where =
                    Platform::ResolveReturnAddress(frames[kSiteFrame]);
                ReportLine("%s(%d): unknown memory block starting at %p freed.\n",
                           where.file.c_str(), where.line, block);
            }
        }
        std::free(block);
        g_activeThread = 0;
    }

    void Report() {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (g_activeThread.load() == kBypassAll) {
            return;
        }
        // From here on every thread goes straight to the runtime library: the maps are
        // about to go, and threads may still run while the process ends.
        g_activeThread = kBypassAll;
        ReportLine("\n\n>>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>\n\n");
        std::map<GroupKey, int> groups;
        for (const auto& [block, record] : m_liveBlocks) {
            ++groups[GroupKey{record.size, record.frameCount, record.frames, record.threadId}];
        }
        for (const auto& [key, count] : groups) {
            if (key.frameCount <= kSiteFrame) {
                ReportLine("Unknown location: %d memory blocks of size %d were never freed.\n\n",
                           count, static_cast<int>(key.size));
                continue;
            }
            const Platform::SymbolInfo site =
                Platform::ResolveReturnAddress(key.frames[kSiteFrame]);
            if (count == 1) {
                ReportLine("%s(%d): 1 memory block of size %d was never freed (thread id %d).\n",
                           site.file.c_str(), site.line, static_cast<int>(key.size),
                           static_cast<int>(key.threadId));
            } else {
                ReportLine("%s(%d): %d memory blocks of size %d were never freed (thread id %d).\n",
                           site.file.c_str(), site.line, count, static_cast<int>(key.size),
                           static_cast<int>(key.threadId));
            }
            for (std::uint32_t i = kSiteFrame + 1; i < key.frameCount; ++i) {
                const Platform::SymbolInfo caller = Platform::ResolveReturnAddress(key.frames[i]);
                ReportLine("%s(%d): Called from.\n", caller.file.c_str(), caller.line);
            }
            ReportLine("\n");
        }
        ReportLine("\n\nA total of %d leaks at %d locations.\n",
                   static_cast<int>(m_liveBlocks.size()), static_cast<int>(groups.size()));
        ReportLine("\n\n<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<\n\n");
        groups.clear();
        m_liveBlocks.clear();
        m_foreignBlocks.clear();
    }

    static void* Raw(std::size_t size, std::size_t alignment) {
        if (alignment <= alignof(std::max_align_t)) {
            return std::malloc(size == 0 ? 1 : size);
        }
        const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
        return std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
    }

    static Tracker* s_instance;

private:
    // The stack with the operator's caller (`site`, the operator's return address) at
    // index 3 and the three frames walked before it (the tracker and the operator)
    // ahead of it, however the compiler inlined or tail-called the frames in between.
    __attribute__((noinline)) static std::uint32_t Capture(std::uint64_t site,
                                                           std::uint64_t* frames) {
        constexpr std::size_t kSlack = 8;
        std::uint64_t walked[kMaxFrames + kSlack];
        const std::size_t count = Platform::CaptureStackBackTrace(0, kMaxFrames + kSlack, walked);
        std::size_t at = 0;
        while (at < count && walked[at] != site) {
            ++at;
        }
        if (at == count) {
            at = std::min<std::size_t>(count, kSiteFrame);
        }
        std::uint32_t n = 0;
        for (std::size_t i = 0; i < kSiteFrame; ++i) {
            frames[n++] = at + i >= kSiteFrame ? walked[at + i - kSiteFrame] : 0;
        }
        for (std::size_t i = at; i < count && n < kMaxFrames; ++i) {
            frames[n++] = walked[i];
        }
        return n;
    }

    std::recursive_mutex m_lock;
    std::map<void*, AllocationRecord> m_liveBlocks;
    std::unordered_set<void*> m_foreignBlocks;
    std::uint64_t m_programBase = 0;
    std::uint64_t m_programEnd = 0;
};

Tracker* Tracker::s_instance = nullptr;

// Constructed before the program's other static objects, destroyed after them, so the
// report sees what they left behind.
struct TrackerHolder {
    TrackerHolder() noexcept { Tracker::s_instance = new (m_storage) Tracker(); }
    // The tracker stays: threads that outlive static destruction may still release.
    ~TrackerHolder() { Tracker::s_instance->Report(); }
    TrackerHolder(const TrackerHolder&) = delete;
    TrackerHolder& operator=(const TrackerHolder&) = delete;

    alignas(Tracker) unsigned char m_storage[sizeof(Tracker)];
};
__attribute__((init_priority(101))) TrackerHolder g_tracker;

// Every operator calls this directly, so the allocation site is always the same number
// of frames away.
__attribute__((noinline)) void* TrackedAlloc(std::size_t size, std::size_t alignment, bool throwing,
                                             void* site) {
    Tracker* tracker = Tracker::Enter();
    void* block = tracker != nullptr
                      ? tracker->Allocate(size, alignment, reinterpret_cast<std::uintptr_t>(site))
                      : Tracker::Raw(size, alignment);
    if (block == nullptr && throwing) {
        throw std::bad_alloc();
    }
    return block;
}

__attribute__((noinline)) void TrackedFree(void* block, void* site) {
    if (block == nullptr) {
        return;
    }
    if (Tracker* tracker = Tracker::Enter()) {
        tracker->Free(block, reinterpret_cast<std::uintptr_t>(site));
        return;
    }
    std::free(block);
}

}  // namespace

bool TrackerIsActive() {
    return g_activeThread.load() != kBypassAll;
}

bool SetTrackerReportCallback(TrackerReportCallback callback) {
    g_reportCallback = callback;
    return true;
}

void TrackerReport() {
    if (Tracker::s_instance != nullptr) {
        Tracker::s_instance->Report();
    }
}

// The replaceable global allocation functions. Every form allocates with malloc or
// aligned_alloc, so every form releases with free.
void* operator new(std::size_t size) {
    return TrackedAlloc(size, 0, true, __builtin_return_address(0));
}
void* operator new[](std::size_t size) {
    return TrackedAlloc(size, 0, true, __builtin_return_address(0));
}
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
    return TrackedAlloc(size, 0, false, __builtin_return_address(0));
}
void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
    return TrackedAlloc(size, 0, false, __builtin_return_address(0));
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return TrackedAlloc(size, static_cast<std::size_t>(alignment), true,
                        __builtin_return_address(0));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return TrackedAlloc(size, static_cast<std::size_t>(alignment), true,
                        __builtin_return_address(0));
}
void* operator new(std::size_t size, std::align_val_t alignment,
                   const std::nothrow_t& /*tag*/) noexcept {
    return TrackedAlloc(size, static_cast<std::size_t>(alignment), false,
                        __builtin_return_address(0));
}
void* operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t& /*tag*/) noexcept {
    return TrackedAlloc(size, static_cast<std::size_t>(alignment), false,
                        __builtin_return_address(0));
}
void operator delete(void* block) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete[](void* block) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete(void* block, std::size_t /*size*/) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete[](void* block, std::size_t /*size*/) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete(void* block, const std::nothrow_t& /*tag*/) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete[](void* block, const std::nothrow_t& /*tag*/) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete(void* block, std::align_val_t /*alignment*/) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete[](void* block, std::align_val_t /*alignment*/) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete(void* block, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
void operator delete[](void* block, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept {
    TrackedFree(block, __builtin_return_address(0));
}
