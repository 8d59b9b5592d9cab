// md5, compress and decompress.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "OutputFile.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "patch/MD5.h"
#include "repair/buffer/BexoUtil.h"

namespace Mkpatch {

namespace {

bool ParseChunkSize(const std::string& text, std::uint32_t* size) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long long value = std::stoull(text);
    if (value == 0 || value > BexoUtil::kMaxChunkSize) {
        return false;
    }
    *size = static_cast<std::uint32_t>(value);
    return true;
}

struct InOut {
    std::string in;
    std::string out;
};

}  // namespace

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

bool TakeOption(const std::string& command, Args& args, const std::string& name,
                std::string* value) {
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (*it != name) {
            continue;
        }
        if (it + 1 == args.end()) {
            UsageError(command, name + " needs a value");
            return false;
        }
        *value = *(it + 1);
        args.erase(it, it + 2);
        return true;
    }
    return true;
}

int RunMd5(const Args& args) {
    if (args.empty()) {
        return UsageError("md5", "no FILE given");
    }
    int status = kExitOk;
    for (const std::string& name : args) {
        const std::wstring path = Utf8ToWide(name);
        std::wstring digest;
        if (IsDirectory(path)) {
            Error("md5", Quoted(name) + " is a directory");
            status = kExitFailed;
        } else if (!FileMD5Hex(path, &digest)) {
            Error("md5", "cannot read " + Quoted(name));
            status = kExitFailed;
        } else {
            std::printf("%s  %s\n", WideToUtf8(digest).c_str(), name.c_str());
        }
    }
    std::fflush(stdout);
    return status;
}

int RunCompress(const Args& args) {
    std::uint32_t chunkSize = BexoUtil::kMaxChunkSize;
    Args files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--chunk-size") {
            if (i + 1 == args.size() || !ParseChunkSize(args[i + 1], &chunkSize)) {
                return UsageError("compress", "--chunk-size needs a byte count from 1 to " +
                                                  std::to_string(BexoUtil::kMaxChunkSize));
            }
            ++i;
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 2) {
        return UsageError("compress", "expected IN and OUT");
    }
    BexoDataBufferFile in(Utf8ToWide(files[0]), BexoDataBufferFile::kModeRead);
    if (!in.IsOpen()) {
        Error("compress", "cannot read " + Quoted(files[0]));
        return kExitFailed;
    }
    OutputFile out(Utf8ToWide(files[1]));
    if (!out.IsOpen()) {
        Error("compress", "cannot create " + Quoted(files[1]));
        return kExitFailed;
    }
    const BEXORESULT result = BexoUtil::CompressData(out.Buffer(), &in, chunkSize);
    if (result != BEXORESULT_OK) {
        Error("compress", (out.WriteFailed() ? "cannot write " + Quoted(files[1])
                                             : "cannot read " + Quoted(files[0])) +
                              " (" + BexoResultName(result) + ")");
        return kExitFailed;
    }
    if (!out.Commit()) {
        Error("compress", "cannot write " + Quoted(files[1]));
        return kExitFailed;
    }
    return kExitOk;
}

int RunDecompress(const Args& args) {
    if (args.size() != 2) {
        return UsageError("decompress", "expected IN and OUT");
    }
    BexoDataBufferFile in(Utf8ToWide(args[0]), BexoDataBufferFile::kModeRead);
    if (!in.IsOpen()) {
        Error("decompress", "cannot read " + Quoted(args[0]));
        return kExitFailed;
    }
    OutputFile out(Utf8ToWide(args[1]));
    if (!out.IsOpen()) {
        Error("decompress", "cannot create " + Quoted(args[1]));
        return kExitFailed;
    }
    const BEXORESULT result = BexoUtil::DecompressData(out.Buffer(), &in);
    if (result != BEXORESULT_OK) {
        Error("decompress",
              out.WriteFailed()
                  ? "cannot write " + Quoted(args[1]) + " (" + BexoResultName(result) + ")"
                  : Quoted(args[0]) + " is not a valid container: damaged or truncated (" +
                        BexoResultName(result) + ")");
        return kExitFailed;
    }
    if (in.GetPosition() != in.GetSize()) {
        Error("decompress", Quoted(args[0]) + " is not a valid container: " +
                                std::to_string(in.GetSize() - in.GetPosition()) +
                                " bytes follow its last chunk");
        return kExitFailed;
    }
    if (!out.Commit()) {
        Error("decompress", "cannot write " + Quoted(args[1]));
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace Mkpatch
