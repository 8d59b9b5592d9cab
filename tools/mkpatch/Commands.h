// The commands of osmel-mkpatch, the tool patch authors use to make and check the data
// the patcher reads. Each command takes its own arguments (after the command name) and
// returns the process exit status: 0 done, 1 failed, 2 wrong arguments.
#pragma once

#include <string>
#include <vector>

#include "patch/Minisign.h"

namespace Mkpatch {

using Args = std::vector<std::string>;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunMd5(const Args& args);
int RunCompress(const Args& args);
int RunDecompress(const Args& args);
int RunSummary(const Args& args);
int RunDiff(const Args& args);
int RunPack(const Args& args);
int RunUnpack(const Args& args);
int RunInspect(const Args& args);
int RunArchive(const Args& args);
int RunApply(const Args& args);
int RunRecover(const Args& args);
int RunPatchList(const Args& args);
int RunKeygen(const Args& args);
int RunSign(const Args& args);
int RunVerify(const Args& args);

// Removes "NAME VALUE" from args; false when NAME is there without a value (an error
// has then been printed for command).
bool TakeOption(const std::string& command, Args& args, const std::string& name,
                std::string* value);
// A key or signature file, which is a few lines: error says why it cannot be read.
bool ReadKeyOrSignatureFile(const std::string& path, std::string* text, std::string* error);
// Reads a secret key file; false, with a message for command, when it is not one.
bool ReadSecretKey(const std::string& command, const std::string& path, Minisign::SecretKey* key);
// Writes PATH.minisig; an empty trusted comment becomes the time, the file's name and
// the kind, as minisign writes it. False, with a message for command, on failure.
bool SignFile(const std::string& command, const Minisign::SecretKey& key, const std::string& path,
              const std::string& trustedComment, bool prehashed);

// 'path', for messages.
std::string Quoted(const std::string& path);

// "osmel-mkpatch COMMAND: message" on stderr.
void Error(const std::string& command, const std::string& message);
// Error plus a pointer to --help; returns kExitUsage.
int UsageError(const std::string& command, const std::string& message);

}  // namespace Mkpatch
