// wxMSW's headers bring windows.h into the window's layers, and with it macros that would
// rename this system's own Win32-shaped names: Platform::CreateProcess would become
// Platform::CreateProcessW, Platform::KEY_READ a number. The Windows build includes this
// file first in every file of the application and window layers: it takes windows.h in
// the way wxWidgets does and drops those macros, and windows.h's include guard keeps them
// from coming back.
#pragma once

#include <wx/msw/wrapwin.h>

// The platform layer's calls.
#undef CaptureStackBackTrace
#undef CopyFile
#undef CreateDirectory
#undef CreateEvent
#undef CreateFileMapping
#undef CreateMutex
#undef CreateProcess
#undef DeleteFile
#undef GetEnvironmentVariable
#undef GetFileAttributes
#undef GetVersionEx
#undef LoadLibrary
#undef MoveFile
#undef OpenFileMapping
#undef OutputDebugString
#undef RegCreateKeyEx
#undef RegDeleteValue
#undef RegEnumKeyEx
#undef RegOpenKeyEx
#undef RegQueryValueEx
#undef RegSetValueEx
#undef RemoveDirectory
#undef ReplaceFile
#undef SetCurrentDirectory
#undef ShellExecute
#undef ShellExecuteEx
#undef WSASocket
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
