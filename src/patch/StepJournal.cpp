#include "patch/StepJournal.h"

#include <zlib.h>

#include <cstring>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/MD5.h"
#include "patch/SafePath.h"
#include "platform/Files.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace {

constexpr char kPlanMagic[4] = {'O', 'S', 'J', '1'};
constexpr char kCommitMagic[4] = {'O', 'S', 'J', 'C'};
constexpr std::uint32_t kVersion = 2;
// Version 1 had no directory entries; its journals are read the same way.
constexpr std::uint32_t kOldestVersion = 1;
// A plan larger than this is not a journal this program wrote.
constexpr std::uint32_t kMaxPayload = 256u << 20;

void PutString(std::string& out, const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    AppendLittleEndian<std::uint32_t>(out, static_cast<std::uint32_t>(utf8.size()));
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
        *v = LoadLittleEndian<std::uint32_t>(
            reinterpret_cast<const std::uint8_t*>(m_bytes.data() + m_at));
        m_at += 4;
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
    AppendLittleEndian<std::uint32_t>(payload, static_cast<std::uint32_t>(plan.entries.size()));
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
        if (!r.U8(&kind) || !r.U8(&flags) || kind < 1 || kind > 4 || !r.String(&e.target) ||
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
    if (!file.IsOpen()) {
        return false;
    }
    // Too large for a journal of this program: read as nothing, which is no journal.
    if (file.GetSize() > kMaxPayload + 64) {
        bytes->clear();
        return true;
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
    if (!r.U32(&version) || !r.U32(&length) || !r.U32(&crc) || version < kOldestVersion ||
        version > kVersion || length > kMaxPayload || bytes.size() - 16 < length) {
        return Parsed::kBad;
    }
    const std::string payload = bytes.substr(16, length);
    if (Crc(payload) != crc || !DecodePlan(payload, plan)) {
        return Parsed::kBad;
    }
    const std::string rest = bytes.substr(16 + length);
    std::string commit(kCommitMagic, 4);
    AppendLittleEndian<std::uint32_t>(commit, crc);
    // A commit record torn by the interruption is no commit: the step is undone, which is
    // still possible because backups are removed only after the record is on disk.
    return rest == commit ? Parsed::kCommitted : Parsed::kPlan;
}

// Moves the backup over the target (the target removed first, as the engine restores).
// The backup goes only once the target holds its bytes, so a restore cut at any point can
// be run again.
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

// Removes a directory the step created once nothing is left in it. One that holds
// something the step did not put there is left as it is.
bool RemoveCreatedDirectory(const std::wstring& directory) {
    if (!IsDirectory(directory)) {
        return true;
    }
    std::vector<Platform::DirectoryEntry> entries;
    if (!Platform::ListDirectoryEntries(directory, &entries)) {
        return false;
    }
    for (const Platform::DirectoryEntry& entry : entries) {
        if (entry.name != L"." && entry.name != L"..") {
            return true;
        }
    }
    return Platform::RemoveDirectory(directory);
}

// Puts one entry back as it was before the step.
bool Undo(const StepJournalEntry& e) {
    if (e.kind == StepJournalEntry::kDirectory) {
        return RemoveCreatedDirectory(e.target);
    }
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
        case StepJournalEntry::kDirectory:
            break;
    }
    return false;
}

// Removes what a committed step left behind.
bool CleanUp(const StepJournalEntry& e) {
    return e.kind == StepJournalEntry::kDirectory || !IsStepBackup(e) || Remove(e.backup);
}

// The path with "\" separators and without separators at its end, for comparing.
std::wstring Canonical(std::wstring path) {
    NormaliseSeparators(path, L'\\');
    while (path.size() > 1 && path.back() == L'\\') {
        path.pop_back();
    }
    return path;
}

// Whether the path lies below the installation under a name a step may change.
bool InsideInstallation(const std::wstring& path, const std::wstring& root) {
    const std::wstring canonical = Canonical(path);
    if (canonical.size() <= root.size() + 1 || canonical.compare(0, root.size(), root) != 0 ||
        canonical[root.size()] != L'\\') {
        return false;
    }
    const std::wstring relative = canonical.substr(root.size() + 1);
    return IsContainedRelativePath(relative) && !IsStepReservedPath(relative);
}

// Whether every path the journal names is one a step in this installation may touch: a
// journal found in an installation acts on that installation only, whatever it says.
bool PlanStaysInside(const StepJournalPlan& plan, const std::wstring& installDirectory) {
    const std::wstring root = Canonical(installDirectory);
    if (Canonical(plan.installDirectory) != root) {
        return false;
    }
    for (const StepJournalEntry& e : plan.entries) {
        if (!InsideInstallation(e.target, root)) {
            return false;
        }
        const bool backupFits =
            e.kind == StepJournalEntry::kDirectory
                ? e.backup.empty()
                : Canonical(e.backup) == Canonical(e.target) + kStepBackupSuffix;
        if (!backupFits) {
            return false;
        }
    }
    return plan.uninstallLogCopy.empty() ||
           Canonical(plan.uninstallLogCopy) == Canonical(UninstallLogCopyPath(installDirectory));
}

bool WriteDurably(const std::wstring& path, const std::string& bytes, bool append) {
    std::FILE* f = Platform::OpenFileStream(path, append ? "ab" : "wb");
    if (f == nullptr) {
        return false;
    }
    const bool written = Platform::WriteFileStream(f, bytes.data(), bytes.size()) == bytes.size() &&
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

bool IsStepReservedPath(const std::wstring& relative) {
    std::wstring name = Canonical(relative);
    for (wchar_t& c : name) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    const std::wstring suffix = kStepBackupSuffix;
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return true;
    }
    for (const wchar_t* reserved :
         {L"osmel-step.journal", L"osmel-step.journal.new", L"unins000.dat",
          L"unins000.dat.osmel-old", L"unins000_temp.dat"}) {
        if (name == reserved) {
            return true;
        }
    }
    return false;
}

bool IsStepBackup(const StepJournalEntry& entry) {
    if (!FileExists(entry.backup) || IsDirectory(entry.backup)) {
        return false;
    }
    if (!entry.backupExisted) {
        return true;
    }
    // Journals of earlier versions recorded a stale backup instead of removing it first.
    std::wstring digest;
    return !FileMD5Hex(entry.backup, &digest) || digest != entry.staleBackupMD5;
}

bool WriteStepJournal(const StepJournalPlan& plan) {
    const std::string payload = EncodePlan(plan);
    std::string bytes(kPlanMagic, 4);
    AppendLittleEndian<std::uint32_t>(bytes, kVersion);
    AppendLittleEndian<std::uint32_t>(bytes, static_cast<std::uint32_t>(payload.size()));
    AppendLittleEndian<std::uint32_t>(bytes, Crc(payload));
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

namespace {

// Syncs what the step's end did (backups removed or moved back), then removes the journal.
bool RemoveStepJournal(const std::wstring& installDirectory) {
    if (!Platform::SyncFileSystem(installDirectory) ||
        !Platform::DeleteFile(StepJournalPath(installDirectory))) {
        return false;
    }
    // Should the removal not reach the disk, the next start finishes the step once more,
    // which changes nothing.
    Platform::SyncDirectory(installDirectory);
    return true;
}

// Puts the uninstaller log back from its saved copy; a copy cut short is no copy.
bool RestoreUninstallLog(const StepJournalPlan& plan, const std::wstring& logPath) {
    if (!plan.uninstallLogPresent || !FileExists(plan.uninstallLogCopy)) {
        return Remove(plan.uninstallLogCopy);
    }
    std::wstring digest;
    if (!FileMD5Hex(plan.uninstallLogCopy, &digest)) {
        return false;
    }
    return digest == plan.uninstallLogMD5 ? Platform::ReplaceFile(plan.uninstallLogCopy, logPath)
                                          : Remove(plan.uninstallLogCopy);
}

}  // namespace

StepRecovery FinishStep(const std::wstring& installDirectory, bool* committed) {
    *committed = false;
    const std::wstring path = StepJournalPath(installDirectory);
    if (!FileExists(path)) {
        return StepRecovery::kNone;
    }
    std::string bytes;
    if (!ReadWholeFile(path, &bytes)) {
        SystemLog("FinishStep> %s cannot be read", WideToUtf8(path).c_str());
        return StepRecovery::kFailed;
    }
    StepJournalPlan plan;
    const Parsed parsed = ParseJournal(bytes, &plan);
    if (parsed == Parsed::kBad) {
        SystemLog("FinishStep> %s is not a journal of this program", WideToUtf8(path).c_str());
        return StepRecovery::kUnreadable;
    }
    if (!PlanStaysInside(plan, installDirectory)) {
        SystemLog("FinishStep> %s names paths outside the installation", WideToUtf8(path).c_str());
        return StepRecovery::kUnreadable;
    }
    *committed = parsed == Parsed::kCommitted;
    bool ok = true;
    if (*committed) {
        for (const StepJournalEntry& e : plan.entries) {
            ok = CleanUp(e) && ok;
        }
        ok = Remove(plan.uninstallLogCopy) && ok;
    } else {
        // Later changes first, so that a directory the step created is empty when its turn
        // comes.
        for (auto it = plan.entries.rbegin(); it != plan.entries.rend(); ++it) {
            ok = Undo(*it) && ok;
        }
        ok = RestoreUninstallLog(plan, JoinPath(installDirectory, L"unins000.dat")) && ok;
    }
    ok = Remove(JoinPath(installDirectory, L"unins000_temp.dat")) && ok;
    if (!ok || !RemoveStepJournal(installDirectory)) {
        return StepRecovery::kFailed;
    }
    return *committed ? StepRecovery::kCompleted : StepRecovery::kUndone;
}

StepRecovery RecoverInterruptedStep(const std::wstring& installDirectory, std::wstring* report) {
    report->clear();
    const std::wstring found = L"An interrupted patch step was found in " + installDirectory;
    // An unfinished plan: the step was cut before its first change.
    if (!Remove(UnfinishedPlanPath(installDirectory))) {
        *report = found +
                  L", but it could not be finished; it will be tried again at the next "
                  L"start.";
        return StepRecovery::kFailed;
    }
    bool committed = false;
    const StepRecovery recovery = FinishStep(installDirectory, &committed);
    switch (recovery) {
        case StepRecovery::kNone:
            break;
        case StepRecovery::kUnreadable:
            *report = found +
                      L", but its journal cannot be read; nothing was changed. Repair "
                      L"the installation or reinstall.";
            break;
        case StepRecovery::kFailed:
            *report = found +
                      L", but it could not be finished; it will be tried again at the "
                      L"next start.";
            break;
        case StepRecovery::kCompleted:
            *report = found + L"; it had completed, and its leftover backups were removed.";
            break;
        case StepRecovery::kUndone:
            *report = found +
                      L"; it was undone and the installation is back at the build "
                      L"before it.";
            break;
    }
    return recovery;
}
