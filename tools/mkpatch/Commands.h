// The commands of osmel-mkpatch, the tool patch authors use to make and check the data
// the patcher reads. Each command takes its own arguments (after the command name) and
// returns the process exit status: 0 done, 1 failed, 2 wrong arguments.
#pragma once

#include <string>
#include <vector>

namespace Mkpatch {

using Args = std::vector<std::string>;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunMd5(const Args& args);
int RunCompress(const Args& args);
int RunDecompress(const Args& args);
int RunSummary(const Args& args);

// "osmel-mkpatch COMMAND: message" on stderr.
void Error(const std::string& command, const std::string& message);
// Error plus a pointer to --help; returns kExitUsage.
int UsageError(const std::string& command, const std::string& message);

}  // namespace Mkpatch
