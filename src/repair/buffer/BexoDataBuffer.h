// Data buffers: positioned byte streams with a size, the one abstraction through which
// the serialisers, the compressed containers and the transfers read and write files,
// memory blocks and TCP streams. A buffer is used by one thread at a time. Buffers never
// throw; every operation that can fail returns a BEXORESULT_ code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/BexoResult.h"

class BexoDataBuffer {
public:
    BexoDataBuffer() = default;
    BexoDataBuffer(const BexoDataBuffer&) = delete;
    BexoDataBuffer& operator=(const BexoDataBuffer&) = delete;
    virtual ~BexoDataBuffer() = default;

    virtual std::uint64_t GetSize() = 0;
    virtual BEXORESULT SetSize(std::uint64_t size) = 0;
    // The offset of the next read or write.
    virtual std::uint64_t GetPosition() = 0;
    // Absolute, from the start.
    virtual BEXORESULT Seek(std::uint64_t position) = 0;
    // A count of 0 does nothing and succeeds (after the kind's state and mode checks).
    virtual BEXORESULT WriteData(const void* data, std::uint32_t count) = 0;
    virtual BEXORESULT ReadData(void* data, std::uint32_t count) = 0;
    virtual void Flush() = 0;
};

// Growable memory. The position is 32-bit, so the data never grows past 4 GiB - 1;
// a write or resize beyond that, or one the allocator refuses, is BEXORESULT_OUT_OF_MEMORY.
class BexoDataBufferMemoryDynamic : public BexoDataBuffer {
public:
    BexoDataBufferMemoryDynamic() = default;

    std::uint64_t GetSize() override;
    BEXORESULT SetSize(std::uint64_t size) override;
    std::uint64_t GetPosition() override;
    // Past the size: the position becomes the size and the result is END_OF_DATA.
    BEXORESULT Seek(std::uint64_t position) override;
    BEXORESULT WriteData(const void* data, std::uint32_t count) override;
    // Copies what is there; END_OF_DATA when fewer than count bytes were available.
    BEXORESULT ReadData(void* data, std::uint32_t count) override;
    void Flush() override;

    // The bytes, valid until the next call that changes the size.
    const std::uint8_t* GetData() const { return m_bytes.data(); }
    std::uint8_t* GetData() { return m_bytes.data(); }

private:
    std::vector<std::uint8_t> m_bytes;
    std::uint32_t m_position = 0;
};

// A file on disk through a buffered stream. Every operation except GetSize, GetPosition
// and Flush returns INVALID_STATE when the file is not open; a failed open is final.
class BexoDataBufferFile : public BexoDataBuffer {
public:
    enum AccessMode : std::int32_t {
        kModeRead = 0,       // existing file, read only
        kModeCreate = 1,     // created or emptied, write only
        kModeUpdate = 2,     // existing content kept (created when missing), write only
        kModeReadWrite = 3,  // existing file, read and write
    };

    // The path's separators become "\" and it goes through the narrow conversion, so a
    // path with characters outside the narrow set does not open. An unknown mode logs
    // a line and leaves the buffer not open.
    BexoDataBufferFile(const std::wstring& path, std::int32_t mode);
    ~BexoDataBufferFile() override;

    bool IsOpen() const { return m_stream != nullptr; }

    // The size as known to the buffer: measured at open, then grown by writes.
    std::uint64_t GetSize() override;
    BEXORESULT SetSize(std::uint64_t size) override;
    std::uint64_t GetPosition() override;
    // No check against the size: a write past the end extends the file.
    BEXORESULT Seek(std::uint64_t position) override;
    // IO_ERROR on a short write (DISK_FULL when the volume is full); the position
    // advances by what was written.
    BEXORESULT WriteData(const void* data, std::uint32_t count) override;
    // IO_ERROR on a short read (end of file included); the position advances by what came.
    BEXORESULT ReadData(void* data, std::uint32_t count) override;
    // Writes the stream's buffer and makes the data durable on disk.
    void Flush() override;
    // Flush, telling whether the data reached the disk.
    bool Commit();
    // Writes the stream's buffer to the file without waiting for the disk; false when
    // that write fails. For files whose durability a later step takes care of.
    bool FlushStream();
    // Closes the file, which Windows neither renames nor deletes while it is open; false
    // when writing the stream's buffer failed. The buffer is then not open.
    bool Close();

private:
    // Before a change of direction on a read-write stream.
    BEXORESULT Reposition();

    std::FILE* m_stream = nullptr;
    std::int32_t m_mode;
    std::uint64_t m_size = 0;
    std::uint64_t m_position = 0;
    bool m_lastWasRead = false;
    std::wstring m_path;
};

// Moves count bytes from the source's position to the destination's position; the first
// failing code of either side ends the copy and is returned. Never holds more than
// 128 KiB in memory; copies of up to 8192 bytes use no heap memory.
BEXORESULT CopyData(BexoDataBuffer* destination, BexoDataBuffer* source, std::uint64_t count);
// CopyData of everything from the source's position to its end.
BEXORESULT CopyRemainingData(BexoDataBuffer* destination, BexoDataBuffer* source);
