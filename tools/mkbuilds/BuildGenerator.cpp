#include "BuildGenerator.h"

#include <algorithm>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

// xorshift64*: fast, and the same everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint64_t Next() {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1Dull;
    }
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }

private:
    std::uint64_t m_state;
};

// Bytes that compress about as well as executables and game assets: runs of a small
// alphabet, repeated phrases and stretches of noise.
std::string Content(Random& random, std::uint64_t size) {
    std::string out;
    out.reserve(size);
    static const char* const kWords[] = {"mov ", "call ",    "push ",    "ret\n",  "texture_",
                                         "mesh", "\0\0\0\0", "\xFF\xFF", "kelvor", "vertex "};
    while (out.size() < size) {
        switch (random.Below(4)) {
            case 0:
                for (std::uint64_t n = 16 + random.Below(240); n > 0; --n) {
                    out += static_cast<char>(random.Next());
                }
                break;
            case 1:
                out.append(static_cast<std::size_t>(8 + random.Below(120)),
                           static_cast<char>('A' + random.Below(8)));
                break;
            default:
                for (std::uint64_t n = 4 + random.Below(24); n > 0; --n) {
                    const char* word = kWords[random.Below(std::size(kWords))];
                    out.append(word, word[0] == '\0' ? 4 : std::char_traits<char>::length(word));
                }
                break;
        }
    }
    out.resize(static_cast<std::size_t>(size));
    return out;
}

// A handful of small edits: overwrites, and now and then an insertion or a deletion.
void Edit(Random& random, std::string& bytes) {
    const int edits = 1 + static_cast<int>(random.Below(6));
    for (int e = 0; e < edits && !bytes.empty(); ++e) {
        const std::size_t at = static_cast<std::size_t>(random.Below(bytes.size()));
        const std::size_t length = std::min<std::size_t>(1 + random.Below(512), bytes.size() - at);
        switch (random.Below(4)) {
            case 0:
                bytes.insert(at, Content(random, length));
                break;
            case 1:
                bytes.erase(at, length);
                break;
            default:
                bytes.replace(at, length, Content(random, length));
                break;
        }
    }
}

const char* const kFolders[] = {"bin",           "data\\maps", "data\\textures", "data\\sounds",
                                "data\\scripts", "docs",       "data\\models"};
const char* const kExtensions[] = {".dll", ".ka", ".dds", ".wav", ".lua", ".txt", ".mdl"};

std::string NewName(Random& random, std::size_t serial) {
    const std::size_t kind = static_cast<std::size_t>(random.Below(std::size(kFolders)));
    return std::string(kFolders[kind]) + "\\item" + std::to_string(serial) + kExtensions[kind];
}

fs::path OnDisk(const fs::path& root, const std::string& name) {
    std::string relative = name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return root / relative;
}

bool WriteTree(const fs::path& root, const std::map<std::string, std::string>& files,
               std::string* error) {
    std::error_code ec;
    fs::remove_all(root, ec);
    for (const auto& [name, bytes] : files) {
        const fs::path path = OnDisk(root, name);
        fs::create_directories(path.parent_path(), ec);
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            *error = "cannot write " + path.string();
            return false;
        }
    }
    return true;
}

}  // namespace

bool GenerateBuildChain(const fs::path& out, const BuildChainOptions& options, std::string* error) {
    if (options.builds.empty() || options.files < 4) {
        *error = "at least one build and four files are needed";
        return false;
    }
    Random random(options.seed);
    std::map<std::string, std::string> files;
    // The programs of the product, then a few large assets holding a third of the bytes,
    // then many small and middling files for the rest.
    files["bin\\Kelvor.exe"] = Content(random, 1u << 20);
    files["bin\\Portico.exe"] = Content(random, 256u << 10);
    files["bin\\BexoPortico.exe"] = Content(random, 512u << 10);
    const std::size_t large = std::max<std::size_t>(1, options.files / 100);
    const std::uint64_t largeBytes = options.totalBytes / 3 / large;
    std::size_t serial = 0;
    for (std::size_t i = 0; i < large; ++i) {
        files["data\\packs\\pack" + std::to_string(i) + ".pak"] = Content(random, largeBytes);
    }
    const std::size_t small = options.files - large - 3;
    const std::uint64_t smallBytes = options.totalBytes * 2 / 3 / std::max<std::size_t>(small, 1);
    for (std::size_t i = 0; i < small; ++i) {
        files[NewName(random, serial++)] = Content(random, 1 + random.Below(2 * smallBytes));
    }
    if (!WriteTree(out / options.builds.front(), files, error)) {
        return false;
    }
    for (std::size_t b = 1; b < options.builds.size(); ++b) {
        std::vector<std::string> names;
        names.reserve(files.size());
        for (const auto& [name, bytes] : files) {
            names.push_back(name);
        }
        for (const std::string& name : names) {
            const std::uint64_t roll = random.Below(100);
            const bool program =
                name.rfind("bin\\", 0) == 0 && name.find("\\item") == std::string::npos;
            if (!program && roll < options.deletedPercent) {
                files.erase(name);
            } else if (program || roll < options.deletedPercent + options.changedPercent) {
                Edit(random, files[name]);
            }
        }
        const std::size_t added = options.files * options.addedPercent / 100;
        for (std::size_t i = 0; i < added; ++i) {
            files[NewName(random, serial++)] = Content(random, 1 + random.Below(2 * smallBytes));
        }
        if (!WriteTree(out / options.builds[b], files, error)) {
            return false;
        }
    }
    return true;
}
