// Checks for relative paths that come from outside (package entry names, list files,
// archive probe paths) before they are joined to a directory.
#pragma once

#include <string_view>

// True when the path stays below whatever directory it is joined to: not empty, no root
// or drive ("\x", "/x", "C:..."), no ".." component and no control character. On Windows
// no ':' at all (no alternate stream); elsewhere ':' is an ordinary name character (see
// HasOnlyNameColons). "\" and "/" both separate; "." components are fine.
bool IsContainedRelativePath(std::wstring_view path);
