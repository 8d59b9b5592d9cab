#include "UninstallLogWriter.h"

#include <zlib.h>

#include <cstdint>
#include <deque>
#include <fstream>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "platform/Files.h"

namespace {

void Put16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

std::uint32_t Crc(const std::string& bytes, std::size_t from, std::size_t size) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), static_cast<uInt>(size)));
}

std::string DeleteRecord(const std::string& path) {
    std::string data;
    const std::size_t l = path.size();
    if (l <= 252) {
        data += static_cast<char>(l);
    } else if (l <= 65535) {
        data += '\xFD';
        Put16(data, static_cast<std::uint32_t>(l));
    } else {
        data += '\xFE';
        Put32(data, static_cast<std::uint32_t>(l));
    }
    data += path;
    data += '\xFF';
    std::string record;
    Put16(record, 0x0082);
    Put32(record, 0);
    Put32(record, static_cast<std::uint32_t>(data.size()));
    return record + data;
}

}  // namespace

bool WriteUninstallLog(const std::wstring& install, std::string* error) {
    std::vector<std::wstring> files;
    std::deque<std::wstring> directories{install};
    WidePathSet entries;
    while (!directories.empty()) {
        const std::wstring directory = directories.front();
        directories.pop_front();
        if (ListDirectory(directory, &entries) != BEXORESULT_OK) {
            continue;
        }
        for (const std::wstring& entry : entries) {
            if (IsDirectory(entry)) {
                directories.push_back(entry);
            } else if (FileNamePart(entry) != "unins000.dat") {
                files.push_back(entry);
            }
        }
    }
    std::string records;
    for (const std::wstring& file : files) {
        records += DeleteRecord(ToNarrow(JoinPath(install, RelativePath(file, install))));
    }
    // The closing record, whose 28 bytes an update moves to the end again.
    std::string closing;
    Put16(closing, 0x0001);
    Put32(closing, 0);
    Put32(closing, 18);
    closing += std::string("end of uninstall\0\0", 18);
    records += closing;

    std::string body;
    for (std::size_t at = 0; at < records.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, records.size() - at);
        Put32(body, static_cast<std::uint32_t>(n));
        Put32(body, ~static_cast<std::uint32_t>(n));
        Put32(body, Crc(records, at, n));
        body.append(records, at, n);
    }
    std::string header(448, '\0');
    const std::string title = "Osmel generated uninstall log";
    header.replace(0, title.size(), title);
    std::string numbers;
    Put32(numbers, static_cast<std::uint32_t>(files.size() + 1));
    Put32(numbers, static_cast<std::uint32_t>(448 + body.size()));
    header.replace(324, 8, numbers);
    std::string crc;
    Put32(crc, Crc(header, 0, 444));
    header.replace(444, 4, crc);

    const std::string path = Platform::ToSystemPath(JoinPath(install, L"unins000.dat"));
    std::ofstream out(path, std::ios::binary);
    out << header << body;
    if (!out) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}
