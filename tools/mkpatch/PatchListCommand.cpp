// patchlist: the "patches.txt" a patch server publishes for a chain of packages, each
// record binding its package by size and SHA-256, and with --sign the list's signature.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "OutputFile.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "patch/Sha256.h"
#include "session/PatchDiscovery.h"
#include "session/PatchListSignature.h"

namespace Mkpatch {

namespace {

constexpr const char* kCommand = "patchlist";

struct Step {
    std::string from;
    std::string to;
    std::string data;
    // The package on this machine; by default where a relative address leads from the
    // list, or an absolute address's last part beside the list.
    std::string file;
    std::uint64_t size = 0;
    std::string sha256;
    // The record without the package's size and digest.
    std::string record;
};

bool DigestFile(const std::string& path, std::uint64_t* size, std::string* sha256) {
    BexoDataBufferFile file(Utf8ToWide(path), BexoDataBufferFile::kModeRead);
    if (!file.IsOpen()) {
        return false;
    }
    *size = file.GetSize();
    Sha256 digest;
    std::vector<char> chunk(1 << 20);
    for (std::uint64_t left = *size; left > 0;) {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, chunk.size()));
        if (file.ReadData(chunk.data(), count) != BEXORESULT_OK) {
            return false;
        }
        digest.Update(chunk.data(), count);
        left -= count;
    }
    *sha256 = digest.HexDigest();
    return true;
}

// The list's directory, to which packages named by their address alone are relative.
std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string LastPart(const std::string& address) {
    const std::size_t slash = address.find_last_of('/');
    return slash == std::string::npos ? address : address.substr(slash + 1);
}

// The patcher refuses versions that could name another directory; refuse them here first.
bool IsVersion(const std::string& text) {
    if (text.empty() || text == "." || text == "..") {
        return false;
    }
    for (const char c : text) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                        (c >= 'A' && c <= 'Z') || c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// A value as the list reader gives it back: quoted when spaces or quotes at its ends
// would otherwise be lost.
bool FormatValue(const std::string& value, std::string* line) {
    if (value.empty() || value.find_first_of("\r\n") != std::string::npos) {
        return false;
    }
    const bool quote = value.front() == ' ' || value.back() == ' ' ||
                       (value.size() >= 2 && value.front() == '"' && value.back() == '"');
    *line += quote ? "\"" + value + "\"" : value;
    return true;
}

}  // namespace

