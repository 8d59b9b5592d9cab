// diff OLD_BUILD NEW_BUILD -o PATCHDIR [--level N]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "Commands.h"
#include "DeltaCodec.h"
#include "TreeWalk.h"
#include "kernel/FileUtil.h"
#include "patch/MD5.h"
#include "patch/PatchList.h"

namespace fs = std::filesystem;

namespace Mkpatch {

namespace {

std::string Narrow(const std::wstring& relative) {
    return WideToUtf8(relative);
}

// A path below the patch directory's data tree for a "\"-separated relative path.
fs::path DataPath(const fs::path& patchDirectory, const std::wstring& relative) {
    std::wstring native = relative;
    NormaliseSeparators(native, L'/');
    const std::string utf8 = WideToUtf8(native);
    return patchDirectory / "data" / fs::path(std::u8string(utf8.begin(), utf8.end()));
}

bool Digest(const fs::path& file, std::wstring* md5) {
    return FileMD5Hex(WidePath(file), md5);
}

bool WriteList(const fs::path& path, const std::vector<PatchListEntry>& entries) {
    std::ofstream out(path, std::ios::binary);
    out << FormatPatchList(entries);
    out.close();
    return !out.fail();
}

}  // namespace

int RunDiff(const Args& arguments) {
    Args args = arguments;
    std::string output;
    std::string levelText;
    if (!TakeOption("diff", args, "-o", &output) ||
        !TakeOption("diff", args, "--level", &levelText)) {
        return kExitUsage;
    }
    if (args.size() != 2 || output.empty()) {
        return UsageError("diff", "expected OLD_BUILD NEW_BUILD -o PATCHDIR");
    }
    int level = Delta::kDefaultLevel;
    if (!levelText.empty()) {
        if (levelText.find_first_not_of("0123456789") != std::string::npos ||
            levelText.size() > 2 || std::stoi(levelText) < 1 || std::stoi(levelText) > 22) {
            return UsageError("diff", "--level needs a number from 1 to 22");
        }
        level = std::stoi(levelText);
    }
    const fs::path oldRoot(std::u8string(args[0].begin(), args[0].end()));
    const fs::path newRoot(std::u8string(args[1].begin(), args[1].end()));
    const fs::path patchDirectory(std::u8string(output.begin(), output.end()));

    FileMap oldFiles;
    FileMap newFiles;
    std::vector<std::string> unusable;
    std::string error;
    if (!CollectFiles(oldRoot, &oldFiles, &unusable, &error) ||
        !CollectFiles(newRoot, &newFiles, &unusable, &error)) {
        Error("diff", error);
        return kExitFailed;
    }
    if (!unusable.empty()) {
        for (const std::string& name : unusable) {
            Error("diff", Quoted(name) + ": the name has characters the patcher cannot open");
        }
        return kExitFailed;
    }
    if (!PrepareOutputDirectory(patchDirectory, &error)) {
        Error("diff", error);
        return kExitFailed;
    }
    // The directory was empty or new: a failed diff leaves nothing in it.
    struct Cleanup {
        const fs::path& directory;
        bool done = false;
        ~Cleanup() {
            if (!done) {
                std::error_code ignored;
                fs::remove_all(directory, ignored);
            }
        }
    } cleanup{patchDirectory};
    std::error_code ec;
    fs::create_directories(patchDirectory / "data", ec);

    const bool converterPresent = newFiles.count(L"bin\\KAConverter.exe") != 0;
    std::vector<PatchListEntry> added;
    std::vector<PatchListEntry> deleted;
    std::vector<PatchListEntry> patched;
    std::size_t unchanged = 0;
    for (const auto& [relative, file] : oldFiles) {
        if (newFiles.count(relative) == 0) {
            deleted.push_back({relative, L"", L""});
        }
    }
    for (const auto& [relative, file] : newFiles) {
        std::wstring newMD5;
        if (!Digest(file, &newMD5)) {
            Error("diff", "cannot read " + Quoted(Narrow(WidePath(file))));
            return kExitFailed;
        }
        const auto old = oldFiles.find(relative);
        if (old == oldFiles.end()) {
            const fs::path target = DataPath(patchDirectory, relative);
            fs::create_directories(target.parent_path(), ec);
            if (!fs::copy_file(file, target, ec)) {
                Error("diff",
                      "cannot copy " + Quoted(Narrow(WidePath(file))) + ": " + ec.message());
                return kExitFailed;
            }
            added.push_back({relative, newMD5, L""});
            continue;
        }
        std::wstring oldMD5;
        if (!Digest(old->second, &oldMD5)) {
            Error("diff", "cannot read " + Quoted(Narrow(WidePath(old->second))));
            return kExitFailed;
        }
        if (oldMD5 == newMD5) {
            ++unchanged;
            continue;
        }
        const bool converter = converterPresent && IsConverterFileName(relative);
        const fs::path diffFile = DataPath(patchDirectory, DifferenceFileName(relative, converter));
        fs::create_directories(diffFile.parent_path(), ec);
        Delta::Kind kind = Delta::Kind::Prefix;
        if (Delta::MakeSmallestDiff(WidePath(old->second), WidePath(file), WidePath(diffFile),
                                    level, &kind, &error) != Delta::Status::Ok) {
            Error("diff", error);
            return kExitFailed;
        }
        std::fprintf(stderr, "diff: %s (%s, %ju bytes)\n", Narrow(relative).c_str(),
                     Delta::KindName(kind),
                     static_cast<std::uintmax_t>(fs::file_size(diffFile, ec)));
        patched.push_back({relative, newMD5, oldMD5});
    }
    if (!WriteList(patchDirectory / "addedFiles.txt", added) ||
        !WriteList(patchDirectory / "deletedFiles.txt", deleted) ||
        !WriteList(patchDirectory / "patchedFiles.txt", patched)) {
        Error("diff", "cannot write the list files in " + Quoted(output));
        return kExitFailed;
    }
    cleanup.done = true;
    std::fprintf(stderr, "diff: %zu added, %zu deleted, %zu patched, %zu unchanged\n", added.size(),
                 deleted.size(), patched.size(), unchanged);
    return kExitOk;
}

}  // namespace Mkpatch
