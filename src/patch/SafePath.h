// Checks for relative paths that come from outside (package entry names, list files,
// archive probe paths) before they are joined to a directory.
#pragma once

#include <string_view>

// True when the path stays below whatever directory it is joined to: not empty, no root
// or drive ("\x", "/x", "C:..."), no ':' at all (no drive, no alternate stream), no ".."
// component and no control character. "\" and "/" both separate; "." components are fine.
bool IsContainedRelativePath(std::wstring_view path);
