// The process runner: starts one child with its standard output and standard error
// joined on one pipe, and lets the caller read that pipe in chunks, wait for the child
// and release everything. Callers run the drain loop themselves:
//
//   ChildProcess* child = StartChildProcess(path, arguments);
//   bool outEnded = false, errEnded = false;
//   while (!outEnded || !errEnded) {
//       if (!outEnded && !child->ReadStdout(chunk)) outEnded = true;
//       if (!errEnded && !child->ReadStderr(chunk)) errEnded = true;
//   }
//   child->Wait(Platform::kInfinite);
//   child->Close();
//   delete child;
//
// The pipe ends only when every process holding its write end has closed it, so the
// loop also waits for grandchildren that inherited it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Sync.h"
#include "platform/Win32Types.h"

// One started child, owned by the caller of StartChildProcess. Used by one thread; only
// `processHandle` may be read by another (to terminate the child), under the caller's
// own lock.
struct ChildProcess {
    static constexpr std::uint32_t kChunkSize = 8192;

    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Closes whatever Close has not closed yet.
    ~ChildProcess();

    // One blocking read of up to 8 KiB, appended to `text` up to its first zero byte.
    // True when a read completed, false when the pipe has ended or failed.
    bool ReadStdout(std::string& text);
    // The same on `stderrRead`, which is always null: false at once.
    bool ReadStderr(std::string& text);
    // True when the child has ended within the timeout (Platform::kInfinite: no limit).
    bool Wait(std::uint32_t timeoutMs);
    // Closes the pipe and both process handles and frees the buffer.
    void Close();

    Platform::Handle processHandle = nullptr;
    Platform::Handle threadHandle = nullptr;
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    Platform::Handle stdoutRead = nullptr;
    Platform::Handle stderrRead = nullptr;
    std::unique_ptr<char[]> readBuffer;

private:
    bool ReadPipe(Platform::Handle pipe, std::string& text);
};

// One argument of a command line in quotes, so that the Windows rules split it back as
// it is: a '"' inside (legal in POSIX names) becomes \" with the backslashes before it
// doubled, as are backslashes at the end. Without either, simply the text in quotes.
std::wstring QuoteArgument(const std::wstring& argument);

// Starts `"<executable>" <arguments>` (the path as FileSystemPath gives it) with no
// window, this process's environment, current directory and standard input. Null when
// the child cannot be started or the command line would exceed 4095 characters; no
// message is produced here. Arguments that name files are given as wide text, so that
// the paths in them reach the child as the file system names them.
ChildProcess* StartChildProcess(const std::wstring& executable, const std::wstring& arguments);
// The same with narrow arguments.
ChildProcess* StartChildProcess(const std::wstring& executable, const std::string& arguments);
