// The durable journal of one patch step, kept in the installation while the step runs,
// so that a step interrupted by a kill, a crash or a power cut is always finished later:
// undone when it had not committed, cleaned up when it had.
//
// File "osmel-step.journal" in the installation root, little-endian:
//   plan:   "OSJ1", u32 version (2; 1 is read too), u32 payload length, u32 CRC-32 of the payload,
//           payload (below)
//   commit: "OSJC", u32 CRC-32 of the plan's payload; appended once every change of the
//           step is on disk
// Payload: string installation, string patch directory, u32 entry count, then per entry
// u8 kind (1 add, 2 delete, 3 patch, 4 a directory the step creates), u8 flags (1: a file stood at
// the target before the step, 2: a backup file stood at the backup path before the step), string
// target, string backup, string old MD5, string new MD5, string MD5 of the backup that stood there
// before (empty when none); then u8 uninstaller log present, string its MD5, string the path of its
// saved copy. Strings are a u32 byte count and UTF-8.
//
// The plan is written and synced (file and directory) before the first change. Changes
// are then made as the engine always made them; the file system is synced as a whole
// before the commit record is written and synced. Undo is decided from the plan and what
// is on disk, entry by entry, so it is correct whichever change the interruption hit and
// can itself be interrupted and run again.
//
// The journal is the only record of what a step changed: a step that fails in process is
// undone from it exactly as a step cut off by a crash is at the next start, and it is
// removed only once the undo or the clean-up has finished. A journal that names a path
// outside the installation it lies in is not acted on at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct StepJournalEntry {
    enum Kind : std::uint8_t { kAdd = 1, kDelete = 2, kPatch = 3, kDirectory = 4 };
    Kind kind = kAdd;
    std::wstring target;
    std::wstring backup;  // target + ".pbk"; empty for a directory
    std::wstring oldMD5;  // patched files: the file before the step
    std::wstring newMD5;  // added and patched files: the file after the step
    bool targetExisted = false;
    bool backupExisted = false;
    std::wstring staleBackupMD5;  // the MD5 of a backup that stood there before
};

struct StepJournalPlan {
    std::wstring installDirectory;
    std::wstring patchDirectory;
    std::vector<StepJournalEntry> entries;
    bool uninstallLogPresent = false;
    std::wstring uninstallLogMD5;
    std::wstring uninstallLogCopy;
};

// The journal's path in an installation.
std::wstring StepJournalPath(const std::wstring& installDirectory);
// A plan being written, before it becomes the journal in one rename.
std::wstring UnfinishedPlanPath(const std::wstring& installDirectory);
// The saved copy of the uninstaller log, made before the log is replaced.
std::wstring UninstallLogCopyPath(const std::wstring& installDirectory);
// The suffix of a backup beside its file while a step runs.
inline constexpr wchar_t kStepBackupSuffix[] = L".pbk";
// Whether a path relative to the installation names something the engine itself writes:
// the journal and its unfinished plan, the uninstaller log, its saved copy and its
// temporary file, or a backup (any name ending in the backup suffix). Compared as Windows
// compares names: "\" or "/", any case. A list naming one could make a step overwrite
// its own record.
bool IsStepReservedPath(const std::wstring& relative);

// Writes the plan and makes it durable. False when it cannot: the step must not start.
bool WriteStepJournal(const StepJournalPlan& plan);
// Syncs every change of the step, then appends and syncs the commit record.
bool CommitStepJournal(const std::wstring& installDirectory);

// Whether "our backup" of the entry is on disk: the backup file exists and is not the one
// that stood there before the step.
bool IsStepBackup(const StepJournalEntry& entry);

enum class StepRecovery {
    kNone,        // no journal: nothing was interrupted
    kUndone,      // an uncommitted step was undone; the installation is the old build
    kCompleted,   // a committed step's leftover backups were removed; the new build
    kUnreadable,  // a journal that cannot be read (torn or foreign): left alone
    kFailed,      // undo or clean-up could not finish; the journal is kept for a retry
};

// Finishes the step whose journal lies in the installation: undoes it when it had not
// committed, removes its backups when it had, then removes the journal. `committed` tells
// which build the step ended in, also when the end could not be finished (kFailed: the
// journal stays for the next try). The engine calls it when a step ends; recovery at the
// next start calls it through RecoverInterruptedStep.
StepRecovery FinishStep(const std::wstring& installDirectory, bool* committed);

// Finishes an interrupted step in the installation, if there is one. `report` gets the
// fixed English line for the window log (empty for kNone).
StepRecovery RecoverInterruptedStep(const std::wstring& installDirectory, std::wstring* report);
