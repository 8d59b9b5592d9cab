// The file patching engine: applies one unpacked patch directory to the installation in
// three journalled stages (add, delete, patch), then records the added files in the
// uninstaller log. When anything fails, or the continue callback answers false, every
// change of the step is undone from the step's journal (StepJournal.h). Runs on the session thread,
// one run at a time; reports only through the process-wide callbacks.
#pragma once

#include <cstdint>
#include <string>

// How a step ended: which build the installation holds.
enum class PatchStepEnd {
    kNewBuild,    // every stage succeeded and the step committed
    kOldBuild,    // refused, failed or cancelled, and undone: the build before the step
    kUnfinished,  // failed, and the undo could not finish: its journal stays, and the next
                  // start tries again
};

// Directories and last file name as the session passes them ("BexoPortico.exe": the
// patched entry whose path contains it is applied last).
//
// Beyond the original design: the lists are refused before anything changes when a path
// is absolute, climbs out with "..", names a device, a directory or one of the engine's
// own files, is named twice or lies below another entry; an added file that already
// exists is backed up and put back on roll-back; added and patched files must match the
// list's MD5 afterwards; directories the step created go on roll-back.
PatchStepEnd ApplyPatchStep(const std::wstring& installDirectory,
                            const std::wstring& patchDirectory, const std::wstring& lastFileName);

// The time the difference tool or the converter may take for one file before it is
// stopped and the step fails; while it runs, the continue callback is asked four times a
// second, and a false answer stops it too. The default is far beyond what the largest
// file of a build needs on a slow disk. Any thread; takes effect at the next tool.
constexpr std::uint32_t kDefaultPatchToolTimeLimitSeconds = 3600;
void SetPatchToolTimeLimit(std::uint32_t seconds);

// ApplyPatchStep, true for kNewBuild.
bool PatchInstallation(const std::wstring& installDirectory, const std::wstring& patchDirectory,
                       const std::wstring& lastFileName);
