// The reference repair server: serves one reference installation to repair clients.
// For each client it reads the handshake and the client's summary, then sends a record
// for every segment the client lacks or holds with another checksum, and checksum-0
// records that cut files the client holds longer than the reference. It never sends or
// removes the installation's per-machine files, and removes files the reference does not
// have only when asked to.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "MemoryBudget.h"
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
    struct ReferenceView;
    struct Planned;

public:
    explicit RepairServer(RepairServerOptions options);

    // Scans the reference and makes what it found the reference of the sessions that
    // start from now on; sessions under way keep the one they started with. Returns the
    // line that says what was found. Safe from any thread.
    std::string ScanReference();

    // One client's exchange, driven by whoever moves its bytes, so that a connection
    // waiting on its client needs no thread: what the client sent goes in through Take;
    // what to send comes out of Take, Plan and Next. One thread at a time.
    // Bytes to send, shared: a segment goes out to many clients from one copy.
    using Piece = std::shared_ptr<const std::vector<std::uint8_t>>;

    class Session {
    public:
        enum class Step {
            kMore,   // wants more of the request
            kPlan,   // the request is whole: call Plan
            kEnded,  // the session is over; Line says why
        };

        explicit Session(RepairServer* server);
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

        // Takes bytes the client sent and appends what to answer to `out`.
        Step Take(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* out);
        // The client's side ended, or went silent too long, before the request was whole.
        void EndOfRequest();
        // Loads the summary and plans the records (it reads the reference: keep it off a
        // thread that serves other connections); appends the count to `out`. False when
        // the session ended.
        bool Plan(std::vector<std::uint8_t>* out);
        // Appends the next records to `out`, at least one and about `size` bytes at most;
        // false once none is left or the session ended. A segment's bytes are shared
        // with the cache, not copied.
        bool Next(std::vector<Piece>* out, std::size_t size);
        // The connection failed while records were going out.
        void Lost();
        // Every record was sent and the client ended the connection as it should.
        void Finished();
        // Whether the session may go on (nothing failed and nothing was refused).
        bool Going() const { return m_result.empty(); }
        // The session's line: the peer, what came of it, records, bytes and seconds.
        std::string Line(const std::string& peer) const;

    private:
        // Frames the summary received so far; kPlan once it is whole.
        Step Frame();
        Step End(std::string result);
        std::string OverBudget(const char* what) const;

        RepairServer* m_server;
        MemoryClaim m_memory;
        std::string m_result;
        std::chrono::steady_clock::time_point m_started;
        bool m_greeted = false;
        // The summary as received, with how far it is framed and how many entries remain.
        std::vector<std::uint8_t> m_summary;
        std::size_t m_framed = 0;
        std::int64_t m_entriesLeft = -1;
        // Summary bytes the claim covers already.
        std::uint64_t m_covered = 0;
        std::shared_ptr<const ReferenceView> m_view;
        std::vector<Planned> m_plan;
        std::size_t m_clientSegments = 0;
        std::size_t m_sent = 0;
        std::size_t m_compressed = 0;
        std::size_t m_removed = 0;
        double m_bytes = 0;
    };

    // Serves one blocking connection to its end; returns the line that describes what was
    // done. Safe to call from several threads at once.
    std::string Serve(Platform::TcpStream& stream);
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

    // The record's head; its bytes, if any, follow as the segment's own.
    static void WriteRecord(std::vector<Piece>* out, const std::wstring& key,
                            const std::shared_ptr<const Segment>& segment);

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
