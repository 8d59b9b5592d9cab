#include "patch/StepJournal.h"

#include <zlib.h>

#include <cstring>

#include "kernel/FileUtil.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/MD5.h"
#include "platform/Files.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace {

constexpr char kPlanMagic[4] = {'O', 'S', 'J', '1'};
constexpr char kCommitMagic[4] = {'O', 'S', 'J', 'C'};
constexpr std::uint32_t kVersion = 1;
// A plan larger than this is not a journal this program wrote.
constexpr std::uint32_t kMaxPayload = 256u << 20;

void Put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>(v >> (8 * i));
    }
}

void PutString(std::string& out, const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    Put32(out, static_cast<std::uint32_t>(utf8.size()));
    out += utf8;
}

std::uint32_t Crc(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

class Reader {
public:
    explicit Reader(const std::string& bytes) : m_bytes(bytes) {}
    bool U8(std::uint8_t* v) {
        if (m_at + 1 > m_bytes.size()) {
            return false;
        }
        *v = static_cast<std::uint8_t>(m_bytes[m_at++]);
        return true;
    }
    bool U32(std::uint32_t* v) {
        if (m_bytes.size() - m_at < 4) {
            return false;
        }
        *v = 0;
        for (int i = 0; i < 4; ++i) {
            *v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(m_bytes[m_at++])) << (8 * i);
        }
        return true;
    }
    bool String(std::wstring* text) {
        std::uint32_t n = 0;
        if (!U32(&n) || m_bytes.size() - m_at < n) {
            return false;
        }
        *text = Utf8ToWide(std::string_view(m_bytes).substr(m_at, n));
        m_at += n;
        return true;
    }
    bool AtEnd() const { return m_at == m_bytes.size(); }

private:
    const std::string& m_bytes;
    std::size_t m_at = 0;
};

std::string EncodePlan(const StepJournalPlan& plan) {
    std::string payload;
    PutString(payload, plan.installDirectory);
    PutString(payload, plan.patchDirectory);
    Put32(payload, static_cast<std::uint32_t>(plan.entries.size()));
    for (const StepJournalEntry& e : plan.entries) {
        payload += static_cast<char>(e.kind);
        payload += static_cast<char>((e.targetExisted ? 1 : 0) | (e.backupExisted ? 2 : 0));
        PutString(payload, e.target);
        PutString(payload, e.backup);
        PutString(payload, e.oldMD5);
        PutString(payload, e.newMD5);
        PutString(payload, e.staleBackupMD5);
    }
    payload += static_cast<char>(plan.uninstallLogPresent ? 1 : 0);
    PutString(payload, plan.uninstallLogMD5);
    PutString(payload, plan.uninstallLogCopy);
    return payload;
}

bool DecodePlan(const std::string& payload, StepJournalPlan* plan) {
    Reader r(payload);
    std::uint32_t count = 0;
    if (!r.String(&plan->installDirectory) || !r.String(&plan->patchDirectory) || !r.U32(&count)) {
        return false;
    }
    // Each entry takes at least 22 bytes, so the count cannot outgrow the payload.
    if (count > payload.size() / 22) {
        return false;
    }
    plan->entries.resize(count);
    for (StepJournalEntry& e : plan->entries) {
        std::uint8_t kind = 0;
        std::uint8_t flags = 0;
        if (!r.U8(&kind) || !r.U8(&flags) || kind < 1 || kind > 3 || !r.String(&e.target) ||
            !r.String(&e.backup) || !r.String(&e.oldMD5) || !r.String(&e.newMD5) ||
            !r.String(&e.staleBackupMD5)) {
            return false;
        }
        e.kind = static_cast<StepJournalEntry::Kind>(kind);
        e.targetExisted = (flags & 1) != 0;
        e.backupExisted = (flags & 2) != 0;
    }
    std::uint8_t present = 0;
    if (!r.U8(&present) || !r.String(&plan->uninstallLogMD5) ||
        !r.String(&plan->uninstallLogCopy) || !r.AtEnd()) {
        return false;
    }
    plan->uninstallLogPresent = present != 0;
    return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
    BexoDataBufferFile file(path, BexoDataBufferFile::kModeRead);
    if (!file.IsOpen() || file.GetSize() > kMaxPayload + 64) {
        return false;
    }
    bytes->resize(static_cast<std::size_t>(file.GetSize()));
    return bytes->empty() ||
           file.ReadData(bytes->data(), static_cast<std::uint32_t>(bytes->size())) == BEXORESULT_OK;
}

