// Drops the macros of the Windows headers that would rename the platform layer's own
// Win32-shaped names (Platform::CreateProcess would become Platform::CreateProcessW,
// Platform::KEY_READ a number). Include it after the Windows headers that define them;
// it has no include guard, so that it can follow each of them.

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
#undef SetEnvironmentVariable
#undef ShellExecute
#undef ShellExecuteEx
#undef WSASocket
