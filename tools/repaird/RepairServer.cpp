#include "RepairServer.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "SocketBuffer.h"
#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/Text.h"
#include "repair/SegmentChecksum.h"
#include "repair/buffer/BexoUtil.h"

namespace {

// Memory a session holds from its start (its stream buffers), and from its first record
// on: one record in flight, compressed or not.
constexpr std::uint64_t kSessionMemory = 2u << 16;
constexpr std::uint64_t kRecordMemory = kSegmentSize + 65536;
// Memory a loaded summary takes for each byte of it on the wire, with the copy the plan
// is made from: a 63 MB summary raised a server by 984 MB.
constexpr std::uint64_t kSummaryMemoryPerByte = 16;

std::string Describe(double bytes) {
    return FormatString("%.1f MiB", bytes / 1048576.0);
}

// Whether compressing the segment is worth its time: three small samples across it must
// shrink by a tenth. Already compressed or random data fails at once, for a fraction of
// the cost of compressing all of it in vain.
bool WorthCompressing(const std::vector<std::uint8_t>& bytes) {
    constexpr std::size_t kSample = 16384;
    if (bytes.size() <= 4 * kSample) {
        return true;
    }
    BexoDataBufferMemoryDynamic samples;
    for (const std::size_t at : {bytes.size() / 6, bytes.size() / 2, bytes.size() * 5 / 6}) {
        samples.WriteData(bytes.data() + at - kSample / 2, kSample);
    }
    samples.Seek(0);
    BexoDataBufferMemoryDynamic packed;
    return BexoUtil::CompressData(&packed, &samples) == BEXORESULT_OK &&
           packed.GetSize() * 10 <= samples.GetSize() * 9;
}

// The form in which two relative paths name the same file for any client: either
// separator, any ASCII case.
std::wstring PathIdentity(const std::wstring& path) {
    std::wstring folded = path;
    for (wchar_t& c : folded) {
        if (c == L'/') {
            c = L'\\';
        } else if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return folded;
}

}  // namespace

RepairServer::RepairServer(RepairServerOptions options)
    : m_options(std::move(options)), m_memory(m_options.memoryBytes) {}

std::string RepairServer::ScanReference() {
    const auto started = std::chrono::steady_clock::now();
    const std::shared_ptr<const ReferenceView> view = Scan();
    std::set<std::wstring, Utf16Less> files(view->emptyFiles);
    for (const auto& [key, entry] : view->entries) {
        files.insert(SegmentKeyPath(key));
    }
    return FormatString(
        "reference scanned: %zu files, %zu segments, in %.3f s", files.size(), view->entries.size(),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

std::shared_ptr<const RepairServer::ReferenceView> RepairServer::Reference() {
    {
        std::lock_guard<std::mutex> lock(m_currentLock);
        if (m_current) {
            return m_current;
        }
    }
    ScanReference();
    std::lock_guard<std::mutex> lock(m_currentLock);
    return m_current;
}

std::shared_ptr<const RepairServer::ReferenceView> RepairServer::Scan() {
    // A rescan reads only directory entries and times, and the files that changed.
    std::lock_guard<std::mutex> lock(m_scanLock);
    TreeListing listing;
    m_reference.Scan(m_options.root, m_options.exclusions, nullptr, &listing);
    auto view = std::make_shared<ReferenceView>();
    view->entries = m_reference.Entries();
    view->emptyFiles = std::move(listing.emptyFiles);
    // Every name in the reference, empty files, directories and links included: whether
    // a client's file is extra is decided from this listing alone, never by looking up a
    // path the client sent.
    for (const std::wstring& name : listing.names) {
        view->names.insert(PathIdentity(name));
    }
    // Under the scan's lock, so that a slower earlier scan never replaces a later one.
    std::lock_guard<std::mutex> current(m_currentLock);
    m_current = view;
    return view;
}

std::vector<RepairServer::Planned> RepairServer::Plan(
    const ReferenceView& view, const FileTreeSummary::EntryMap& client) const {
    const FileTreeSummary::EntryMap& reference = view.entries;
    std::vector<Planned> plan;
    for (const auto& [key, entry] : reference) {
        const auto held = client.find(key);
        if (held == client.end() || held->second.checksum != entry.checksum) {
            plan.push_back({key, false});
        }
    }
    // Segments the reference lacks: past the end of a reference file, one record cuts the
    // file at the first of them; a file the reference lacks is deleted only on request.
    std::set<std::wstring, Utf16Less> handled;
    for (const auto& [key, entry] : client) {
        const std::wstring path = SegmentKeyPath(key);
        if (reference.count(key) != 0 || handled.count(path) != 0 ||
            IsExcluded(path, m_options.exclusions)) {
            continue;
        }
        handled.insert(path);
        std::uint64_t first = 0;
        while (reference.count(FormatSegmentKey(path, first)) != 0) {
            ++first;
        }
        if (first == 0) {
            // An empty reference file has no segments: the client's copy is emptied by a
            // record of no bytes for its first segment.
            if (view.emptyFiles.count(path) != 0) {
                plan.push_back({FormatSegmentKey(path, 0), false, true});
                continue;
            }
            if (!m_options.deleteExtra || view.names.count(PathIdentity(path)) != 0) {
                continue;
            }
        }
        plan.push_back({FormatSegmentKey(path, first), true});
    }
    // Each file's segments in the order of their offsets ("#1000" sorts before "#101" as
    // text), so that a client never has to fill a gap before a segment that follows.
    std::stable_sort(plan.begin(), plan.end(), [](const Planned& a, const Planned& b) {
        const std::wstring pathA = SegmentKeyPath(a.key);
        const std::wstring pathB = SegmentKeyPath(b.key);
        if (pathA != pathB) {
            return Utf16Less()(pathA, pathB);
        }
        return SegmentKeyIndex(a.key) < SegmentKeyIndex(b.key);
    });
    return plan;
}

std::shared_ptr<const RepairServer::Segment> RepairServer::LoadSegment(
    const FileTreeSummaryEntry& entry) {
    {
        std::lock_guard<std::mutex> lock(m_cacheLock);
        auto it = m_cache.find(entry.name);
        if (it != m_cache.end() && it->second.modificationTime == entry.modificationTime &&
            it->second.summaryChecksum == entry.checksum) {
            m_ages.splice(m_ages.begin(), m_ages, it->second.age);
            return it->second.segment;
        }
    }
    auto segment = std::make_shared<Segment>();
    if (!ReadFileSegment(JoinPath(m_options.root, entry.name), &segment->bytes)) {
        return nullptr;
    }
    // The bytes may have changed since the scan; the record carries their own checksum.
    const std::uint32_t crc = SegmentCrc(0, segment->bytes.data(), segment->bytes.size());
    segment->checksum = crc == 0 ? 1 : crc;
    if (m_options.compress && !segment->bytes.empty() && WorthCompressing(segment->bytes)) {
        BexoDataBufferMemoryDynamic raw;
        raw.WriteData(segment->bytes.data(), static_cast<std::uint32_t>(segment->bytes.size()));
        raw.Seek(0);
        BexoDataBufferMemoryDynamic packed;
        if (BexoUtil::CompressData(&packed, &raw) == BEXORESULT_OK &&
            packed.GetSize() < segment->bytes.size()) {
            segment->bytes.assign(packed.GetData(), packed.GetData() + packed.GetSize());
            segment->compressed = true;
        }
    }
    const std::size_t size = segment->bytes.size();
    if (size <= m_options.cacheBytes / 8) {
        std::lock_guard<std::mutex> lock(m_cacheLock);
        auto old = m_cache.find(entry.name);
        if (old != m_cache.end()) {
            m_cachedBytes -= old->second.segment->bytes.size();
            m_ages.erase(old->second.age);
            m_cache.erase(old);
        }
        m_ages.push_front(entry.name);
        m_cache[entry.name] =
            Cached{segment, entry.modificationTime, entry.checksum, m_ages.begin()};
        m_cachedBytes += size;
        while (m_cachedBytes > m_options.cacheBytes && !m_ages.empty()) {
            auto victim = m_cache.find(m_ages.back());
            m_cachedBytes -= victim->second.segment->bytes.size();
            m_cache.erase(victim);
            m_ages.pop_back();
        }
    }
    return segment;
}

std::string RepairServer::Serve(Platform::TcpStream& stream, SessionMeter* meter) {
    Tally tally;
    tally.started = std::chrono::steady_clock::now();
    const std::string peer = stream.PeerName();
    stream.SetTimeout(m_options.timeoutMs);
    MemoryClaim memory(&m_memory);
    SocketBuffer connection(&stream, m_options.maxSummaryBytes, meter);
    std::string result = Exchange(connection, memory, tally);
    if (result.empty()) {
        // The client closes when it is done; wait for that so the last bytes are not lost
        // to a reset.
        connection.DrainUntilEnd();
        result = FormatString(
            "repaired: %zu segments sent (%zu compressed), %zu files cut or removed, client "
            "had %zu segments",
            tally.sent, tally.compressed, tally.removed, tally.clientSegments);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tally.started).count();
    return FormatString("%s: %s; %zu of %zu records, %s, %.3f s", peer.c_str(), result.c_str(),
                        tally.sent + tally.removed, tally.planned, Describe(tally.bytes).c_str(),
                        seconds);
}

std::string RepairServer::Exchange(SocketBuffer& connection, MemoryClaim& memory, Tally& tally) {
    const auto overBudget = [this](const char* what) {
        return FormatString("dropped: %s does not fit the memory budget (%s of %s in use)", what,
                            Describe(static_cast<double>(m_memory.InUse())).c_str(),
                            Describe(static_cast<double>(m_memory.Limit())).c_str());
    };
    if (!memory.Grow(kSessionMemory)) {
        return overBudget("the session");
    }
    std::string refused = Greet(connection);
    if (!refused.empty()) {
        return "dropped: " + refused;
    }
    FileTreeSummary clientSummary;
    connection.ChargeReads(&memory, kSummaryMemoryPerByte);
    const BEXORESULT loaded = clientSummary.Load(&connection);
    connection.ChargeReads(nullptr, 0);
    if (connection.OverBudget()) {
        return overBudget("the summary");
    }
    if (loaded != BEXORESULT_OK) {
        return FormatString("dropped: summary refused (%s)", BexoResultName(loaded));
    }
    const FileTreeSummary::EntryMap client = clientSummary.Entries();
    tally.clientSegments = client.size();
    const std::shared_ptr<const ReferenceView> view = Reference();
    const std::vector<Planned> plan = Plan(*view, client);
    tally.planned = plan.size();
    if (!plan.empty() && !memory.Grow(kRecordMemory)) {
        return overBudget("a record in flight");
    }
    refused = SendRecords(connection, view->entries, plan, tally);
    return refused.empty() ? refused : "dropped: " + refused;
}

std::string RepairServer::Greet(SocketBuffer& connection) const {
    std::uint8_t hello[4];
    if (connection.ReadData(hello, 4) != BEXORESULT_OK) {
        return "no handshake";
    }
    const std::uint32_t handshake = hello[0] | (hello[1] << 8) | (hello[2] << 16) |
                                    (static_cast<std::uint32_t>(hello[3]) << 24);
    if (handshake != 6) {
        return FormatString("handshake %u", handshake);
    }
    std::vector<std::uint8_t> out;
    AppendLittleEndian<std::uint32_t>(out, m_options.handshakeAnswer);
    connection.WriteData(out.data(), 4);
    connection.Flush();
    if (m_options.handshakeAnswer != 6) {
        return FormatString("answered the handshake with %u", m_options.handshakeAnswer);
    }
    return {};
}

std::string RepairServer::SendRecords(SocketBuffer& connection,
                                      const FileTreeSummary::EntryMap& reference,
                                      const std::vector<Planned>& plan, Tally& tally) {
    std::vector<std::uint8_t> out;
    AppendLittleEndian<std::uint32_t>(out, static_cast<std::uint32_t>(plan.size()));
    connection.WriteData(out.data(), 4);
    for (const Planned& item : plan) {
        const std::size_t done = tally.sent + tally.removed;
        if (m_options.cutAfter >= 0 && done >= static_cast<std::size_t>(m_options.cutAfter)) {
            connection.Flush();
            return FormatString("cut by request after %zu of %zu records", done, plan.size());
        }
        if (m_options.recordDelayMs != 0) {
            connection.Flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(m_options.recordDelayMs));
        }
        std::shared_ptr<const Segment> segment;
        if (item.empty) {
            auto nothing = std::make_shared<Segment>();
            nothing->checksum = 1;  // the checksum of no bytes
            segment = std::move(nothing);
        } else if (!item.remove) {
            segment = LoadSegment(reference.at(item.key));
            if (!segment) {
                connection.Flush();
                return "cannot read reference segment " + ToNarrow(item.key);
            }
        }
        WriteRecord(connection, item.key, segment.get());
        if (segment) {
            tally.bytes += static_cast<double>(segment->bytes.size());
            tally.compressed += segment->compressed ? 1 : 0;
            ++tally.sent;
        } else {
            ++tally.removed;
        }
        if (connection.Failed()) {
            return FormatString("connection lost after %zu of %zu records",
                                tally.sent + tally.removed, plan.size());
        }
    }
    connection.Flush();
    return connection.Failed() ? "connection lost at the end" : "";
}

void RepairServer::WriteRecord(SocketBuffer& connection, const std::wstring& key,
                               const Segment* segment) {
    // A record without a segment (checksum 0, no bytes) cuts or removes the file there.
    std::vector<std::uint8_t> out;
    out.push_back(segment != nullptr && segment->compressed ? 1 : 0);
    const std::u16string units = ToUtf16(key);
    AppendLittleEndian<std::uint32_t>(out, static_cast<std::uint32_t>(units.size()));
    for (char16_t u : units) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    AppendLittleEndian<std::uint32_t>(out, segment != nullptr ? segment->checksum : 0);
    AppendLittleEndian<std::uint32_t>(
        out, segment != nullptr ? static_cast<std::uint32_t>(segment->bytes.size()) : 0);
    connection.WriteData(out.data(), static_cast<std::uint32_t>(out.size()));
    if (segment != nullptr) {
        connection.WriteData(segment->bytes.data(),
                             static_cast<std::uint32_t>(segment->bytes.size()));
    }
}
