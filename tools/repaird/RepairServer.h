// The reference repair server: serves one reference installation to repair clients.
// For each client it reads the handshake and the client's summary, then sends a record
// for every segment the client lacks or holds with another checksum, and checksum-0
// records that cut files the client holds longer than the reference. It never sends or
// removes the installation's per-machine files, and removes files the reference does not
// have only when asked to.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "MemoryBudget.h"
#include "SocketBuffer.h"
#include "platform/TcpStream.h"
#include "repair/FileTreeSummary.h"

struct RepairServerOptions {
    std::wstring root;
    // Also delete the client's files that the reference does not have.
    bool deleteExtra = false;
    // Relative paths never sent or removed ("*" wildcards). Holds the per-machine files.
    SummaryPatternSet exclusions{L"unins000.exe", L"unins000.dat", L"repair.cks",
                                 L"repair.cks.tmp"};
    bool compress = true;
    std::size_t cacheBytes = 256u << 20;
    std::uint32_t timeoutMs = 30000;
    std::uint64_t maxSummaryBytes = 64u << 20;
    // Memory for all sessions together: their summaries and the records in flight.
    std::uint64_t memoryBytes = std::uint64_t{1} << 30;
    // Fault injection for tests: close after this many records (negative: never), answer
    // the handshake with this value, pause before each record.
    long cutAfter = -1;
    std::uint32_t handshakeAnswer = 6;
    std::uint32_t recordDelayMs = 0;
};

class RepairServer {
public:
    explicit RepairServer(RepairServerOptions options);

    // Scans the reference and makes what it found the reference of the sessions that
    // start from now on; sessions under way keep the one they started with. Returns the
    // line that says what was found. Safe from any thread.
    std::string ScanReference();

    // Serves one connection to its end; returns the line that describes what was done.
    // Safe to call from several threads at once. The meter, if any, is told of the
    // session's traffic as it happens.
    std::string Serve(Platform::TcpStream& stream, SessionMeter* meter = nullptr);
    // Memory the sessions under way hold of the budget.
    std::uint64_t MemoryInUse() const { return m_memory.InUse(); }

private:
    struct Segment {
        std::vector<std::uint8_t> bytes;
        bool compressed = false;
        std::uint32_t checksum = 0;
    };
    struct Planned {
        std::wstring key;
        bool remove = false;
        // The reference file is empty: a record of no bytes.
        bool empty = false;
    };

    // The reference as one scan saw it.
    struct ReferenceView {
        FileTreeSummary::EntryMap entries;
        // Relative paths of the files that hold no bytes, which have no segments.
        std::set<std::wstring, Utf16Less> emptyFiles;
        // Every relative path in the tree, in the form that ignores separator and case.
        std::set<std::wstring> names;
    };

    // What one session did, for its line.
    struct Tally {
        std::chrono::steady_clock::time_point started;
        std::size_t clientSegments = 0;
        std::size_t planned = 0;
        std::size_t sent = 0;
        std::size_t compressed = 0;
        std::size_t removed = 0;
        double bytes = 0;
    };

    // The protocol's steps. Each returns why the session ended early, or nothing.
    std::string Exchange(SocketBuffer& connection, MemoryClaim& memory, Tally& tally);
    std::string Greet(SocketBuffer& connection) const;
    std::string SendRecords(SocketBuffer& connection, const FileTreeSummary::EntryMap& reference,
                            const std::vector<Planned>& plan, Tally& tally);
    static void WriteRecord(SocketBuffer& connection, const std::wstring& key,
                            const Segment* segment);

    // Walks the reference tree as it is now and makes that the current reference.
    std::shared_ptr<const ReferenceView> Scan();
    // The reference of a session starting now: the last scan's, scanned first if there
    // was none.
    std::shared_ptr<const ReferenceView> Reference();
    std::vector<Planned> Plan(const ReferenceView& view,
                              const FileTreeSummary::EntryMap& client) const;
    std::shared_ptr<const Segment> LoadSegment(const FileTreeSummaryEntry& entry);

    const RepairServerOptions m_options;
    MemoryBudget m_memory;
    std::mutex m_scanLock;
    FileTreeSummary m_reference;
    std::mutex m_currentLock;
    std::shared_ptr<const ReferenceView> m_current;

    struct Cached {
        std::shared_ptr<const Segment> segment;
        std::int64_t modificationTime;
        std::uint32_t summaryChecksum;
        std::list<std::wstring>::iterator age;
    };
    std::mutex m_cacheLock;
    std::map<std::wstring, Cached> m_cache;
    std::list<std::wstring> m_ages;  // most recently used first
    std::size_t m_cachedBytes = 0;
};
