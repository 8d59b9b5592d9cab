// osmel-mkpatch: makes and checks the data the patcher reads.
#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"
#include "kernel/ProgramVersion.h"

namespace {

const char kUsage[] =
    "Usage: osmel-mkpatch COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  md5 FILE...                  print each file's MD5 as md5sum does\n"
    "  compress [--chunk-size N] IN OUT\n"
    "                               write IN as one compressed container (chunks of at\n"
    "                               most N bytes, 268435456 by default)\n"
    "  decompress IN OUT            write the data of the container IN\n"
    "  summary [--fresh] DIR [-o FILE]\n"
    "                               write the repair checksum file of the tree DIR (to\n"
    "                               FILE, DIR/repair.cks by default); checksums of files\n"
    "                               unchanged since an existing FILE are kept, unless\n"
    "                               --fresh\n"
    "  diff OLD_BUILD NEW_BUILD -o PATCHDIR [--level N]\n"
    "                               compare two installation trees and write a patch\n"
    "                               directory: the three lists, added files and one\n"
    "                               difference file per patched file, the smallest of\n"
    "                               three kinds (level N of 1 to 22, 19); x86 code is\n"
    "                               matched with its calls and addresses made absolute\n"
    "                               where that comes out smaller\n"
    "  pack PATCHDIR -o PACKAGE     write a patch directory as a package\n"
    "  unpack PACKAGE -o DIR        unpack a package into a new or empty directory\n"
    "  inspect FILE                 print an archive's header and directory, or a\n"
    "                               package's entries\n"
    "  archive PATCHER_EXE -o STANDALONE --step FROM TO PACKAGE\n"
    "          [--probe PATH] (--probe-md5 HEX | --probe-from OLD_BUILD) [--step ...]\n"
    "                               append the packages to a copy of the patcher; the\n"
    "                               probe path defaults to bin\\Portico.exe, --probe-from\n"
    "                               takes its MD5 from that file in the old build\n"
    "  apply PATCHDIR INSTALLDIR    apply a patch directory to an installation as the\n"
    "                               patcher does (kpatchl-w32.exe from INSTALLDIR/bin),\n"
    "                               printing the engine's log lines with their levels;\n"
    "                               a step interrupted earlier is finished first\n"
    "  recover INSTALLDIR           finish a patch step that was interrupted (undo it, or\n"
    "                               remove its leftovers if it had completed); exit 0\n"
    "                               when the installation is whole afterwards\n"
    "  patchlist -o FILE --exe-url URL --step FROM TO DATA_URL [--file PACKAGE]\n"
    "            [--step ...] [--sign KEY [--list-version N] [--expires TIME]]\n"
    "                               write the patches.txt of a patch server for a chain\n"
    "                               of packages; a DATA_URL without ftp:// or http:// is\n"
    "                               relative to the server's address. Each record binds\n"
    "                               its package by size and SHA-256: the file PACKAGE, by\n"
    "                               default a relative DATA_URL from FILE's folder, or an\n"
    "                               absolute one's last part beside FILE. --sign\n"
    "                               writes FILE.minisig with the secret key KEY, its\n"
    "                               trusted comment list-version:N (the time in seconds\n"
    "                               unless given; it must grow from list to list) and\n"
    "                               expires:TIME (YYYY-MM-DDTHH:MM:SSZ) when given\n"
    "  keygen -o NAME               write a new Ed25519 key pair, NAME.pub and NAME.key\n"
    "                               (minisign's formats; the secret key has no password)\n"
    "  sign -s KEY [-t COMMENT] [-l] FILE...\n"
    "                               write FILE.minisig for each FILE with the secret key\n"
    "                               KEY (ours or minisign -G -W's); COMMENT is the trusted\n"
    "                               comment; -l signs the data itself, not its BLAKE2b\n"
    "  verify -p PUB [-x SIG] FILE  check FILE against its signature (FILE.minisig unless\n"
    "                               SIG) with the public key file PUB\n"
    "\n"
    "  --help                       show this text\n"
    "  --version                    show the product version and build\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 wrong arguments. OUT appears only when complete.\n";

}  // namespace

namespace Mkpatch {

void Error(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "osmel-mkpatch %s: %s\n", command.c_str(), message.c_str());
}

int UsageError(const std::string& command, const std::string& message) {
    Error(command, message);
    std::fprintf(stderr, "Try 'osmel-mkpatch --help'.\n");
    return kExitUsage;
}

}  // namespace Mkpatch

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return Mkpatch::kExitUsage;
    }
    const std::string command = argv[1];
    Mkpatch::Args args(argv + 2, argv + argc);
    if (AsksForVersion(argc, argv)) {
        return PrintVersion("osmel-mkpatch");
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return Mkpatch::kExitOk;
    }
    for (const std::string& arg : args) {
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return Mkpatch::kExitOk;
        }
    }
    if (command == "md5") {
        return Mkpatch::RunMd5(args);
    }
    if (command == "compress") {
        return Mkpatch::RunCompress(args);
    }
    if (command == "decompress") {
        return Mkpatch::RunDecompress(args);
    }
    if (command == "summary") {
        return Mkpatch::RunSummary(args);
    }
    if (command == "diff") {
        return Mkpatch::RunDiff(args);
    }
    if (command == "pack") {
        return Mkpatch::RunPack(args);
    }
    if (command == "unpack") {
        return Mkpatch::RunUnpack(args);
    }
    if (command == "inspect") {
        return Mkpatch::RunInspect(args);
    }
    if (command == "archive") {
        return Mkpatch::RunArchive(args);
    }
    if (command == "recover") {
        return Mkpatch::RunRecover(args);
    }
    if (command == "apply") {
        return Mkpatch::RunApply(args);
    }
    if (command == "patchlist") {
        return Mkpatch::RunPatchList(args);
    }
    if (command == "keygen") {
        return Mkpatch::RunKeygen(args);
    }
    if (command == "sign") {
        return Mkpatch::RunSign(args);
    }
    if (command == "verify") {
        return Mkpatch::RunVerify(args);
    }
    std::fprintf(stderr, "osmel-mkpatch: unknown command '%s'\nTry 'osmel-mkpatch --help'.\n",
                 command.c_str());
    return Mkpatch::kExitUsage;
}
