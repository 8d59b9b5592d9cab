// pack PATCHDIR -o PACKAGE, unpack PACKAGE -o DIR, inspect FILE.
#include <algorithm>
#include <cstdio>
#include <system_error>

#include "Commands.h"
#include "OutputFile.h"
#include "TreeWalk.h"
#include "kernel/FileUtil.h"
#include "patch/Package.h"
#include "patch/PatchArchive.h"
#include "repair/buffer/BexoUtil.h"

namespace fs = std::filesystem;

namespace Mkpatch {

namespace {

// Unpacking holds one chunk in memory; smaller chunks keep that low at a few bytes each.
constexpr std::uint32_t kPackChunkSize = 4 << 20;

const char* const kListFiles[] = {"addedFiles.txt", "deletedFiles.txt", "patchedFiles.txt"};

struct PackEntry {
    std::wstring name;  // ".\data\bin" or ".\data\bin\a.exe.diff"
    fs::path file;      // empty for a directory
};

bool IsListFile(const std::string& name) {
    return std::find(std::begin(kListFiles), std::end(kListFiles), name) != std::end(kListFiles);
}

// A directory's subdirectories, each followed by its own contents, then its files; at the
// top the list files come last.
void Walk(const fs::path& directory, const std::wstring& name, bool top,
          std::vector<PackEntry>* entries, std::vector<std::string>* problems) {
    std::vector<fs::path> subdirectories;
    std::vector<fs::path> files;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, ec)) {
        if (entry.is_directory(ec)) {
            subdirectories.push_back(entry.path());
        } else if (entry.is_regular_file(ec)) {
            files.push_back(entry.path());
        }
    }
    if (ec) {
        problems->push_back("cannot list " + Quoted(WideToUtf8(WidePath(directory))));
    }
    std::sort(subdirectories.begin(), subdirectories.end());
    std::sort(files.begin(), files.end(), [top](const fs::path& a, const fs::path& b) {
        const bool aList = top && IsListFile(a.filename().string());
        const bool bList = top && IsListFile(b.filename().string());
        return aList != bList ? bList : a < b;
    });
    for (const fs::path& sub : subdirectories) {
        const std::wstring leaf = WidePath(sub.filename());
        std::wstring entryName = name;
        entryName.append(L"\\").append(leaf);
        if (!IsExactFileSystemPath(leaf)) {
            problems->push_back(Quoted(WideToUtf8(entryName)) +
                                ": the name has characters the patcher cannot open");
        }
        // A name whose last component holds a "." reads as a file unless it ends in "\".
        entries->push_back(
            {leaf.find(L'.') == std::wstring::npos ? entryName : entryName + L"\\", {}});
        Walk(sub, entryName, false, entries, problems);
    }
    for (const fs::path& file : files) {
        const std::wstring leaf = WidePath(file.filename());
        std::wstring entryName = name;
        entryName.append(L"\\").append(leaf);
        if (!IsExactFileSystemPath(leaf)) {
            problems->push_back(Quoted(WideToUtf8(entryName)) +
                                ": the name has characters the patcher cannot open");
        }
        entries->push_back({PackageFileEntryName(entryName), file});
    }
}

BEXORESULT WriteName(BexoDataBuffer* out, const std::wstring& name) {
    const std::u16string units = ToUtf16(name);
    BexoDataBufferMemoryDynamic raw;
    const auto count = static_cast<std::uint32_t>(units.size());
    const std::uint8_t prefix[4] = {
        static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
        static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 24)};
    raw.WriteData(prefix, 4);
    for (const char16_t unit : units) {
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(unit),
                                       static_cast<std::uint8_t>(unit >> 8)};
        raw.WriteData(bytes, 2);
    }
    raw.Seek(0);
    return BexoUtil::CompressData(out, &raw);
}

fs::path FromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

}  // namespace

int RunPack(const Args& arguments) {
    Args args = arguments;
    std::string output;
    if (!TakeOption("pack", args, "-o", &output)) {
        return kExitUsage;
    }
    if (args.size() != 1 || output.empty()) {
        return UsageError("pack", "expected PATCHDIR -o PACKAGE");
    }
    const fs::path directory = FromUtf8(args[0]);
    std::error_code ec;
    for (const char* list : kListFiles) {
        if (!fs::is_regular_file(directory / list, ec)) {
            Error("pack", Quoted(args[0]) + " is not a patch directory: " + list + " is missing");
            return kExitFailed;
        }
    }
    std::vector<PackEntry> entries;
    std::vector<std::string> problems;
    Walk(directory, L".", true, &entries, &problems);
    if (!problems.empty()) {
        for (const std::string& problem : problems) {
            Error("pack", problem);
        }
        return kExitFailed;
    }
    OutputFile out(Utf8ToWide(output));
    if (!out.IsOpen()) {
        Error("pack", "cannot create " + Quoted(output));
        return kExitFailed;
    }
    const std::uint8_t version[4] = {kPackageVersion, 0, 0, 0};
    BEXORESULT result = out.Buffer()->WriteData(version, 4);
    for (const PackEntry& entry : entries) {
        if (result != BEXORESULT_OK) {
            break;
        }
        result = WriteName(out.Buffer(), entry.name);
        if (result != BEXORESULT_OK || entry.file.empty()) {
            continue;
        }
        BexoDataBufferFile in(WidePath(entry.file), BexoDataBufferFile::kModeRead);
        if (!in.IsOpen()) {
            Error("pack", "cannot read " + Quoted(WideToUtf8(WidePath(entry.file))));
            return kExitFailed;
        }
        result = BexoUtil::CompressData(out.Buffer(), &in, kPackChunkSize);
    }
    if (result != BEXORESULT_OK || !out.Commit()) {
        Error("pack", "cannot write " + Quoted(output) + " (" + BexoResultName(result) + ")");
        return kExitFailed;
    }
    std::fprintf(stderr, "pack: %zu entries\n", entries.size());
    return kExitOk;
}

