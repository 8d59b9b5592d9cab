// Finding the installation and its build: the product's registry entries, the build list
// its utility tool writes, and the patch archive appended to this executable, which
// switches the process into standalone mode when it applies to the installation.
#pragma once

#include <string>

namespace BexoPatch {

// The install path of the last subkey (in the registry's enumeration order) under the
// product key whose "ProductClass" matches, ignoring case (any class when `productClass`
// is empty). Empty when nothing matches or the product key cannot be opened for full
// access.
std::wstring FindInstallPath(const std::wstring& productKey, const std::wstring& productClass);

// Runs `<tool> listbuilds "<list path>"` and queues every build of the list file the tool
// leaves (each build followed by a comma; text after the last comma is ignored), then
// deletes that file. True when at least one build was queued.
bool RunListBuilds(const std::wstring& toolPath, const std::wstring& listPath);

// Opens the archive appended to the executable and, when it applies to the installation
// (PatchSettings' directory, else the registry's, else the locate dialog's), switches to
// standalone mode with the archive's matching source builds queued. With `browse` the
// dialog opens at once.
bool LoadStandalonePatch(const std::wstring& executablePath, bool browse);

// The directory part of a path: trailing separators and the last component dropped, the
// separator before that component kept; empty when there is none.
std::wstring ParentDirectory(const std::wstring& path);

}  // namespace BexoPatch
