// archive PATCHER_EXE -o STANDALONE --step FROM TO PACKAGE
//         [--probe PATH] [--probe-md5 HEX | --probe-from OLD_BUILD] ...
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "kernel/FileUtil.h"
#include "patch/MD5.h"
#include "patch/Package.h"
#include "patch/PatchArchive.h"
#include "patch/SafePath.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace Mkpatch {

namespace {

const char kDefaultProbe[] = "bin\\Portico.exe";

struct Step {
    std::string from;
    std::string to;
    std::string package;
    std::string probe = kDefaultProbe;
    std::string probeMD5;
    std::string probeFrom;
    std::uint64_t size = 0;
};

bool IsMD5Text(const std::string& text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Text for a fixed narrow field: fits with its NUL and survives the narrow conversion.
bool FitsField(const std::string& text, std::size_t fieldSize) {
    return !text.empty() && text.size() < fieldSize && ToNarrow(Utf8ToWide(text)) == text;
}

bool ParseSteps(Args args, std::string* patcher, std::string* output, std::vector<Step>* steps) {
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&](std::size_t n) {
            if (i + n >= args.size()) {
                UsageError("archive", arg + " needs " + std::to_string(n) + " value(s)");
                return false;
            }
            return true;
        };
        if (arg == "-o") {
            if (!value(1)) {
                return false;
            }
            *output = args[++i];
        } else if (arg == "--step") {
            if (!value(3)) {
                return false;
            }
            Step step;
            step.from = args[i + 1];
            step.to = args[i + 2];
            step.package = args[i + 3];
            steps->push_back(step);
            i += 3;
        } else if (arg == "--probe" || arg == "--probe-md5" || arg == "--probe-from") {
            if (steps->empty()) {
                UsageError("archive", arg + " belongs after a --step");
                return false;
            }
            if (!value(1)) {
                return false;
            }
            Step& step = steps->back();
            (arg == "--probe"       ? step.probe
             : arg == "--probe-md5" ? step.probeMD5
                                    : step.probeFrom) = args[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            UsageError("archive", "unknown option " + arg);
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 1 || output->empty() || steps->empty()) {
        UsageError("archive", "expected PATCHER_EXE -o STANDALONE and at least one --step");
        return false;
    }
    *patcher = positional[0];
    return true;
}

// kExitOk, or the status to end with after the message.
int CheckStep(Step& step) {
    const std::string which = "step " + step.from + " -> " + step.to;
    if (!FitsField(step.from, sizeof ArchiveEntry::fromBuild) ||
        !FitsField(step.to, sizeof ArchiveEntry::toBuild)) {
        return UsageError("archive", which + ": build names need 1 to 31 narrow characters");
    }
    if (!FitsField(step.probe, sizeof ArchiveEntry::probePath) ||
        !IsContainedRelativePath(Utf8ToWide(step.probe))) {
        return UsageError("archive", which +
                                         ": the probe path must be relative, inside the "
                                         "installation and at most 255 narrow characters");
    }
    if (!step.probeMD5.empty() == !step.probeFrom.empty()) {
        return UsageError("archive", which + ": give exactly one of --probe-md5 and --probe-from");
    }
    if (!step.probeFrom.empty()) {
        std::wstring digest;
        const std::wstring probe = JoinPath(Utf8ToWide(step.probeFrom), Utf8ToWide(step.probe));
        if (!FileMD5Hex(probe, &digest)) {
            Error("archive", which + ": cannot read the probe file " + Quoted(WideToUtf8(probe)));
            return kExitFailed;
        }
        step.probeMD5 = ToNarrow(digest);
    }
    if (!IsMD5Text(step.probeMD5)) {
        return UsageError("archive", which + ": --probe-md5 needs 32 lowercase hex digits");
    }
    PackageReader reader;
    if (reader.Open(Utf8ToWide(step.package)) != BEXORESULT_OK) {
        Error("archive", which + ": " + Quoted(step.package) + " is not a package");
        return kExitFailed;
    }
    std::int64_t size = 0;
    GetFileSize(Utf8ToWide(step.package), &size);
    step.size = static_cast<std::uint64_t>(size);
    return kExitOk;
}

template <std::size_t N>
void SetField(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

BEXORESULT AppendArchive(BexoDataBufferFile& out, std::uint64_t headerOffset,
                         const std::vector<Step>& steps, const ArchiveHeader& header) {
    BEXORESULT result = out.Seek(out.GetSize());
    const std::vector<std::uint8_t> padding(headerOffset - out.GetSize(), 0);
    if (result == BEXORESULT_OK) {
        result = out.WriteData(padding.data(), static_cast<std::uint32_t>(padding.size()));
    }
    std::uint8_t headerBytes[ArchiveHeader::kSize];
    header.Serialize(headerBytes);
    if (result == BEXORESULT_OK) {
        result = out.WriteData(headerBytes, sizeof headerBytes);
    }
    std::vector<ArchiveEntry> entries;
    for (const Step& step : steps) {
        if (result != BEXORESULT_OK) {
            return result;
        }
        ArchiveEntry entry;
        SetField(entry.probePath, step.probe);
        SetField(entry.probeMD5, step.probeMD5);
        SetField(entry.fromBuild, step.from);
        SetField(entry.toBuild, step.to);
        entry.dataOffset = out.GetPosition();
        entry.dataSize = step.size;
        entries.push_back(entry);
        BexoDataBufferFile package(Utf8ToWide(step.package), BexoDataBufferFile::kModeRead);
        result = package.IsOpen() ? CopyData(&out, &package, step.size) : BEXORESULT_IO_ERROR;
    }
    for (const ArchiveEntry& entry : entries) {
        std::uint8_t bytes[ArchiveEntry::kSize];
        entry.Serialize(bytes);
        if (result == BEXORESULT_OK) {
            result = out.WriteData(bytes, sizeof bytes);
        }
    }
    return result;
}

}  // namespace

int RunArchive(const Args& args) {
    std::string patcher;
    std::string output;
    std::vector<Step> steps;
    if (!ParseSteps(args, &patcher, &output, &steps)) {
        return kExitUsage;
    }
    for (Step& step : steps) {
        const int status = CheckStep(step);
        if (status != kExitOk) {
            return status;
        }
    }
    PatchArchive existing;
    const BEXORESULT found = existing.Open(Utf8ToWide(patcher));
    if (found != BEXORESULT_NOT_SUPPORTED) {
        Error("archive",
              Quoted(patcher) + (found == BEXORESULT_IO_ERROR && !FileExists(Utf8ToWide(patcher))
                                     ? " cannot be read"
                                     : " already carries an archive"));
        return kExitFailed;
    }
    existing.Close();
    std::int64_t imageSize = 0;
    GetFileSize(Utf8ToWide(patcher), &imageSize);
    const std::uint64_t headerOffset =
        (static_cast<std::uint64_t>(imageSize) + ArchiveHeader::kAlignment - 1) /
        ArchiveHeader::kAlignment * ArchiveHeader::kAlignment;
    std::uint64_t end = headerOffset + ArchiveHeader::kSize;
    for (const Step& step : steps) {
        end += step.size;
    }
    ArchiveHeader header;
    header.entryCount = static_cast<std::uint32_t>(steps.size());
    header.directoryOffset = end;
    end += ArchiveEntry::kSize * steps.size();
    if (end >= (std::uint64_t{1} << 32)) {
        Error("archive", "the standalone patcher would reach " + std::to_string(end) +
                             " bytes; the archive format ends at 4 GiB");
        return kExitFailed;
    }
    header.fileSize = static_cast<std::uint32_t>(end);

    // A copy keeps the patcher's permission bits, the run bit among them.
    const std::wstring target = Utf8ToWide(output);
    const std::wstring temporary =
        target + L".part" + std::to_wstring(Platform::GetCurrentProcessId());
    if (!Platform::CopyFile(Utf8ToWide(patcher), temporary, false)) {
        Error("archive", "cannot copy " + Quoted(patcher) + " to " + Quoted(output));
        return kExitFailed;
    }
    BEXORESULT result = BEXORESULT_OK;
    bool committed = false;
    {
        BexoDataBufferFile out(temporary, BexoDataBufferFile::kModeReadWrite);
        result =
            out.IsOpen() ? AppendArchive(out, headerOffset, steps, header) : BEXORESULT_IO_ERROR;
        committed = result == BEXORESULT_OK && out.Commit();
    }
    if (!committed || !Platform::ReplaceFile(temporary, target)) {
        Platform::DeleteFile(temporary);
        Error("archive", "cannot write " + Quoted(output) + " (" + BexoResultName(result) + ")");
        return kExitFailed;
    }
    PatchArchive check;
    if (check.Open(target) != BEXORESULT_OK || check.GetHeaderOffset() != headerOffset) {
        Error("archive", Quoted(output) + " does not read back as an archive");
        return kExitFailed;
    }
    std::fprintf(stderr, "archive: %zu steps, header at %llu, %llu bytes\n", steps.size(),
                 static_cast<unsigned long long>(headerOffset),
                 static_cast<unsigned long long>(end));
    return kExitOk;
}

}  // namespace Mkpatch
