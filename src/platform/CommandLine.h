// Windows command lines. A Win32 program receives one command line and its C runtime
// splits it into arguments; a POSIX program receives the arguments. The POSIX backend
// of CreateProcess splits the line here exactly as the Microsoft C runtime would, so a
// child sees the arguments a Windows child would see; the Win32 backend hands the line
// to the OS as it stands.
#pragma once

#include <string>
#include <vector>

namespace Platform {

// Splits by the rules of the Microsoft C runtime (2008 and later):
// - The program name (first argument) ends at the first space or tab outside double
//   quotes; quotes toggle and are dropped; backslashes are plain characters.
// - Later arguments are separated by spaces and tabs outside quotes. 2n backslashes
//   followed by a quote give n backslashes and the quote toggles quoting; 2n + 1
//   backslashes followed by a quote give n backslashes and a literal quote; backslashes
//   not followed by a quote are literal. Inside quotes, two quotes give one literal
//   quote and quoting goes on.
// - "" is an empty argument; trailing spaces add none.
std::vector<std::wstring> SplitWindowsCommandLine(const std::wstring& commandLine);

}  // namespace Platform
