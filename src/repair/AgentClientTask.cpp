#include "repair/AgentClientTask.h"

#include <array>

#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "repair/FileTreeSummary.h"
#include "repair/SegmentChecksum.h"
#include "repair/buffer/BexoUtil.h"

namespace {

void Report(const std::string& line) {
    SystemLogWrite(LOG_STDOUT, line);
}

template <typename T>
BEXORESULT ReadLittleEndian(BexoDataBuffer* buffer, T* value) {
    std::uint8_t bytes[sizeof(T)] = {};
    const BEXORESULT result = buffer->ReadData(bytes, sizeof bytes);
    *value = LoadLittleEndian<T>(bytes);
    return result;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

}  // namespace

bool IsSafeSegmentKey(const std::wstring& key) {
    const std::wstring path = SegmentKeyPath(key);
    if (path.empty() || IsSeparator(path.front()) || !HasOnlyNameColons(path)) {
        return false;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        const std::wstring_view component(path.data() + start, end - start);
        if (component == L".." || component.empty()) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

BexoAgentClientTask::~BexoAgentClientTask() {
    decompressThread.Join();
    writeThread.Join();
}

void BexoAgentClientTask::MakeIdle() {
    owner = nullptr;
    writeBegun = false;
}

bool BexoAgentClientTask::ReceiveFile(BexoAgentClient* client) {
    if (owner != nullptr) {
        Report("BexoAgentClientTask::ReceiveFile> called while already busy");
        return false;
    }
    owner = client;
    compressed = false;
    key.clear();
    checksum = 0;
    BexoDataBuffer* connection = client->Connection();

    std::uint8_t flag = 0;
    std::uint32_t keyUnits = 0;
    std::int32_t length = 0;
    BEXORESULT result = ReadLittleEndian(connection, &flag);
    if (result == BEXORESULT_OK) {
        result = ReadLittleEndian(connection, &keyUnits);
    }
    if (result == BEXORESULT_OK && keyUnits > kMaxSegmentKeyUnits) {
        Report("BexoAgentClientTask::ReceiveFile> key of " + std::to_string(keyUnits) +
               " units from server");
        client->ReportProblem(RepairProblem::kBadRecord, L"");
        MakeIdle();
        return false;
    }
    if (result == BEXORESULT_OK) {
        std::vector<std::uint8_t> raw(std::size_t{keyUnits} * 2);
        result = connection->ReadData(raw.data(), static_cast<std::uint32_t>(raw.size()));
        std::u16string units(keyUnits, u'\0');
        for (std::uint32_t i = 0; i < keyUnits; ++i) {
            units[i] = static_cast<char16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
        }
        key = FromUtf16(units);
    }
    if (result == BEXORESULT_OK) {
        result = ReadLittleEndian(connection, &checksum);
    }
    if (result == BEXORESULT_OK) {
        result = ReadLittleEndian(connection, &length);
    }
    if (result != BEXORESULT_OK) {
        Report(FormatString("BexoAgentClientTask::ReceiveFile> error %d", result));
        if (result == BEXORESULT_TIMED_OUT) {
            client->ReportProblem(RepairProblem::kReceiveStalled, L"");
        }
        MakeIdle();
        return false;
    }
    compressed = flag != 0;
    if ((checksum == 0 && (compressed || length != 0)) || (compressed && length == 0)) {
        Report("BexoAgentClientTask::ReceiveFile> mismatched flags from server");
        client->ReportProblem(RepairProblem::kBadRecord, L"");
        MakeIdle();
        return false;
    }
    const std::int32_t limit = compressed ? kMaxPackedRecordBytes : kMaxPlainRecordBytes;
    if (length < 0 || length > limit) {
        Report(FormatString("BexoAgentClientTask::ReceiveFile> %d data bytes from server", length));
        client->ReportProblem(RepairProblem::kBadRecord, L"");
        MakeIdle();
        return false;
    }
    if (!IsSafeSegmentKey(key)) {
        Report("BexoAgentClientTask::ReceiveFile> refused key outside the installation: " +
               ToNarrow(key));
        client->ReportProblem(RepairProblem::kBadRecord, L"");
        MakeIdle();
        return false;
    }
    BexoDataBufferMemoryDynamic& target = compressed ? packed : data;
    target.Seek(0);
    // One read of the whole payload straight into place: the connection completes it in
    // the background however the bytes arrive, where pieces would each wait for a wake-up.
    result = target.SetSize(static_cast<std::uint64_t>(length));
    if (result == BEXORESULT_OK && length > 0) {
        result = connection->ReadData(target.GetData(), static_cast<std::uint32_t>(length));
    }
    if (result != BEXORESULT_OK) {
        Report(FormatString("BexoAgentClientTask::ReceiveFile> error %d", result));
        if (result == BEXORESULT_TIMED_OUT) {
            client->ReportProblem(RepairProblem::kReceiveStalled, L"");
        }
        MakeIdle();
        return false;
    }
    data.Seek(0);
    packed.Seek(0);
    ok = true;
    if (compressed) {
        decompressing = true;
        decompressThread.Start(&BexoAgentClientTask::DecompressMain, this);
    }
    client->CountReceived();
    return true;
}

std::uint32_t BexoAgentClientTask::DecompressMain(void* task) {
    static_cast<BexoAgentClientTask*>(task)->ThreadedDecompress();
    return 0;
}

bool BexoAgentClientTask::ThreadedDecompress() {
    data.SetSize(0);
    data.Seek(0);
    std::uint64_t raw = 0;
    BEXORESULT result = BexoUtil::MeasureContainer(&packed, &raw);
    if (result == BEXORESULT_OK && raw > static_cast<std::uint64_t>(kMaxPlainRecordBytes)) {
        result = BEXORESULT_BAD_DATA;
    }
    if (result == BEXORESULT_OK) {
        result = BexoUtil::DecompressData(&data, &packed);
    }
    packed.SetSize(0);
    packed.Seek(0);
    data.Seek(0);
    ok = result == BEXORESULT_OK;
    if (!ok) {
        Report(FormatString("BexoAgentClientTask::ThreadedDecompress> error %d", result));
    }
    return ok;
}

bool BexoAgentClientTask::WriteFileBegin() {
    if (owner == nullptr || writeBegun) {
        return true;
    }
    if (writing) {
        Report("BexoAgentClientTask::WriteFileBegin> called while already busy");
        return false;
    }
    if (decompressing) {
        decompressThread.Join();
        decompressing = false;
    }
    if (!ok) {
        owner->ReportProblem(RepairProblem::kDamagedData, FullPath());
        packed.SetSize(0);
        data.SetSize(0);
        MakeIdle();
        return false;
    }
    writeBegun = true;
    writing = true;
    writeThread.Start(&BexoAgentClientTask::WriteMain, this);
    return true;
}

bool BexoAgentClientTask::WriteFileEnd() {
    if (owner == nullptr) {
        return true;
    }
    if (!writeBegun && !WriteFileBegin()) {
        return false;
    }
    if (writing) {
        writeThread.Join();
        writing = false;
    }
    data.SetSize(0);
    data.Seek(0);
    const bool result = ok;
    MakeIdle();
    return result;
}

std::uint32_t BexoAgentClientTask::WriteMain(void* task) {
    auto* self = static_cast<BexoAgentClientTask*>(task);
    self->ok = self->WriteSegment();
    return 0;
}

std::wstring BexoAgentClientTask::FullPath() const {
    return JoinPath(owner->Root(), SegmentKeyPath(key));
}

bool BexoAgentClientTask::WriteSegment() {
    const std::uint64_t index = SegmentKeyIndex(key);
    const std::wstring full = FullPath();
    const std::string name = ToNarrow(full);
    FileTreeSummary& summary = owner->Summary();
    const auto fail = [this, &full](RepairProblem problem) {
        owner->ReportProblem(problem, full);
        return false;
    };

    // A link below the root would take the write wherever it points.
    if (LeadsThroughLink(owner->Root(), SegmentKeyPath(key))) {
        Report("   error: refused to write through a link: " + name);
        return fail(RepairProblem::kCannotWrite);
    }

    const std::uint64_t offset = index * kSegmentSize;
    if (checksum != 0) {
        const std::uint64_t position = data.GetPosition();
        const std::uint64_t count = data.GetSize() > position ? data.GetSize() - position : 0;
        const std::uint32_t crc =
            SegmentCrc(0, data.GetData() + position, static_cast<std::size_t>(count));
        if ((crc == 0 ? 1 : crc) != checksum) {
            Report("   error: the data for " + name + " does not match its checksum");
            return fail(RepairProblem::kDamagedData);
        }
        std::int64_t size = 0;
        if (!FileExists(full) || GetFileSize(full, &size) != BEXORESULT_OK) {
            size = 0;
        }
        if (offset > static_cast<std::uint64_t>(size) + kMaxRecordGap) {
            Report(FormatString("   error: refused segment %llu of %s, %lld bytes long",
                                static_cast<unsigned long long>(index), name.c_str(),
                                static_cast<long long>(size)));
            return fail(RepairProblem::kGrowthRefused);
        }
    }

    const std::size_t separator = full.find_last_of(L"/\\");
    if (separator != std::wstring::npos) {
        MakeDirectory(full.substr(0, separator + 1));
    }
    ClearReadOnly(full);

    if (checksum != 0) {
        BexoDataBufferFile file(full, BexoDataBufferFile::kModeUpdate);
        if (!file.IsOpen()) {
            Report("   warning: failed to open path " + name);
            return fail(RepairProblem::kCannotWrite);
        }
        const std::uint64_t segmentEnd = offset + kSegmentSize;
        if (file.GetSize() < offset && file.SetSize(offset) != BEXORESULT_OK) {
            Report("   error: failed to set file position for " + name);
            return fail(RepairProblem::kCannotWrite);
        }
        if (file.Seek(offset) != BEXORESULT_OK) {
            Report("   error: failed to set file position for " + name);
            return fail(RepairProblem::kCannotWrite);
        }
        // The whole segment in one write, not in staged pieces.
        const std::uint64_t position = data.GetPosition();
        const BEXORESULT result =
            data.GetSize() > position
                ? file.WriteData(data.GetData() + position,
                                 static_cast<std::uint32_t>(data.GetSize() - position))
                : BEXORESULT_OK;
        if (result != BEXORESULT_OK) {
            Report(FormatString("  error %d while downloading file %s", result, name.c_str()));
            return fail(RepairProblem::kCannotWrite);
        }
        const std::uint64_t end = file.GetPosition();
        if (end < segmentEnd && file.GetSize() > end) {
            if (file.SetSize(end) != BEXORESULT_OK) {
                Report("   error: failed to truncate file " + name);
                return fail(RepairProblem::kCannotWrite);
            }
            summary.RemoveFollowingSegments(key);
        }
        // The bytes must be on disk before the summary says they are there.
        if (!file.Commit()) {
            Report(FormatString("  error %d while downloading file %s", BEXORESULT_IO_ERROR,
                                name.c_str()));
            return fail(RepairProblem::kCannotWrite);
        }
        if (end == 0) {
            // An empty file has no segments to register.
            summary.Remove(key);
            return true;
        }
    } else {
        if (FileExists(full)) {
            if (index != 0) {
                BexoDataBufferFile file(full, BexoDataBufferFile::kModeUpdate);
                if (file.IsOpen()) {
                    if (file.GetSize() > offset && file.SetSize(offset) != BEXORESULT_OK) {
                        Report("   error: failed to truncate file " + name);
                        return fail(RepairProblem::kCannotWrite);
                    }
                    summary.RemoveFollowingSegments(key);
                }
            } else if (!DeleteFile(full)) {
                Report("   error: failed to delete file " + name);
                return fail(RepairProblem::kCannotWrite);
            }
        }
        summary.Remove(key);
        return true;
    }
    if (!summary.RegisterSegment(JoinPath(owner->Root(), key), key, checksum)) {
        Report("   error: failed to register file " + name);
        return fail(RepairProblem::kCannotWrite);
    }
    return true;
}

void ReceiveSegments(BexoAgentClient* client) {
    std::array<BexoAgentClientTask, 4> tasks;
    std::size_t i = 0;
    int sinceSave = 0;
    while (client->IsConnected() && client->Received() < client->Announced() &&
           !client->CancelRequested()) {
        if (!tasks[i].ReceiveFile(client)) {
            break;
        }
        if (sinceSave >= 32) {
            client->SaveChecksumFile();
            sinceSave = 0;
        } else {
            ++sinceSave;
        }
        if (!tasks[(i + 1) % 4].WriteFileEnd()) {
            break;
        }
        if (!tasks[(i + 2) % 4].WriteFileBegin()) {
            break;
        }
        i = (i + 1) % 4;
    }
    for (auto& task : tasks) {
        task.WriteFileEnd();
    }
    client->SaveChecksumFile();
}
