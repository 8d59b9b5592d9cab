#include "UninstallLogWriter.h"

#include <zlib.h>

#include <cstdint>
#include <deque>
#include <fstream>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/Text.h"
#include "platform/Files.h"

namespace {

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
        AppendLittleEndian<std::uint16_t>(data, static_cast<std::uint16_t>(l));
    } else {
        data += '\xFE';
        AppendLittleEndian<std::uint32_t>(data, static_cast<std::uint32_t>(l));
    }
    data += path;
    data += '\xFF';
    std::string record;
    AppendLittleEndian<std::uint16_t>(record, 0x0082);
    AppendLittleEndian<std::uint32_t>(record, 0);
    AppendLittleEndian<std::uint32_t>(record, static_cast<std::uint32_t>(data.size()));
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
    AppendLittleEndian<std::uint16_t>(closing, 0x0001);
    AppendLittleEndian<std::uint32_t>(closing, 0);
    AppendLittleEndian<std::uint32_t>(closing, 18);
    closing += std::string("end of uninstall\0\0", 18);
    records += closing;

    std::string body;
    for (std::size_t at = 0; at < records.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, records.size() - at);
        AppendLittleEndian<std::uint32_t>(body, static_cast<std::uint32_t>(n));
        AppendLittleEndian<std::uint32_t>(body, ~static_cast<std::uint32_t>(n));
        AppendLittleEndian<std::uint32_t>(body, Crc(records, at, n));
        body.append(records, at, n);
    }
    std::string header(448, '\0');
    const std::string title = "Osmel generated uninstall log";
    header.replace(0, title.size(), title);
    std::string numbers;
    AppendLittleEndian<std::uint32_t>(numbers, static_cast<std::uint32_t>(files.size() + 1));
    AppendLittleEndian<std::uint32_t>(numbers, static_cast<std::uint32_t>(448 + body.size()));
    header.replace(324, 8, numbers);
    std::string crc;
    AppendLittleEndian<std::uint32_t>(crc, Crc(header, 0, 444));
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