int RunPatchList(const Args& arguments) {
    Args args = arguments;
    std::string output;
    std::string exeUrl;
    std::string keyPath;
    std::string listVersion;
    std::string expires;
    if (!TakeOption(kCommand, args, "-o", &output) ||
        !TakeOption(kCommand, args, "--exe-url", &exeUrl) ||
        !TakeOption(kCommand, args, "--sign", &keyPath) ||
        !TakeOption(kCommand, args, "--list-version", &listVersion) ||
        !TakeOption(kCommand, args, "--expires", &expires)) {
        return kExitUsage;
    }
    std::vector<Step> steps;
    for (std::size_t i = 0; i < args.size();) {
        if (args[i] == "--file" && !steps.empty() && i + 1 < args.size() &&
            steps.back().file.empty()) {
            steps.back().file = args[i + 1];
            i += 2;
            continue;
        }
        if (args[i] != "--step") {
            return UsageError(kCommand, "unexpected argument " + Quoted(args[i]));
        }
        if (i + 3 >= args.size()) {
            return UsageError(kCommand, "--step needs FROM TO DATA_URL");
        }
        Step step;
        step.from = args[i + 1];
        step.to = args[i + 2];
        step.data = args[i + 3];
        steps.push_back(step);
        i += 4;
    }
    if (output.empty() || exeUrl.empty() || steps.empty()) {
        return UsageError(kCommand, "-o FILE, --exe-url URL and at least one --step are needed");
    }
    if (keyPath.empty() && (!listVersion.empty() || !expires.empty())) {
        return UsageError(kCommand, "--list-version and --expires go with --sign");
    }
    std::uint64_t version = 0;
    if (listVersion.empty()) {
        // The time of signing only grows, so it serves when the publisher keeps no count.
        version =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
    } else if (!BexoPatch::ParseListVersion(listVersion, &version)) {
        return UsageError(kCommand, "--list-version takes a decimal number");
    }
    std::int64_t expiry = 0;
    if (!expires.empty() && !BexoPatch::ParseUtcTime(expires, &expiry)) {
        return UsageError(kCommand, "--expires takes a time as YYYY-MM-DDTHH:MM:SSZ");
    }

    std::set<std::string> sources;
    for (Step& step : steps) {
        if (!IsVersion(step.from) || !IsVersion(step.to) || step.from == step.to) {
            return UsageError(kCommand, "a step leads from one build number to another: " +
                                            Quoted(step.from) + " " + Quoted(step.to));
        }
        if (!sources.insert(step.from).second) {
            return UsageError(kCommand, "two steps start at build " + Quoted(step.from));
        }
        step.record = "source-version: " + step.from + "\r\ntarget-version: " + step.to +
                      "\r\npatch-exe-url: ";
        if (!FormatValue(exeUrl, &step.record)) {
            return UsageError(kCommand, "the exe address must be one line");
        }
        step.record += "\r\npatch-data-url: ";
        if (!FormatValue(step.data, &step.record)) {
            return UsageError(
                kCommand, "the data address of step " + step.from + " must be one non-empty line");
        }
    }
    // Read first, so that a key that cannot sign leaves the published list alone.
    Minisign::SecretKey key;
    if (!keyPath.empty() && !ReadSecretKey(kCommand, keyPath, &key)) {
        return kExitFailed;
    }

    std::string text;
    for (Step& step : steps) {
        if (step.file.empty()) {
            const bool absolute = step.data.find("://") != std::string::npos;
            step.file = DirectoryOf(output) + (absolute ? LastPart(step.data) : step.data);
        }
        if (!DigestFile(step.file, &step.size, &step.sha256)) {
            Error(kCommand, "cannot read the package of step " + step.from + ", " +
                                Quoted(step.file) + " (--file names another)");
            return kExitFailed;
        }
        if (!text.empty()) {
            text += "\r\n";
        }
        text += step.record + "\r\npatch-data-size: " + std::to_string(step.size) +
                "\r\npatch-data-sha256: " + step.sha256 + "\r\n";
    }

    // Read the list back as the patcher will, so a list that would lose a step is never
    // published.
    BexoDataBufferMemoryDynamic written;
    written.WriteData(text.data(), static_cast<std::uint32_t>(text.size()));
    written.Seek(0);
    BexoPatch::PatchDirectory check;
    check.ParsePatchList(&written, L"http://server.invalid/");
    for (const Step& step : steps) {
        const auto entry = check.FindPatch(step.from);
        if (!entry || entry->targetVersion != step.to || entry->dataSize != step.size ||
            entry->dataSha256 != step.sha256) {
            Error(kCommand, "the list would not give step " + step.from + " back");
            return kExitFailed;
        }
    }

    OutputFile file(Utf8ToWide(output));
    if (!file.IsOpen() ||
        file.Buffer()->WriteData(text.data(), static_cast<std::uint32_t>(text.size())) !=
            BEXORESULT_OK ||
        !file.Commit()) {
        Error(kCommand, "cannot write " + Quoted(output));
        return kExitFailed;
    }
    const std::wstring signature = Utf8ToWide(output + ".minisig");
    if (keyPath.empty()) {
        // A signature of the list this replaces would only make patchers refuse it.
        if (FileExists(signature) && !DeleteFile(signature)) {
            Error(kCommand, "cannot remove the old signature " + Quoted(output + ".minisig"));
            return kExitFailed;
        }
        return kExitOk;
    }
    if (!SignFile(kCommand, key, output, BexoPatch::FormatListComment(version, expiry), true)) {
        DeleteFile(Utf8ToWide(output));
        return kExitFailed;
    }
    std::printf("%s signed, list-version %llu\n", output.c_str(),
                static_cast<unsigned long long>(version));
    return kExitOk;
}

}  // namespace Mkpatch
