#include "platform/CommandLine.h"

#include <cstddef>

namespace Platform {

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

}  // namespace

std::vector<std::wstring> SplitWindowsCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> arguments;
    const std::size_t size = commandLine.size();
    std::size_t i = 0;

    // The program name: no escapes, so "C:\dir\" is a directory name, not an escape.
    std::wstring program;
    bool quoted = false;
    while (i < size && (quoted || !IsBlank(commandLine[i]))) {
        if (commandLine[i] == L'"') {
            quoted = !quoted;
        } else {
            program += commandLine[i];
        }
        ++i;
    }
    arguments.push_back(program);

    for (;;) {
        while (i < size && IsBlank(commandLine[i])) {
            ++i;
        }
        if (i >= size) {
            break;
        }
        std::wstring argument;
        quoted = false;
        while (i < size) {
            std::size_t backslashes = 0;
            while (i < size && commandLine[i] == L'\\') {
                ++backslashes;
                ++i;
            }
            if (i < size && commandLine[i] == L'"') {
                argument.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    argument += L'"';
                    ++i;
                } else if (quoted && i + 1 < size && commandLine[i + 1] == L'"') {
                    argument += L'"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            argument.append(backslashes, L'\\');
            if (i >= size || (!quoted && IsBlank(commandLine[i]))) {
                break;
            }
            argument += commandLine[i];
            ++i;
        }
        arguments.push_back(argument);
    }
    return arguments;
}

}  // namespace Platform