enum class Parsed { kPlan, kCommitted, kBad };

Parsed ParseJournal(const std::string& bytes, StepJournalPlan* plan) {
    if (bytes.size() < 16 || std::memcmp(bytes.data(), kPlanMagic, 4) != 0) {
        return Parsed::kBad;
    }
    const std::string header = bytes.substr(4, 12);
    Reader r(header);
    std::uint32_t version = 0;
    std::uint32_t length = 0;
    std::uint32_t crc = 0;
    if (!r.U32(&version) || !r.U32(&length) || !r.U32(&crc) || version != kVersion ||
        length > kMaxPayload || bytes.size() - 16 < length) {
        return Parsed::kBad;
    }
    const std::string payload = bytes.substr(16, length);
    if (Crc(payload) != crc || !DecodePlan(payload, plan)) {
        return Parsed::kBad;
    }
    const std::string rest = bytes.substr(16 + length);
    std::string commit(kCommitMagic, 4);
    Put32(commit, crc);
    // A commit record torn by the interruption is no commit: the step is undone, which is
    // still possible because backups are removed only after the record is on disk.
    return rest == commit ? Parsed::kCommitted : Parsed::kPlan;
}

std::wstring Md5Of(const std::wstring& path) {
    std::wstring digest;
    return FileMD5Hex(path, &digest) ? digest : std::wstring();
}

// Moves the backup over the target (the target removed first, as the engine restores).
bool Restore(const std::wstring& backup, const std::wstring& target) {
    if (FileExists(target)) {
        ClearReadOnly(target);
        if (!Platform::DeleteFile(target)) {
            return false;
        }
    }
    return Platform::MoveFile(backup, target) ||
           (Platform::CopyFile(backup, target, false) && Platform::DeleteFile(backup));
}

bool Remove(const std::wstring& path) {
    if (!FileExists(path)) {
        return true;
    }
    ClearReadOnly(path);
    return Platform::DeleteFile(path);
}

// Puts one entry back as it was before the step.
bool Undo(const StepJournalEntry& e) {
    const bool ours = IsStepBackup(e);
    switch (e.kind) {
        case StepJournalEntry::kAdd:
            if (ours) {
                return Restore(e.backup, e.target);
            }
            // Nothing of the user's stood there: whatever is there now came from the step.
            return e.targetExisted || Remove(e.target);
        case StepJournalEntry::kDelete:
            if (!ours) {
                return true;
            }
            // A backup beside a target that is still there is an unfinished copy.
            return FileExists(e.target) ? Remove(e.backup) : Restore(e.backup, e.target);
        case StepJournalEntry::kPatch:
            return !ours || Restore(e.backup, e.target);
    }
    return false;
}

// Removes what a committed step left behind.
bool CleanUp(const StepJournalEntry& e) {
    return !IsStepBackup(e) || Remove(e.backup);
}

bool WriteDurably(const std::wstring& path, const std::string& bytes, bool append) {
    std::FILE* f = Platform::OpenFileStream(path, append ? "ab" : "wb");
    if (f == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() &&
                         Platform::SyncFileStream(f);
    return std::fclose(f) == 0 && written;
}

}  // namespace

std::wstring StepJournalPath(const std::wstring& installDirectory) {
    return JoinPath(installDirectory, L"osmel-step.journal");
}

std::wstring UnfinishedPlanPath(const std::wstring& installDirectory) {
    return JoinPath(installDirectory, L"osmel-step.journal.new");
}

std::wstring UninstallLogCopyPath(const std::wstring& installDirectory) {
    return JoinPath(installDirectory, L"unins000.dat.osmel-old");
}

bool IsStepBackup(const StepJournalEntry& entry) {
    if (!FileExists(entry.backup) || IsDirectory(entry.backup)) {
        return false;
    }
    return !entry.backupExisted || Md5Of(entry.backup) != entry.staleBackupMD5;
}

