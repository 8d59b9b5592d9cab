#include "patch/PatchEngine.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/ChildProcess.h"
#include "kernel/FileUtil.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/MD5.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchList.h"
#include "patch/StepJournal.h"
#include "patch/UninstallLog.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Sync.h"

namespace {

const wchar_t kBackupSuffix[] = L".pbk";

struct Backup {
    std::wstring installed;
    std::wstring backup;  // empty: nothing was there to back up
};

std::wstring Normalised(std::wstring path) {
    NormaliseSeparators(path, L'\\');
    return path;
}

std::wstring DirectoryOf(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring FileNameOf(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

void Log(std::int32_t level, const std::wstring& text) {
    ReportLogLine(level, text);
}

// A platform move; when it fails, a copy over the target followed by removing the source
// (whose failure is ignored).
bool RenameFile(const std::wstring& from, const std::wstring& to) {
    if (MoveFile(from, to)) {
        return true;
    }
    if (!Platform::CopyFile(from, to, false)) {
        return false;
    }
    Platform::DeleteFile(from);
    return true;
}

bool EnsureDirectory(const std::wstring& directory) {
    return directory.empty() || IsDirectory(directory) || MakeDirectory(directory);
}

class Engine {
public:
    Engine(const std::wstring& install, const std::wstring& patch)
        : m_install(install), m_patch(patch) {
        m_bin = install;
        if (m_bin.empty() || m_bin.back() != L'\\') {
            m_bin += L'\\';
        }
        m_bin += L"bin\\";
    }

    bool ReadLists(const std::wstring& last);
    // What the step is about to do, for the durable journal.
    StepJournalPlan Plan() const;
    std::int32_t EntryCount() const {
        return static_cast<std::int32_t>(m_added.size() + m_deleted.size() + m_patched.size());
    }
    bool AddFilesStage();
    bool DeleteFilesStage();
    bool PatchFilesStage();
    void FinishAddStage(bool ok);
    void FinishDeleteStage(bool ok);
    void FinishPatchStage(bool ok);

private:
    std::wstring Installed(const std::wstring& relative) const {
        return Normalised(JoinPath(m_install, relative));
    }
    std::wstring Data(const std::wstring& relative) const {
        return Normalised(JoinPath(JoinPath(m_patch, L"data"), relative));
    }
    bool ReadList(const wchar_t* name, std::vector<PatchListEntry>* entries);
    bool MakeBackup(const std::wstring& target, const std::wstring& backup);
    bool RunTool(const std::wstring& commandLine, const PatchListEntry& entry, bool converter);

    std::wstring m_install;
    std::wstring m_patch;
    std::wstring m_bin;
    std::vector<PatchListEntry> m_added;
    std::vector<PatchListEntry> m_deleted;
    std::vector<PatchListEntry> m_patched;
    std::vector<Backup> m_addJournal;
    std::vector<Backup> m_deleteJournal;
    std::vector<Backup> m_patchJournal;
};

bool Engine::ReadList(const wchar_t* name, std::vector<PatchListEntry>* entries) {
    const std::wstring path = JoinPath(m_patch, name);
    std::string error;
    const BEXORESULT result = ReadPatchList(path, entries, &error);
    if (result == BEXORESULT_NOT_FOUND) {
        Log(LOG_ERROR, L"Could not open: " + path + L" for reading. The file might not be present");
        return false;
    }
    if (result != BEXORESULT_OK) {
        SystemLog("PatchInstallation> %s: %s", WideToUtf8(path).c_str(), error.c_str());
        Log(LOG_ERROR, L"Invalid patch list " + path + L": " + Utf8ToWide(error));
        return false;
    }
    return true;
}

bool Engine::ReadLists(const std::wstring& last) {
    if (!ReadList(L"addedFiles.txt", &m_added) || !ReadList(L"deletedFiles.txt", &m_deleted) ||
        !ReadList(L"patchedFiles.txt", &m_patched)) {
        return false;
    }
    // A link inside the installation would take a change wherever it points: the step is
    // refused before anything is touched.
    for (const auto* list : {&m_added, &m_deleted, &m_patched}) {
        for (const PatchListEntry& entry : *list) {
            if (LeadsThroughLink(m_install, entry.path)) {
                Log(LOG_ERROR,
                    L"Refused to change a file through a link: " + Installed(entry.path));
                return false;
            }
        }
    }
    if (!last.empty()) {
        for (std::size_t i = 0; i < m_patched.size(); ++i) {
            if (m_patched[i].path.find(last) != std::wstring::npos) {
                PatchListEntry held = std::move(m_patched[i]);
                m_patched.erase(m_patched.begin() + static_cast<std::ptrdiff_t>(i));
                m_patched.push_back(std::move(held));
                break;
            }
        }
    }
    return true;
}

StepJournalPlan Engine::Plan() const {
    StepJournalPlan plan;
    plan.installDirectory = m_install;
    plan.patchDirectory = m_patch;
    const auto add = [this, &plan](StepJournalEntry::Kind kind, const PatchListEntry& entry) {
        StepJournalEntry e;
        e.kind = kind;
        e.target = Installed(entry.path);
        e.backup = e.target + kBackupSuffix;
        e.oldMD5 = entry.sourceMD5;
        e.newMD5 = entry.targetMD5;
        e.targetExisted = FileExists(e.target) && !IsDirectory(e.target);
        e.backupExisted = FileExists(e.backup) && !IsDirectory(e.backup);
        if (e.backupExisted) {
            FileMD5Hex(e.backup, &e.staleBackupMD5);
        }
        plan.entries.push_back(std::move(e));
    };
    plan.entries.reserve(m_added.size() + m_deleted.size() + m_patched.size());
    for (const PatchListEntry& entry : m_added) {
        add(StepJournalEntry::kAdd, entry);
    }
    for (const PatchListEntry& entry : m_deleted) {
        add(StepJournalEntry::kDelete, entry);
    }
    for (const PatchListEntry& entry : m_patched) {
        add(StepJournalEntry::kPatch, entry);
    }
    const std::wstring log = JoinPath(m_install, L"unins000.dat");
    plan.uninstallLogPresent = !m_added.empty() && FileExists(log) && !IsDirectory(log);
    if (plan.uninstallLogPresent) {
        FileMD5Hex(log, &plan.uninstallLogMD5);
        plan.uninstallLogCopy = UninstallLogCopyPath(m_install);
    }
    return plan;
}

bool Engine::MakeBackup(const std::wstring& target, const std::wstring& backup) {
    if (FileExists(backup) && !IsDirectory(backup) && !DeleteFile(backup)) {
        return false;
    }
    return RenameFile(target, backup);
}

bool Engine::AddFilesStage() {
    for (const PatchListEntry& entry : m_added) {
        if (!ReportContinue()) {
            return false;
        }
        const std::wstring source = Data(entry.path);
        const std::wstring target = Installed(entry.path);
        const std::wstring directory = DirectoryOf(target);
        bool failed = false;
        if (!EnsureDirectory(directory)) {
            Log(LOG_ERROR, L"Could not create the directory: " + directory);
            failed = true;
        }
        // A file already in the way belongs to the user: keep it for the roll-back.
        Backup journal{target, {}};
        if (FileExists(target) && !IsDirectory(target)) {
            const std::wstring backup = target + kBackupSuffix;
            if (!MakeBackup(target, backup)) {
                Log(LOG_ERROR, FillFields(L"Failed to create backup of file %s", {backup}));
                Log(LOG_NORMAL, L"Failed adding: " + entry.path + L"...");
                return false;
            }
            journal.backup = backup;
        }
        m_addJournal.push_back(journal);
        if (!Platform::CopyFile(source, target, false)) {
            Platform::DeleteFile(target);
            if (!Platform::CopyFile(source, target, false)) {
                Log(LOG_ERROR, L"Could not copy the file: " + source);
                failed = true;
            }
        }
        if (failed) {
            Log(LOG_NORMAL, L"Failed adding: " + entry.path + L"...");
            return false;
        }
    }
    return true;
}

bool Engine::DeleteFilesStage() {
    for (const PatchListEntry& entry : m_deleted) {
        if (!ReportContinue()) {
            return false;
        }
        const std::wstring target = Installed(entry.path);
        const std::wstring backup = target + kBackupSuffix;
        if (!RenameFile(target, backup)) {
            if (FileExists(target)) {
                Log(LOG_ERROR, L"Could not delete: " + target);
                return false;
            }
            Log(LOG_NOTE, L"File seems to have been removed already: " + target);
        }
        m_deleteJournal.push_back({target, backup});
    }
    return true;
}

bool Engine::RunTool(const std::wstring& commandLine, const PatchListEntry& entry, bool converter) {
    Platform::ProcessStartup startup;
    startup.inheritHandles = false;
    startup.currentDirectory = m_bin;
    // A tool must not go on writing into the installation after the patcher has gone:
    // the next start's recovery could otherwise be undone behind its back.
    startup.endWithParent = true;
    Platform::ProcessInformation process;
    if (!Platform::CreateProcess(commandLine, startup, &process)) {
        Log(LOG_NORMAL, L"Failed patch command: " + commandLine);
        return false;
    }
    Platform::WaitForSingleObject(process.process, Platform::kInfinite);
    Platform::DWORD exitCode = 0;
    const bool known = Platform::GetExitCodeProcess(process.process, &exitCode);
    Platform::CloseHandle(process.process);
    Platform::CloseHandle(process.thread);
    if (known && exitCode == 0) {
        return true;
    }
    const auto code = static_cast<std::int32_t>(exitCode);
    switch (known ? code : -1) {
        case 1:
            Log(LOG_ERROR, converter ? FillFields(L"Failed to patch %s, file contents do not match",
                                                  {entry.path})
                                     : L"Not enough Argument Specified to patch the file");
            break;
        case 2:
            Log(LOG_ERROR, FillFields(L"Could not open data file %s for reading.", {entry.path}));
            break;
        case 3:
            Log(LOG_ERROR, FillFields(L"Could not open patch file %s for reading.", {entry.path}));
            break;
        case 4:
            Log(LOG_ERROR, L"Could not open output file for writing.");
            break;
        default:
            Log(LOG_ERROR, L"An unknown error (" + std::to_wstring(code) +
                               L") occurred while patching file " + entry.path);
            break;
    }
    return false;
}

bool Engine::PatchFilesStage() {
    for (const PatchListEntry& entry : m_patched) {
        if (!ReportContinue()) {
            return false;
        }
        const std::wstring target = Installed(entry.path);
        const std::wstring backup = target + kBackupSuffix;
        const std::wstring name = FileNameOf(Normalised(entry.path));
        const std::wstring diffDirectory = DirectoryOf(Data(entry.path));
        const bool converter = name.size() >= 3 && name.find(L".ka") == name.size() - 3 &&
                               FileExists(m_bin + L"KAConverter.exe");
        const std::wstring diffFile =
            JoinPath(diffDirectory,
                     converter ? name.substr(0, name.size() - 3) + L"-diff.ka" : name + L".diff");
        if (!converter) {
            std::wstring digest;
            if (!FileMD5Hex(target, &digest)) {
                Log(LOG_ERROR, L"Failed to compute the checksum for existing file: " + target);
                return false;
            }
            if (digest == entry.targetMD5) {
                Log(LOG_NOTE, L"Existing file appears to have been patched already: " + target);
                continue;
            }
            if (digest != entry.sourceMD5) {
                Log(LOG_ERROR, L"Existing file is damaged and cannot be patched: " + target);
                return false;
            }
        }
        if (!MakeBackup(target, backup)) {
            Log(LOG_ERROR, FillFields(L"Failed to create backup of file %s", {backup}));
            return false;
        }
        m_patchJournal.push_back({target, backup});
        const std::wstring directory = DirectoryOf(target);
        if (!EnsureDirectory(directory)) {
            Log(LOG_ERROR, L"Could not create the directory: " + directory);
            return false;
        }
        std::wstring commandLine = L"\"" + m_bin;
        commandLine += converter ? L"KAConverter.exe\" patchapply" : L"kpatchl-w32.exe\"";
        for (const std::wstring& argument : {backup, Normalised(diffFile), target}) {
            commandLine.append(L" ").append(QuoteArgument(argument));
        }
        if (!RunTool(commandLine, entry, converter)) {
            return false;
        }
    }
    return true;
}

void Engine::FinishAddStage(bool ok) {
    for (const Backup& entry : m_addJournal) {
        if (ok) {
            if (!entry.backup.empty()) {
                DeleteFile(entry.backup);
            }
            continue;
        }
        DeleteFile(entry.installed);
        if (!entry.backup.empty()) {
            RenameFile(entry.backup, entry.installed);
        }
    }
}

void Engine::FinishDeleteStage(bool ok) {
    for (const Backup& entry : m_deleteJournal) {
        if (ok) {
            DeleteFile(entry.backup);
        } else {
            RenameFile(entry.backup, entry.installed);
        }
    }
}

void Engine::FinishPatchStage(bool ok) {
    for (const Backup& entry : m_patchJournal) {
        if (ok) {
            DeleteFile(entry.backup);
            continue;
        }
        if (FileExists(entry.backup) &&
            (!FileExists(entry.installed) || DeleteFile(entry.installed))) {
            RenameFile(entry.backup, entry.installed);
        } else {
            Log(LOG_ERROR, FillFields(L"Failed to restore backup file %s", {entry.installed}));
        }
    }
}

}  // namespace

bool PatchInstallation(const std::wstring& installDirectory, const std::wstring& patchDirectory,
                       const std::wstring& lastFileName) {
    Engine engine(installDirectory, patchDirectory);
    if (!engine.ReadLists(lastFileName)) {
        return false;
    }
    // Before the first change, the plan is on disk: whatever interrupts the step, the
    // next start can finish it (see StepJournal.h).
    const StepJournalPlan plan = engine.Plan();
    if (!WriteStepJournal(plan)) {
        Log(LOG_ERROR, L"Could not write the patch journal " + StepJournalPath(installDirectory));
        return false;
    }
    ReportTotal(engine.EntryCount());
    bool ok = engine.AddFilesStage();
    if (ok) {
        ok = engine.DeleteFilesStage();
    }
    if (ok) {
        ok = engine.PatchFilesStage();
    }
    if (ok && plan.uninstallLogPresent) {
        // The log is replaced in one rename; its old bytes are kept until the commit so
        // that an interrupted step can put them back. The copy is opened for writing, as
        // Windows flushes only a handle that may write.
        std::FILE* copy = nullptr;
        ok = Platform::CopyFile(JoinPath(installDirectory, L"unins000.dat"), plan.uninstallLogCopy,
                                false) &&
             (copy = Platform::OpenFileStream(plan.uninstallLogCopy, "r+b")) != nullptr &&
             Platform::SyncFileStream(copy);
        if (copy != nullptr) {
            std::fclose(copy);
        }
        if (!ok) {
            Log(LOG_ERROR,
                L"Could not keep a copy of the uninstaller log: " + plan.uninstallLogCopy);
        }
    }
    if (ok) {
        ok = UpdateUninstallLog(installDirectory, patchDirectory);
    }
    if (ok && !CommitStepJournal(installDirectory)) {
        Log(LOG_ERROR, L"Could not write the patch journal " + StepJournalPath(installDirectory));
        ok = false;
    }
    engine.FinishAddStage(ok);
    engine.FinishDeleteStage(ok);
    engine.FinishPatchStage(ok);
    if (plan.uninstallLogPresent) {
        Platform::DeleteFile(plan.uninstallLogCopy);
    }
    RemoveStepJournal(installDirectory);
    return ok;
}