int RunUnpack(const Args& arguments) {
    Args args = arguments;
    std::string output;
    if (!TakeOption("unpack", args, "-o", &output)) {
        return kExitUsage;
    }
    if (args.size() != 1 || output.empty()) {
        return UsageError("unpack", "expected PACKAGE -o DIR");
    }
    const fs::path directory = FromUtf8(output);
    std::string error;
    if (!PrepareOutputDirectory(directory, &error)) {
        Error("unpack", error);
        return kExitFailed;
    }
    if (!UnpackPackage(Utf8ToWide(args[0]), WidePath(directory))) {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
        Error("unpack", Quoted(args[0]) +
                            " cannot be unpacked: it does not open, is not a package, is damaged "
                            "or names a path outside the directory (details above)");
        return kExitFailed;
    }
    return kExitOk;
}

namespace {

int InspectArchive(PatchArchive& archive) {
    const std::optional<ArchiveHeader> header = archive.GetHeader();
    std::printf("archive: header at %llu, file size %u, %u entries, directory at %llu\n",
                static_cast<unsigned long long>(archive.GetHeaderOffset()), header->fileSize,
                header->entryCount, static_cast<unsigned long long>(header->directoryOffset));
    for (std::uint32_t i = 0; i < header->entryCount; ++i) {
        ArchiveEntry entry;
        const BEXORESULT result = archive.ReadEntry(i, &entry);
        if (result != BEXORESULT_OK) {
            Error("inspect", "entry " + std::to_string(i) + " cannot be read (" +
                                 BexoResultName(result) + ")");
            return kExitFailed;
        }
        std::printf("  %s -> %s: package at %llu, %llu bytes; probe %s md5 %s\n", entry.fromBuild,
                    entry.toBuild, static_cast<unsigned long long>(entry.dataOffset),
                    static_cast<unsigned long long>(entry.dataSize), entry.probePath,
                    entry.probeMD5);
    }
    return kExitOk;
}

int InspectPackage(PackageReader& reader, const std::string& name) {
    std::printf("package: version %u\n", kPackageVersion);
    std::size_t count = 0;
    while (!reader.AtEnd()) {
        PackageEntry entry;
        const std::uint64_t at = reader.GetPosition();
        BEXORESULT result = reader.Next(&entry);
        if (result == BEXORESULT_OK && entry.directory) {
            std::printf("  dir   %s\n", WideToUtf8(entry.name).c_str());
            ++count;
            continue;
        }
        std::uint64_t raw = 0;
        std::uint64_t stored = 0;
        if (result == BEXORESULT_OK) {
            result = reader.SkipContent(&raw, &stored);
        }
        if (result != BEXORESULT_OK) {
            Error("inspect", Quoted(name) + " is damaged at offset " + std::to_string(at) + " (" +
                                 BexoResultName(result) + ")");
            return kExitFailed;
        }
        std::printf("  file  %s  %llu bytes (%llu stored)\n", WideToUtf8(entry.name).c_str(),
                    static_cast<unsigned long long>(raw), static_cast<unsigned long long>(stored));
        ++count;
    }
    std::printf("%zu entries\n", count);
    return kExitOk;
}

}  // namespace

int RunInspect(const Args& args) {
    if (args.size() != 1) {
        return UsageError("inspect", "expected FILE");
    }
    const std::wstring path = Utf8ToWide(args[0]);
    PatchArchive archive;
    const BEXORESULT opened = archive.Open(path);
    if (opened == BEXORESULT_OK) {
        return InspectArchive(archive);
    }
    if (opened != BEXORESULT_NOT_SUPPORTED) {
        Error("inspect", Quoted(args[0]) +
                             (opened == BEXORESULT_IO_ERROR && FileExists(path)
                                  ? " carries an archive whose size does not match"
                              : opened == BEXORESULT_IO_ERROR ? " cannot be read"
                                                              : " carries a damaged archive") +
                             " (" + BexoResultName(opened) + ")");
        return kExitFailed;
    }
    PackageReader reader;
    if (reader.Open(path) == BEXORESULT_OK) {
        return InspectPackage(reader, args[0]);
    }
    Error("inspect", Quoted(args[0]) + " is neither an archive nor a package");
    return kExitFailed;
}

}  // namespace Mkpatch
