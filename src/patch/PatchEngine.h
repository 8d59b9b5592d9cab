// The file patching engine: applies one unpacked patch directory to the installation in
// three journalled stages (add, delete, patch), then records the added files in the
// uninstaller log. When anything fails, or the continue callback answers false, every
// change of the step is undone. Runs on the session thread, one run at a time; reports
// only through the process-wide callbacks.
#pragma once

#include <string>

// Directories and last file name as the session passes them ("BexoPortico.exe": the
// patched entry whose path contains it is applied last). True when every stage
// succeeded; false when the installation has been restored as far as possible.
//
// Beyond the journal of the original design: a list path that is absolute or climbs out
// with ".." fails the step before anything changes, and an added file that already
// exists is backed up like a patched file and put back on roll-back.
bool PatchInstallation(const std::wstring& installDirectory, const std::wstring& patchDirectory,
                       const std::wstring& lastFileName);
