// osmel-rccompile OUT.cpp IN.rc...: compiles STRINGTABLE sources (UTF-8, "LANGUAGE" line,
// lines of `ID "text"`) into the string-table resource layout of resource type 6: for each
// language, blocks of sixteen entries (block = id / 16 + 1), each entry a 16-bit length and
// that many UTF-16 code units. The output defines the resources as data for the program.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Name {
    const char* name;
    unsigned value;
};
constexpr Name kPrimary[] = {{"LANG_NEUTRAL", 0x00},
                             {"LANG_ENGLISH", 0x09},
                             {"LANG_GERMAN", 0x07},
                             {"LANG_FRENCH", 0x0C},
                             {"LANG_RUSSIAN", 0x19}};
constexpr Name kSub[] = {{"SUBLANG_NEUTRAL", 0},    {"SUBLANG_DEFAULT", 1},
                         {"SUBLANG_ENGLISH_US", 1}, {"SUBLANG_GERMAN", 1},
                         {"SUBLANG_FRENCH", 1},     {"SUBLANG_RUSSIAN_RUSSIA", 1}};

// The value of a LANG_ or SUBLANG_ name, or -1.
template <std::size_t N>
long Lookup(const Name (&names)[N], const std::string& name) {
    for (const Name& n : names) {
        if (name == n.name) {
            return static_cast<long>(n.value);
        }
    }
    return -1;
}

[[noreturn]] void Fail(const std::string& where, const std::string& message) {
    std::fprintf(stderr, "osmel-rccompile: %s: %s\n", where.c_str(), message.c_str());
    std::exit(1);
}

std::u16string Utf16(const std::string& utf8, const std::string& where) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        char32_t cp = 0;
        int extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            Fail(where, "text is not UTF-8");
        }
        if (extra != 0 && i + static_cast<std::size_t>(extra) >= utf8.size()) {
            Fail(where, "text is not UTF-8");
        }
        for (int k = 1; k <= extra; ++k) {
            cp = (cp << 6) |
                 (static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

// The text between the quotes, with the escapes \n, \t, \\ and "" resolved.
std::string Unquote(const std::string& line, std::size_t open, const std::string& where) {
    std::string text;
    for (std::size_t i = open + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            if (i + 1 < line.size() && line[i + 1] == '"') {
                text += '"';
                ++i;
                continue;
            }
            if (line.find_first_not_of(" \t\r", i + 1) != std::string::npos) {
                Fail(where, "text after the closing quote");
            }
            return text;
        }
        if (c == '\\' && i + 1 < line.size()) {
            const char e = line[++i];
            text += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            continue;
        }
        text += c;
    }
    Fail(where, "unterminated text");
}

using Table = std::map<unsigned, std::u16string>;

void Parse(const std::string& path, std::map<unsigned, Table>* languages) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail(path, "cannot read");
    }
    std::string line;
    int number = 0;
    unsigned language = 0x10000;
    bool inTable = false;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = path + ":" + std::to_string(number);
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line.compare(first, 2, "//") == 0 ||
            line.compare(first, 7, "#pragma") == 0) {
            continue;
        }
        std::istringstream words(line.substr(first));
        std::string word;
        words >> word;
        if (word == "LANGUAGE") {
            std::string primary;
            std::string sub;
            words >> primary >> sub;
            if (!primary.empty() && primary.back() == ',') {
                primary.pop_back();
            }
            const long p = Lookup(kPrimary, primary);
            const long q = Lookup(kSub, sub);
            if (p < 0 || q < 0) {
                Fail(where, "unknown language " + primary.append(" ").append(sub));
            }
            language = (static_cast<unsigned>(q) << 10) | static_cast<unsigned>(p);
        } else if (word == "STRINGTABLE" || word == "BEGIN") {
            inTable = language != 0x10000;
            if (!inTable) {
                Fail(where, "STRINGTABLE before LANGUAGE");
            }
        } else if (word == "END") {
            inTable = false;
        } else if (inTable) {
            char* end = nullptr;
            const unsigned long id = std::strtoul(line.c_str() + first, &end, 10);
            const std::size_t open = line.find('"');
            if (end == line.c_str() + first || id > 0xFFFF || open == std::string::npos) {
                Fail(where, "expected ID \"text\"");
            }
            const std::u16string text = Utf16(Unquote(line, open, where), where);
            if (text.empty() || text.size() > 0xFFFF) {
                Fail(where, "empty or too long text");
            }
            if (!(*languages)[language].emplace(static_cast<unsigned>(id), text).second) {
                Fail(where, "id " + std::to_string(id) + " given twice");
            }
        } else {
            Fail(where, "unexpected line");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: osmel-rccompile OUT.cpp IN.rc...\n", stderr);
        return 2;
    }
    std::map<unsigned, Table> languages;
    for (int i = 2; i < argc; ++i) {
        Parse(argv[i], &languages);
    }
    std::ostringstream data;
    std::ostringstream index;
    std::size_t offset = 0;
    std::size_t count = 0;
    data << std::hex;
    for (const auto& [language, table] : languages) {
        std::map<unsigned, Table> blocks;
        for (const auto& [id, text] : table) {
            blocks[id / 16 + 1][id % 16] = text;
        }
        for (const auto& [block, entries] : blocks) {
            std::vector<std::uint8_t> bytes;
            for (unsigned e = 0; e < 16; ++e) {
                const auto it = entries.find(e);
                const std::u16string text = it == entries.end() ? std::u16string() : it->second;
                bytes.push_back(static_cast<std::uint8_t>(text.size() & 0xFF));
                bytes.push_back(static_cast<std::uint8_t>(text.size() >> 8));
                for (char16_t u : text) {
                    bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
                    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
                }
            }
            for (std::uint8_t b : bytes) {
                data << "0x" << static_cast<unsigned>(b) << ",";
            }
            data << "\n";
            index << "    {" << std::dec << language << ", " << block << ", " << offset << ", "
                  << bytes.size() << "},\n"
                  << std::hex;
            offset += bytes.size();
            ++count;
        }
    }
    std::ofstream out(argv[1], std::ios::binary);
    out << "// Generated by osmel-rccompile from the catalogues in resources/. Do not edit.\n"
        << "#include \"kernel/StringTableData.h\"\n\n"
        << "namespace {\nconst unsigned char kData[] = {\n"
        << data.str() << "};\n}  // namespace\n\n"
        << "const StringTableResource kStringTableResources[] = {\n"
        << index.str() << "};\n"
        << "const std::size_t kStringTableResourceCount = " << std::dec << count << ";\n"
        << "const unsigned char* const kStringTableData = kData;\n";
    return out ? 0 : 1;
}
