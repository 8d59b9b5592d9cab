// wxMSW's headers bring windows.h into the window's layers, and with it macros that would
// rename this system's own Win32-shaped names: Platform::CreateProcess would become
// Platform::CreateProcessW, Platform::KEY_READ a number. The Windows build includes this
// file first in every file of the application and window layers: it takes windows.h in
// the way wxWidgets does and drops those macros, and windows.h's include guard keeps them
// from coming back.
#pragma once

#include <wx/msw/wrapwin.h>

#include "platform/win32/PlatformNames.h"

// The platform layer's constants.
#undef KEY_CREATE_SUB_KEY
#undef KEY_ENUMERATE_SUB_KEYS
#undef KEY_QUERY_VALUE
#undef KEY_READ
#undef KEY_SET_VALUE
#undef KEY_WRITE
#undef REG_DWORD
#undef REG_SZ
// A 16-bit Windows relic that would replace the session's GetFreeSpace.
#undef GetFreeSpace
