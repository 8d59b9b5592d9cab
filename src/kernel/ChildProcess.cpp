#include "kernel/ChildProcess.h"

#include <cstring>

#include "kernel/FileUtil.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "platform/Process.h"

namespace {

// The command line buffer of the original platform: 4096 bytes with the terminator.
constexpr std::size_t kMaxCommandLine = 4095;

}  // namespace

ChildProcess::~ChildProcess() {
    Close();
}

bool ChildProcess::ReadPipe(Platform::Handle pipe, std::string& text) {
    if (pipe == nullptr) {
        return false;
    }
    if (!readBuffer) {
        readBuffer = std::make_unique<char[]>(kChunkSize + 1);
    }
    Platform::DWORD bytesRead = 0;
    if (!Platform::ReadFile(pipe, readBuffer.get(), kChunkSize, &bytesRead)) {
        return false;
    }
    if (bytesRead > 0) {
        readBuffer[bytesRead] = '\0';
        text.append(readBuffer.get(), std::strlen(readBuffer.get()));
    }
    return true;
}

bool ChildProcess::ReadStdout(std::string& text) {
    return ReadPipe(stdoutRead, text);
}

bool ChildProcess::ReadStderr(std::string& text) {
    return ReadPipe(stderrRead, text);
}

bool ChildProcess::Wait(std::uint32_t timeoutMs) {
    const Platform::DWORD result = Platform::WaitForSingleObject(processHandle, timeoutMs);
    return result == Platform::kWaitObject0 || result == Platform::kWaitAbandoned;
}

void ChildProcess::Close() {
    for (Platform::Handle* handle : {&stdoutRead, &stderrRead, &threadHandle, &processHandle}) {
        if (*handle != nullptr) {
            Platform::CloseHandle(*handle);
            *handle = nullptr;
        }
    }
    readBuffer.reset();
}

std::wstring QuoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
        } else {
            if (c == L'"') {
                quoted.append(backslashes + 1, L'\\');
            }
            backslashes = 0;
        }
        quoted += c;
    }
    quoted.append(backslashes, L'\\');
    return quoted + L"\"";
}

ChildProcess* StartChildProcess(const std::wstring& executable, const std::string& arguments) {
    return StartChildProcess(executable, ToWide(arguments));
}

ChildProcess* StartChildProcess(const std::wstring& executable, const std::wstring& arguments) {
    const std::wstring commandLine = L"\"" + FileSystemPath(executable) + L"\" " + arguments;
    // A cut command line would run the program with other arguments than asked.
    if (commandLine.size() > kMaxCommandLine) {
        SystemLog("StartChildProcess> the command line has %zu characters, more than %zu",
                  commandLine.size(), kMaxCommandLine);
        return nullptr;
    }

    Platform::Handle readEnd = nullptr;
    Platform::Handle writeEnd = nullptr;
    if (!Platform::CreatePipe(&readEnd, &writeEnd)) {
        return nullptr;
    }
    Platform::ProcessStartup startup;
    startup.stdOutput = writeEnd;
    startup.stdError = writeEnd;
    startup.inheritHandles = true;
    Platform::ProcessInformation information;
    const bool started = Platform::CreateProcess(commandLine, startup, &information);
    // The child holds its own copy; the pipe ends when the child and its children have
    // closed theirs.
    Platform::CloseHandle(writeEnd);
    if (!started) {
        Platform::CloseHandle(readEnd);
        return nullptr;
    }
    auto* child = new ChildProcess();
    child->processHandle = information.process;
    child->threadHandle = information.thread;
    child->processId = information.processId;
    child->threadId = information.threadId;
    child->stdoutRead = readEnd;
    return child;
}
