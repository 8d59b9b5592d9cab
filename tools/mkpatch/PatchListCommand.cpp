// patchlist: the "patches.txt" a patch server publishes for a chain of packages.
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "OutputFile.h"
#include "kernel/Text.h"
#include "session/PatchDiscovery.h"

namespace Mkpatch {

namespace {

constexpr const char* kCommand = "patchlist";

struct Step {
    std::string from;
    std::string to;
    std::string data;
};

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
    if (!TakeOption(kCommand, args, "-o", &output) ||
        !TakeOption(kCommand, args, "--exe-url", &exeUrl)) {
        return kExitUsage;
    }
    std::vector<Step> steps;
    for (std::size_t i = 0; i < args.size();) {
        if (args[i] != "--step") {
            return UsageError(kCommand, "unexpected argument " + Quoted(args[i]));
        }
        if (i + 3 >= args.size()) {
            return UsageError(kCommand, "--step needs FROM TO DATA_URL");
        }
        steps.push_back({args[i + 1], args[i + 2], args[i + 3]});
        i += 4;
    }
    if (output.empty() || exeUrl.empty() || steps.empty()) {
        return UsageError(kCommand, "-o FILE, --exe-url URL and at least one --step are needed");
    }

    std::string text;
    std::set<std::string> sources;
    for (const Step& step : steps) {
        if (!IsVersion(step.from) || !IsVersion(step.to) || step.from == step.to) {
            return UsageError(kCommand, "a step leads from one build number to another: " +
                                            Quoted(step.from) + " " + Quoted(step.to));
        }
        if (!sources.insert(step.from).second) {
            return UsageError(kCommand, "two steps start at build " + Quoted(step.from));
        }
        if (!text.empty()) {
            text += "\r\n";
        }
        text += "source-version: " + step.from + "\r\ntarget-version: " + step.to +
                "\r\npatch-exe-url: ";
        if (!FormatValue(exeUrl, &text)) {
            return UsageError(kCommand, "the exe address must be one line");
        }
        text += "\r\npatch-data-url: ";
        if (!FormatValue(step.data, &text)) {
            return UsageError(
                kCommand, "the data address of step " + step.from + " must be one non-empty line");
        }
        text += "\r\n";
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
        if (!entry || entry->targetVersion != step.to) {
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
    return kExitOk;
}

}  // namespace Mkpatch
