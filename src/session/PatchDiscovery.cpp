#include "session/PatchDiscovery.h"

#include <cctype>
#include <chrono>

#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "patch/Minisign.h"
#include "patch/PatchCallbacks.h"
#include "patch/Sha256.h"
#include "session/PatchListSignature.h"

namespace BexoPatch {

namespace {

std::string TrimSpaces(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Build versions end up in file names of the temporary directory, so they may not
// name another directory.
bool IsSafeVersion(const std::string& version) {
    if (version == "." || version == "..") {
        return false;
    }
    for (const char c : version) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) == 0 && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

void AppendLine(BexoDataBufferMemoryDynamic* record, const std::string& line) {
    const std::string withBreak = line + "\n";
    record->WriteData(withBreak.data(), static_cast<std::uint32_t>(withBreak.size()));
}

}  // namespace

void BufferLineReader::ReadLine(std::string* line) {
    line->clear();
    for (;;) {
        char c = 0;
        if (m_buffer->ReadData(&c, 1) != BEXORESULT_OK) {
            m_ended = true;
            return;
        }
        if (c == '\r' || c == '\n') {
            char next = 0;
            if (m_buffer->ReadData(&next, 1) != BEXORESULT_OK) {
                return;
            }
            if ((next != '\r' && next != '\n') || next == c) {
                m_buffer->Seek(m_buffer->GetPosition() - 1);
            }
            return;
        }
        line->push_back(c);
    }
}

bool ParseKeyValues(BexoDataBuffer* buffer, std::map<std::string, std::string>* values) {
    values->clear();
    bool result = true;
    BufferLineReader reader(buffer);
    std::string line;
    for (;;) {
        reader.ReadLine(&line);
        if (reader.Ended()) {
            return result;
        }
        line = TrimSpaces(line);
        if (line.empty()) {
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            result = false;
            continue;
        }
        std::string key = TrimSpaces(line.substr(0, colon));
        for (char& c : key) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string value = TrimSpaces(line.substr(colon + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        (*values)[key] = value;
    }
}

namespace {

// A patch list names a few dozen steps; a server that sends more than this is not
// sending a patch list, and is not allowed to fill the memory.
constexpr std::uint64_t kMaxPatchListBytes = 1u << 20;

class PatchListBuffer : public BexoDataBufferMemoryDynamic {
public:
    BEXORESULT WriteData(const void* data, std::uint32_t count) override {
        if (GetPosition() + count > kMaxPatchListBytes) {
            SystemLog("PatchListBuffer> a patch list beyond %llu bytes is refused",
                      static_cast<unsigned long long>(kMaxPatchListBytes));
            return BEXORESULT_OUT_OF_MEMORY;
        }
        return BexoDataBufferMemoryDynamic::WriteData(data, count);
    }
};

}  // namespace

bool PatchDirectory::FetchPatchList(const std::vector<std::wstring>& servers,
                                    DownloadURLCallback* callback) {
    m_selectedServer.clear();
    m_refusedBySignature = false;
    for (const std::wstring& server : servers) {
        if (server.empty()) {
            continue;
        }
        const std::wstring address = JoinPath(server, L"patches.txt");
        PatchListBuffer list;
        std::wstring problem;
        const BEXORESULT fetched =
            DownloadURL(ToNarrow(address), &list, DOWNLOAD_BYPASS_CACHE, callback, &problem);
        if (callback != nullptr && callback->IsCancelled()) {
            return false;
        }
        if (fetched != BEXORESULT_OK) {
            if (!problem.empty()) {
                ReportLogLine(LOG_ERROR, problem);
            }
            ReportLogLine(LOG_NORMAL, L"Unable to download patch file: " + address);
            continue;
        }
        m_requireDigests = !TrustedKeys().empty();
        if (m_requireDigests && !CheckListSignature(server, &list, callback)) {
            if (callback != nullptr && callback->IsCancelled()) {
                return false;
            }
            m_refusedBySignature = true;
            continue;
        }
        list.Seek(0);
        if (ParsePatchList(&list, server)) {
            if (m_requireDigests) {
                RememberListVersion(m_listVersion);
            }
            m_selectedServer = server;
            return true;
        }
        SystemLogW(L"PatchDirectory::FetchPatchList> no usable record in %ls", address.c_str());
        ReportLogLine(LOG_NORMAL, FillFields(LoadMessage(260), {address}));
    }
    ReportLogLine(LOG_NORMAL, L"Unable to connect to any patch servers.");
    m_selectedServer.clear();
    return false;
}

bool PatchDirectory::CheckListSignature(const std::wstring& server, BexoDataBuffer* list,
                                        DownloadURLCallback* callback) {
    const std::wstring address = JoinPath(server, L"patches.txt.minisig");
    const auto refuse = [&server](const std::wstring& why) {
        ReportLogLine(LOG_ERROR, FillFields(LoadMessage(330), {server}));
        ReportLogLine(LOG_ERROR, why);
        return false;
    };
    PatchListBuffer signatureText;
    const BEXORESULT fetched =
        DownloadURL(ToNarrow(address), &signatureText, DOWNLOAD_BYPASS_CACHE, callback);
    if (callback != nullptr && callback->IsCancelled()) {
        return false;
    }
    if (fetched != BEXORESULT_OK || signatureText.GetSize() > Minisign::kMaxKeyOrSignatureFile) {
        return refuse(FillFields(LoadMessage(331), {address}));
    }
    Minisign::Signature signature;
    std::string error;
    const std::string text(reinterpret_cast<const char*>(signatureText.GetData()),
                           static_cast<std::size_t>(signatureText.GetSize()));
    if (!Minisign::ParseSignature(text, &signature, &error)) {
        SystemLog("PatchDirectory::CheckListSignature> %s: %s", ToNarrow(address).c_str(),
                  error.c_str());
        return refuse(FillFields(LoadMessage(332), {address}));
    }
    std::string message;
    list->Seek(0);
    if (Minisign::ReadSignedMessage(list, signature.prehashed, kMaxPatchListBytes, &message) !=
        BEXORESULT_OK) {
        return refuse(FillFields(LoadMessage(332), {address}));
    }
    switch (Minisign::Verify(signature, TrustedKeys(), message, nullptr)) {
        case Minisign::Verdict::kValid:
            break;
        case Minisign::Verdict::kUnknownKey:
            return refuse(
                FillFields(LoadMessage(333), {ToWide(Minisign::KeyIdText(signature.keyId))}));
        case Minisign::Verdict::kBadSignature:
            return refuse(LoadMessage(334));
    }
    ListTerms terms;
    if (!ParseListComment(signature.trustedComment, &terms, &error)) {
        SystemLog("PatchDirectory::CheckListSignature> trusted comment \"%s\": %s",
                  signature.trustedComment.c_str(), error.c_str());
        ReportLogLine(LOG_ERROR, FillFields(LoadMessage(337), {server}));
        return false;
    }
    const std::uint64_t accepted = AcceptedListVersion();
    if (terms.version < accepted) {
        ReportLogLine(LOG_ERROR,
                      FillFields(LoadMessage(335), {server, std::to_wstring(terms.version),
                                                    std::to_wstring(accepted)}));
        return false;
    }
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    if (terms.expires != 0 && terms.expires <= now) {
        ReportLogLine(LOG_ERROR,
                      FillFields(LoadMessage(336), {server, ToWide(FormatUtcTime(terms.expires))}));
        return false;
    }
    m_listVersion = terms.version;
    return true;
}

bool PatchDirectory::ParsePatchList(BexoDataBuffer* buffer, const std::wstring& server) {
    bool result = false;
    BufferLineReader reader(buffer);
    std::string line;
    for (;;) {
        do {
            reader.ReadLine(&line);
            if (reader.Ended()) {
                return result;
            }
        } while (line.empty());

        BexoDataBufferMemoryDynamic record;
        AppendLine(&record, line);
        for (;;) {
            reader.ReadLine(&line);
            if (line.empty()) {
                break;
            }
            AppendLine(&record, line);
            if (reader.Ended()) {
                break;
            }
        }
        record.Seek(0);
        if (ParsePatchRecord(&record, server)) {
            result = true;
        }
        if (reader.Ended()) {
            return result;
        }
    }
}

bool PatchDirectory::ParsePatchRecord(BexoDataBuffer* record, const std::wstring& server) {
    std::map<std::string, std::string> values;
    if (!ParseKeyValues(record, &values)) {
        return false;
    }
    const std::string source = values["source-version"];
    const std::string target = values["target-version"];
    const std::string exeUrl = values["patch-exe-url"];
    const std::string dataUrl = values["patch-data-url"];
    if (source.empty() || target.empty() || exeUrl.empty() || dataUrl.empty()) {
        return false;
    }
    if (!IsSafeVersion(source) || !IsSafeVersion(target)) {
        SystemLog("PatchDirectory::ParsePatchRecord> refusing versions \"%s\" -> \"%s\"",
                  source.c_str(), target.c_str());
        return false;
    }
    // The package's size and digest; a malformed pair counts as none, and a list that must
    // bind its packages then refuses the record.
    std::optional<std::uint64_t> dataSize;
    std::string dataSha256 = values["patch-data-sha256"];
    const std::string sizeText = values["patch-data-size"];
    if (!sizeText.empty() && sizeText.size() <= 19 &&
        sizeText.find_first_not_of("0123456789") == std::string::npos && IsSha256Hex(dataSha256)) {
        dataSize = std::stoull(sizeText);
        for (char& c : dataSha256) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    } else {
        dataSha256.clear();
    }
    std::wstring data = ToWide(dataUrl);
    if (!StartsWithNoCase(dataUrl, "ftp://") && !StartsWithNoCase(dataUrl, "http://")) {
        if (server.empty()) {
            return false;
        }
        data = JoinPath(server, data);
    }
    if (m_requireDigests && !dataSize) {
        ReportLogLine(LOG_ERROR, FillFields(LoadMessage(343), {server, ToWide(source)}));
        return false;
    }
    m_patches[source] = PatchEntry{target, ToWide(exeUrl), data, dataSize, dataSha256};
    return true;
}

std::optional<PatchEntry> PatchDirectory::FindPatch(const std::string& sourceVersion) const {
    const auto found = m_patches.find(sourceVersion);
    if (found == m_patches.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace BexoPatch