bool WriteStepJournal(const StepJournalPlan& plan) {
    const std::string payload = EncodePlan(plan);
    std::string bytes(kPlanMagic, 4);
    Put32(bytes, kVersion);
    Put32(bytes, static_cast<std::uint32_t>(payload.size()));
    Put32(bytes, Crc(payload));
    bytes += payload;
    // The plan is written beside the journal and then renamed into place, so that a step
    // cut while its plan is being written leaves no journal, only the unfinished plan,
    // which recovery drops: nothing had been changed yet.
    const std::wstring path = StepJournalPath(plan.installDirectory);
    const std::wstring unfinished = UnfinishedPlanPath(plan.installDirectory);
    if (!WriteDurably(unfinished, bytes, false) || !Platform::ReplaceFile(unfinished, path) ||
        !Platform::SyncDirectory(plan.installDirectory)) {
        SystemLog("WriteStepJournal> cannot write %s", WideToUtf8(path).c_str());
        Platform::DeleteFile(unfinished);
        Platform::DeleteFile(path);
        return false;
    }
    return true;
}

bool CommitStepJournal(const std::wstring& installDirectory) {
    const std::wstring path = StepJournalPath(installDirectory);
    std::string bytes;
    StepJournalPlan plan;
    if (!ReadWholeFile(path, &bytes) || ParseJournal(bytes, &plan) != Parsed::kPlan ||
        !Platform::SyncFileSystem(installDirectory)) {
        SystemLog("CommitStepJournal> cannot commit %s", WideToUtf8(path).c_str());
        return false;
    }
    // The commit record names the plan it commits by the plan's checksum.
    const std::string commit = std::string(kCommitMagic, 4) + bytes.substr(12, 4);
    return WriteDurably(path, commit, true);
}

void RemoveStepJournal(const std::wstring& installDirectory) {
    // What the step's end did must be on disk before the journal that could redo it goes.
    Platform::SyncFileSystem(installDirectory);
    Platform::DeleteFile(StepJournalPath(installDirectory));
    Platform::SyncDirectory(installDirectory);
}

StepRecovery RecoverInterruptedStep(const std::wstring& installDirectory, std::wstring* report) {
    report->clear();
    const std::wstring path = StepJournalPath(installDirectory);
    Remove(UnfinishedPlanPath(installDirectory));
    if (!FileExists(path)) {
        return StepRecovery::kNone;
    }
    std::string bytes;
    StepJournalPlan plan;
    const Parsed parsed = ReadWholeFile(path, &bytes) ? ParseJournal(bytes, &plan) : Parsed::kBad;
    if (parsed == Parsed::kBad) {
        *report = L"An interrupted patch step was found in " + installDirectory +
                  L", but its journal cannot be read; nothing was changed. Repair the "
                  L"installation or reinstall.";
        return StepRecovery::kUnreadable;
    }
    bool ok = true;
    const std::wstring logPath = JoinPath(installDirectory, L"unins000.dat");
    if (parsed == Parsed::kCommitted) {
        for (const StepJournalEntry& e : plan.entries) {
            ok = CleanUp(e) && ok;
        }
        ok = Remove(plan.uninstallLogCopy) && ok;
    } else {
        // Later changes first, as the engine's own roll-back goes stage by stage.
        for (auto it = plan.entries.rbegin(); it != plan.entries.rend(); ++it) {
            ok = Undo(*it) && ok;
        }
        if (plan.uninstallLogPresent && FileExists(plan.uninstallLogCopy)) {
            if (Md5Of(plan.uninstallLogCopy) == plan.uninstallLogMD5) {
                ok = Platform::ReplaceFile(plan.uninstallLogCopy, logPath) && ok;
            } else {
                ok = Remove(plan.uninstallLogCopy) && ok;
            }
        }
    }
    Remove(JoinPath(installDirectory, L"unins000_temp.dat"));
    if (!ok) {
        *report = L"An interrupted patch step was found in " + installDirectory +
                  L", but it could not be finished; it will be tried again at the next start.";
        return StepRecovery::kFailed;
    }
    RemoveStepJournal(installDirectory);
    if (parsed == Parsed::kCommitted) {
        *report = L"An interrupted patch step was found in " + installDirectory +
                  L"; it had completed, and its leftover backups were removed.";
        return StepRecovery::kCompleted;
    }
    *report = L"An interrupted patch step was found in " + installDirectory +
              L"; it was undone and the installation is back at the build before it.";
    return StepRecovery::kUndone;
}
