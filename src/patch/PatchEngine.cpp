#include "patch/PatchEngine.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
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
#include "platform/System.h"

namespace {

// How often a running tool is checked for a cancel and its time.
constexpr Platform::DWORD kToolPollMs = 250;
std::atomic<std::uint32_t> g_toolTimeLimitSeconds{kDefaultPatchToolTimeLimitSeconds};

struct NamedList {
    const wchar_t* name;
    std::vector<PatchListEntry>* entries;
};

std::wstring Normalised(std::wstring path) {
    NormaliseSeparators(path, L'\\');
    return path;
}

std::wstring DirectoryOf(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

// The path as Windows tells names apart: "\" separated, "." and empty components
// dropped, ASCII letters in lower case.
std::wstring ComparisonKey(const std::wstring& path) {
    std::wstring key;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) {
            end = path.size();
        }
        std::wstring component = path.substr(start, end - start);
        if (!component.empty() && component != L".") {
            for (wchar_t& c : component) {
                if (c >= L'A' && c <= L'Z') {
                    c = static_cast<wchar_t>(c - L'A' + L'a');
                }
            }
            key += key.empty() ? component : L"\\" + component;
        }
        start = end + 1;
    }
    return key;
}

void Log(std::int32_t level, const std::wstring& text) {
    ReportLogLine(level, text);
}

bool EnsureDirectory(const std::wstring& directory) {
    return directory.empty() || IsDirectory(directory) || MakeDirectory(directory);
}

