// osmel-update as a publisher builds it, with the publisher's keys in: the keys of the
// file in the first argument are trusted as if they were built in, and the other
// arguments go to osmel-update.
// Usage: osmel-update-with-keys KEYS_FILE [osmel-update arguments]
#include <wx/init.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console/UpdateCommand.h"
#include "patch/Minisign.h"
#include "session/PatchListSignature.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: osmel-update-with-keys KEYS_FILE [ARGUMENTS]\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1]);
    std::stringstream text;
    text << file.rdbuf();
    std::vector<Minisign::PublicKey> keys;
    std::string error;
    if (!file || !Minisign::ParsePublicKeys(text.str(), &keys, &error)) {
        std::fprintf(stderr, "osmel-update-with-keys: cannot read %s %s\n", argv[1], error.c_str());
        return 2;
    }
    BexoPatch::SetTrustedKeys(keys);
    wxInitializer wx;
    if (!wx.IsOk()) {
        return 1;
    }
    argv[1] = argv[0];
    return BexoPatch::RunUpdateCommand(argc - 1, argv + 1);
}
