// Receiving repaired segments: records from the repair server are read on the repair
// worker, decompressed on a thread of their own and written on another, through a ring
// of four tasks so that network, decompression and disk overlap.
//
// Segment record (little-endian): compressed flag (1 byte), key length L (4, UTF-16
// units), the key, the segment's checksum (4; 0 = the segment no longer exists), the data
// length D (4, signed), then D bytes: the segment, or its compressed container.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kernel/Sync.h"
#include "repair/buffer/BexoDataBuffer.h"

class FileTreeSummary;

// Why a repair session failed, beyond its stage and result code; the session turns it
// into the line the user reads.
enum class RepairProblem : std::int32_t {
    kNone = 0,
    kConnectTimedOut,    // no connection within the connect limit
    kHandshakeTimedOut,  // no answer to the handshake within its limit
    kUploadTimedOut,     // the summary or the count did not move within their limit
    kReceiveStalled,     // the records came slower than the receive limit allows
    kCannotWrite,        // a record could not be written (file named)
    kDamagedData,        // a record could not be decompressed or failed its checksum (file named)
    kGrowthRefused,      // a record would have grown its file beyond the bound (file named)
    kBadRecord,          // a record was malformed or its key led outside the installation
};

// How far one record may extend a file beyond its current end: the zeros written before
// the record's own bytes. A sound server sends every segment a client lacks, in order,
// so its gaps are empty; two segments allow a record for segment 2 of a missing file,
// and keep a record of a few bytes from making more than 8 MiB of file.
constexpr std::uint64_t kMaxRecordGap = 2 * 4194304;

// What the repair client lends the transfer.
class BexoAgentClient {
public:
    virtual ~BexoAgentClient() = default;
    virtual BexoDataBuffer* Connection() = 0;
    virtual bool IsConnected() = 0;
    virtual const std::wstring& Root() const = 0;
    virtual FileTreeSummary& Summary() = 0;
    virtual std::uint32_t Received() const = 0;
    virtual void CountReceived() = 0;
    virtual std::uint32_t Announced() const = 0;
    virtual bool CancelRequested() const = 0;
    // Saves the summary to the checksum file; failures are not reported.
    virtual void SaveChecksumFile() = 0;
    // Called from the worker and the write threads; the first problem is the one kept.
    virtual void ReportProblem(RepairProblem problem, const std::wstring& file) = 0;
};

// The largest plain record: one segment.
constexpr std::int32_t kMaxPlainRecordBytes = 4194304;
// The largest compressed record: zlib's worst case for one segment is about 1.3 KiB
// above the input, and each chunk of the container adds 8 bytes; 64 KiB covers both.
constexpr std::int32_t kMaxPackedRecordBytes = 4194304 + 65536;

// Whether a segment key may be written under the installation root: relative, no
// drive, no "..", not empty.
bool IsSafeSegmentKey(const std::wstring& key);

// One slot of the ring. Used by the repair worker; the threads it starts are joined
// before the task is reused or destroyed.
class BexoAgentClientTask {
public:
    BexoAgentClientTask() = default;
    BexoAgentClientTask(const BexoAgentClientTask&) = delete;
    BexoAgentClientTask& operator=(const BexoAgentClientTask&) = delete;
    ~BexoAgentClientTask();

    // Reads one record into this idle task; false for a read failure or a malformed
    // record (the task is then idle again).
    bool ReceiveFile(BexoAgentClient* client);
    // Starts writing the record held; false when its decompression failed.
    bool WriteFileBegin();
    // Finishes the record held (starting its write if needed) and makes the task idle.
    bool WriteFileEnd();

    bool IsIdle() const { return owner == nullptr; }

private:
    static std::uint32_t DecompressMain(void* task);
    static std::uint32_t WriteMain(void* task);
    bool ThreadedDecompress();
    bool WriteSegment();
    // The installed file the record held belongs to.
    std::wstring FullPath() const;
    void MakeIdle();

    BexoAgentClient* owner = nullptr;
    std::wstring key;
    std::uint32_t checksum = 0;
    bool compressed = false;
    bool writeBegun = false;
    // Written by the decompression or write thread, read by the worker after joining it.
    std::atomic<bool> ok{true};
    OS::Thread decompressThread;
    OS::Thread writeThread;
    bool decompressing = false;
    bool writing = false;
    BexoDataBufferMemoryDynamic data;
    BexoDataBufferMemoryDynamic packed;
};

// The receive pipeline of the repair client's last stage. Every record received is
// finished before it returns; a record that could not be written, decompressed or
// checked is reported to the client and stops the pipeline.
void ReceiveSegments(BexoAgentClient* client);