bool SameDigest(const std::wstring& path, const std::wstring& expected) {
    std::wstring digest;
    return FileMD5Hex(path, &digest) && digest == expected;
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
    // Refuses, before anything changes, a step whose lists could make it lose or
    // misplace a file; then clears backups left by an older interrupted run.
    bool Prepare();
    // What the step is about to do, for the durable journal.
    StepJournalPlan Plan() const;
    std::int32_t EntryCount() const {
        return static_cast<std::int32_t>(m_added.size() + m_deleted.size() + m_patched.size());
    }
    bool AddFilesStage();
    bool DeleteFilesStage();
    bool PatchFilesStage();

private:
    std::wstring Installed(const std::wstring& relative) const {
        return Normalised(JoinPath(m_install, relative));
    }
    std::wstring Data(const std::wstring& relative) const {
        return Normalised(JoinPath(JoinPath(m_patch, L"data"), relative));
    }
    bool ReadList(const wchar_t* name, std::vector<PatchListEntry>* entries);
    bool RefuseLists(const std::wstring& path, const std::wstring& reason) const;
    bool RunTool(const std::wstring& commandLine, const PatchListEntry& entry, bool converter);

    std::wstring m_install;
    std::wstring m_patch;
    std::wstring m_bin;
    std::vector<PatchListEntry> m_added;
    std::vector<PatchListEntry> m_deleted;
    std::vector<PatchListEntry> m_patched;
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

bool Engine::RefuseLists(const std::wstring& path, const std::wstring& reason) const {
    SystemLog("PatchInstallation> %s: %s", WideToUtf8(path).c_str(), WideToUtf8(reason).c_str());
    Log(LOG_ERROR, L"Invalid patch list " + path + L": " + reason);
    return false;
}

bool Engine::Prepare() {
    // Every path once, across the three lists, and none below another: a path named
    // twice would be backed up twice and its first backup lost on roll-back, and a
    // file that is a directory of another entry cannot be both.
    std::map<std::wstring, std::wstring> keys;  // key, list path
    for (const NamedList& list :
         {NamedList{L"addedFiles.txt", &m_added}, NamedList{L"deletedFiles.txt", &m_deleted},
          NamedList{L"patchedFiles.txt", &m_patched}}) {
        const std::wstring listPath = JoinPath(m_patch, list.name);
        for (const PatchListEntry& entry : *list.entries) {
            if (IsStepReservedPath(entry.path)) {
                return RefuseLists(listPath, L"the path \"" + entry.path +
                                                 L"\" is a name the patcher keeps for itself");
            }
            if (IsDirectory(Installed(entry.path))) {
                return RefuseLists(listPath,
                                   L"the path \"" + entry.path + L"\" is a directory here");
            }
            if (!keys.emplace(ComparisonKey(entry.path), listPath).second) {
                return RefuseLists(listPath, L"the path \"" + entry.path + L"\" is named twice");
            }
        }
    }
    for (const auto& [key, listPath] : keys) {
        for (std::size_t at = key.find(L'\\'); at != std::wstring::npos;
             at = key.find(L'\\', at + 1)) {
            if (keys.count(key.substr(0, at)) != 0) {
                return RefuseLists(listPath, L"the path \"" + key + L"\" lies below the file \"" +
                                                 key.substr(0, at) + L"\" of another entry");
            }
        }
    }
    // A backup left by an older interrupted run would stand where this step keeps its
    // own and could be taken for it.
    for (const std::vector<PatchListEntry>* list : {&m_added, &m_deleted, &m_patched}) {
        for (const PatchListEntry& entry : *list) {
            const std::wstring backup = Installed(entry.path) + kStepBackupSuffix;
            if (FileExists(backup) && (IsDirectory(backup) || !DeleteFile(backup))) {
                Log(LOG_ERROR, FillFields(L"Failed to create backup of file %s", {backup}));
                return false;
            }
        }
    }
    return true;
}

StepJournalPlan Engine::Plan() const {
    StepJournalPlan plan;
    plan.installDirectory = m_install;
    plan.patchDirectory = m_patch;
    // The directories the step will create, parents first: undone last, once empty.
    std::vector<std::wstring> created;
    const auto note = [&](const std::wstring& target) {
        std::vector<std::wstring> missing;
        for (std::wstring d = DirectoryOf(target);
             d.size() > Normalised(m_install).size() && !FileExists(d); d = DirectoryOf(d)) {
            missing.push_back(d);
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (std::find(created.begin(), created.end(), *it) == created.end()) {
                created.push_back(*it);
            }
        }
    };
    for (const PatchListEntry& entry : m_added) {
        note(Installed(entry.path));
    }
    for (const std::wstring& directory : created) {
        StepJournalEntry e;
        e.kind = StepJournalEntry::kDirectory;
        e.target = directory;
        plan.entries.push_back(std::move(e));
    }
    const auto add = [this, &plan](StepJournalEntry::Kind kind, const PatchListEntry& entry) {
        StepJournalEntry e;
        e.kind = kind;
        e.target = Installed(entry.path);
        e.backup = e.target + kStepBackupSuffix;
        e.oldMD5 = entry.sourceMD5;
        e.newMD5 = entry.targetMD5;
        e.targetExisted = FileExists(e.target) && !IsDirectory(e.target);
        plan.entries.push_back(std::move(e));
    };
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

bool Engine::AddFilesStage() {
    for (const PatchListEntry& entry : m_added) {
        if (!ReportContinue()) {
            return false;
        }
        const std::wstring source = Data(entry.path);
        const std::wstring target = Installed(entry.path);
        const std::wstring directory = DirectoryOf(target);
        if (!EnsureDirectory(directory)) {
            Log(LOG_ERROR, L"Could not create the directory: " + directory);
            Log(LOG_NORMAL, L"Failed adding: " + entry.path + L"...");
            return false;
        }
        // A file already in the way belongs to the user: keep it for the roll-back.
        if (FileExists(target)) {
            const std::wstring backup = target + kStepBackupSuffix;
            if (!Platform::MoveFile(target, backup)) {
                Log(LOG_ERROR, FillFields(L"Failed to create backup of file %s", {backup}));
                Log(LOG_NORMAL, L"Failed adding: " + entry.path + L"...");
                return false;
            }
        }
        if (!Platform::CopyFile(source, target, false)) {
            Platform::DeleteFile(target);
            if (!Platform::CopyFile(source, target, false)) {
                Log(LOG_ERROR, L"Could not copy the file: " + source);
                Log(LOG_NORMAL, L"Failed adding: " + entry.path + L"...");
                return false;
            }
        }
        if (!entry.targetMD5.empty() && !SameDigest(target, entry.targetMD5)) {
            Log(LOG_ERROR, L"The added file does not match its checksum: " + target);
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
        if (!FileExists(target)) {
            Log(LOG_NOTE, L"File seems to have been removed already: " + target);
            continue;
        }
        if (!Platform::MoveFile(target, target + kStepBackupSuffix)) {
            Log(LOG_ERROR, L"Could not delete: " + target);
            return false;
        }
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
    // The tool is asked to end when the user cancels or when it overruns its time.
    const std::uint64_t limit = std::uint64_t{g_toolTimeLimitSeconds.load()} * 1000;
    const std::uint64_t started = Platform::GetTickCount64();
    bool cancelled = false;
    bool overran = false;
    while (Platform::WaitForSingleObject(process.process, kToolPollMs) == Platform::kWaitTimeout) {
        cancelled = !ReportContinue();
        overran = Platform::GetTickCount64() - started >= limit;
        if (cancelled || overran) {
            Platform::TerminateProcess(process.process, 1);
            Platform::WaitForSingleObject(process.process, Platform::kInfinite);
            break;
        }
    }
    if (cancelled || overran) {
        Platform::CloseHandle(process.process);
        Platform::CloseHandle(process.thread);
        // A cancel ends the step as quietly as between two files.
        if (overran) {
            Log(LOG_ERROR, L"The patch tool took longer than " +
                               std::to_wstring(g_toolTimeLimitSeconds.load()) + L" seconds for " +
                               entry.path + L" and was stopped.");
        }
        return false;
    }
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
        const std::wstring backup = target + kStepBackupSuffix;
        const bool converter =
            IsConverterFileName(entry.path) && FileExists(m_bin + L"KAConverter.exe");
        const std::wstring diffFile = Data(DifferenceFileName(entry.path, converter));
        // The converter checks the contents itself: it answers 1 when they do not match.
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
        if (!Platform::MoveFile(target, backup)) {
            Log(LOG_ERROR, FillFields(L"Failed to create backup of file %s", {backup}));
            return false;
        }
        std::wstring commandLine = L"\"" + m_bin;
        commandLine += converter ? L"KAConverter.exe\" patchapply" : L"kpatchl-w32.exe\"";
        for (const std::wstring& argument : {backup, diffFile, target}) {
            commandLine.append(L" ").append(QuoteArgument(argument));
        }
        if (!RunTool(commandLine, entry, converter)) {
            return false;
        }
        // A tool that says it succeeded has still to be believed by the result.
        if (!converter && !SameDigest(target, entry.targetMD5)) {
            Log(LOG_ERROR, L"The patched file does not match its checksum: " + target);
            return false;
        }
    }
    return true;
}

// Keeps a synced copy of the uninstaller log until the step ends, so that an undo can put
// its old bytes back. The copy is opened for writing, as Windows flushes only a handle
// that may write.
bool KeepUninstallLogCopy(const std::wstring& installDirectory, const std::wstring& copyPath) {
    std::FILE* copy = nullptr;
    const bool ok =
        Platform::CopyFile(JoinPath(installDirectory, L"unins000.dat"), copyPath, false) &&
        (copy = Platform::OpenFileStream(copyPath, "r+b")) != nullptr &&
        Platform::SyncFileStream(copy);
    if (copy != nullptr) {
        std::fclose(copy);
    }
    if (!ok) {
        Log(LOG_ERROR, L"Could not keep a copy of the uninstaller log: " + copyPath);
    }
    return ok;
}

}  // namespace

PatchStepEnd ApplyPatchStep(const std::wstring& installDirectory,
                            const std::wstring& patchDirectory, const std::wstring& lastFileName) {
    Engine engine(installDirectory, patchDirectory);
    if (!engine.ReadLists(lastFileName) || !engine.Prepare()) {
        return PatchStepEnd::kOldBuild;
    }
    // Before the first change, the plan is on disk: whatever interrupts the step, the
    // next start can finish it (see StepJournal.h).
    const StepJournalPlan plan = engine.Plan();
    if (!WriteStepJournal(plan)) {
        Log(LOG_ERROR, L"Could not write the patch journal " + StepJournalPath(installDirectory));
        return PatchStepEnd::kOldBuild;
    }
    ReportTotal(engine.EntryCount());
    bool ok = engine.AddFilesStage() && engine.DeleteFilesStage() && engine.PatchFilesStage();
    if (ok && plan.uninstallLogPresent) {
        ok = KeepUninstallLogCopy(installDirectory, plan.uninstallLogCopy);
    }
    if (ok) {
        ok = UpdateUninstallLog(installDirectory, patchDirectory);
    }
    const bool commitWritten = ok && CommitStepJournal(installDirectory);
    const bool commitFailed = ok && !commitWritten;
    // The step ends from its journal, as an interrupted one does at the next start: undone
    // unless the commit record is on disk. The answer says which build is installed.
    bool committed = false;
    const StepRecovery end = FinishStep(installDirectory, &committed);
    // A journal that could not be read back is still committed when the record was written.
    committed = committed || commitWritten;
    if (commitFailed && !committed) {
        Log(LOG_ERROR, L"Could not write the patch journal " + StepJournalPath(installDirectory));
    }
    if (committed) {
        if (end != StepRecovery::kCompleted) {
            Log(LOG_NOTE,
                L"Some backups of the patch step could not be removed yet; they "
                L"will be removed at the next start.");
        }
        return PatchStepEnd::kNewBuild;
    }
    if (end == StepRecovery::kUndone) {
        return PatchStepEnd::kOldBuild;
    }
    Log(LOG_ERROR, L"The patch step could not be undone: the installation in " + installDirectory +
                       L" is incomplete. It will be tried again at the next start; if that "
                       L"fails, repair the installation.");
    return PatchStepEnd::kUnfinished;
}

void SetPatchToolTimeLimit(std::uint32_t seconds) {
    g_toolTimeLimitSeconds.store(seconds);
}

bool PatchInstallation(const std::wstring& installDirectory, const std::wstring& patchDirectory,
                       const std::wstring& lastFileName) {
    return ApplyPatchStep(installDirectory, patchDirectory, lastFileName) ==
           PatchStepEnd::kNewBuild;
}
