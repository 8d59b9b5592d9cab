#include "RepairServer.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/Text.h"
#include "repair/SegmentChecksum.h"
#include "repair/buffer/BexoUtil.h"

namespace {

// Memory a session holds from its start (its state and the answer to its handshake), and
// from its first record on: one record in flight, compressed or not.
constexpr std::uint64_t kSessionMemory = 4096;
constexpr std::uint64_t kRecordMemory = kSegmentSize + 65536;
// Memory a loaded summary takes for each byte of it on the wire, with the copy the plan
// is made from: a 63 MB summary raised a server by 984 MB.
constexpr std::uint64_t kSummaryMemoryPerByte = 16;
// Records are made and sent in pieces of about this size.
constexpr std::size_t kSendPiece = 65536;

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

RepairServer::Session::Session(RepairServer* server)
    : m_server(server), m_memory(&server->m_memory), m_started(std::chrono::steady_clock::now()) {
    if (!m_memory.Grow(kSessionMemory)) {
        m_result = OverBudget("the session");
    }
}

std::string RepairServer::Session::OverBudget(const char* what) const {
    const MemoryBudget& budget = m_memory.Budget();
    return FormatString("dropped: %s does not fit the memory budget (%s of %s in use)", what,
                        Describe(static_cast<double>(budget.InUse())).c_str(),
                        Describe(static_cast<double>(budget.Limit())).c_str());
}

RepairServer::Session::Step RepairServer::Session::End(std::string result) {
    if (m_result.empty()) {
        m_result = std::move(result);
    }
    return Step::kEnded;
}

RepairServer::Session::Step RepairServer::Session::Take(const std::uint8_t* data, std::size_t size,
                                                        std::vector<std::uint8_t>* out) {
    if (!m_result.empty()) {
        return Step::kEnded;
    }
    if (m_entriesLeft == 0) {
        return Step::kPlan;  // bytes past the summary are not the client's to send
    }
    const RepairServerOptions& options = m_server->m_options;
    if (!m_greeted) {
        // The handshake is the first four bytes; they come before the summary.
        const std::size_t taken = std::min<std::size_t>(4 - m_summary.size(), size);
        m_summary.insert(m_summary.end(), data, data + taken);
        data += taken;
        size -= taken;
        if (m_summary.size() < 4) {
            return Step::kMore;
        }
        const std::uint32_t handshake = m_summary[0] | (m_summary[1] << 8) | (m_summary[2] << 16) |
                                        (static_cast<std::uint32_t>(m_summary[3]) << 24);
        m_summary.clear();
        if (handshake != 6) {
            return End(FormatString("dropped: handshake %u", handshake));
        }
        AppendLittleEndian<std::uint32_t>(*out, options.handshakeAnswer);
        if (options.handshakeAnswer != 6) {
            return End(
                FormatString("dropped: answered the handshake with %u", options.handshakeAnswer));
        }
        m_greeted = true;
    }
    // What one client may make the server hold is bounded twice: by the longest summary
    // taken from anyone, and by the budget all clients share (what a summary takes once
    // loaded, and the copy the plan is made from).
    if (m_summary.size() + size > options.maxSummaryBytes) {
        return End(
            FormatString("dropped: summary refused (%s)", BexoResultName(BEXORESULT_BAD_DATA)));
    }
    const std::uint64_t received = m_summary.size() + size;
    if (received > m_covered) {
        constexpr std::uint64_t kStep = 4096;
        const std::uint64_t step = std::max(received - m_covered, kStep);
        if (!m_memory.Grow(step * kSummaryMemoryPerByte)) {
            return End(OverBudget("the summary"));
        }
        m_covered += step;
    }
    m_summary.insert(m_summary.end(), data, data + size);
    return Frame();
}

RepairServer::Session::Step RepairServer::Session::Frame() {
    const auto word = [this](std::size_t at) {
        return m_summary[at] | (m_summary[at + 1] << 8) | (m_summary[at + 2] << 16) |
               (static_cast<std::uint32_t>(m_summary[at + 3]) << 24);
    };
    const auto refused = [this] {
        return End(
            FormatString("dropped: summary refused (%s)", BexoResultName(BEXORESULT_BAD_DATA)));
    };
    if (m_entriesLeft < 0) {
        if (m_summary.size() < 8) {
            return Step::kMore;
        }
        if (word(0) != kSummaryMagic) {
            return refused();
        }
        m_entriesLeft = word(4);
        m_framed = 8;
    }
    // Each entry: the key's length in UTF-16 units, the key, a checksum and a time.
    while (m_entriesLeft > 0 && m_summary.size() - m_framed >= 4) {
        const std::uint32_t units = word(m_framed);
        if (units > kMaxSegmentKeyUnits) {
            return refused();
        }
        const std::size_t entry = 4 + std::size_t{units} * 2 + 4 + 8;
        if (m_summary.size() - m_framed < entry) {
            break;
        }
        m_framed += entry;
        --m_entriesLeft;
    }
    return m_entriesLeft == 0 ? Step::kPlan : Step::kMore;
}

void RepairServer::Session::EndOfRequest() {
    End(m_greeted ? FormatString("dropped: summary refused (%s)",
                                 BexoResultName(BEXORESULT_NETWORK_ERROR))
                  : "dropped: no handshake");
}

bool RepairServer::Session::Plan(std::vector<std::uint8_t>* out) {
    if (!m_result.empty()) {
        return false;
    }
    FileTreeSummary::EntryMap client;
    {
        FileTreeSummary summary;
        BexoDataBufferMemoryDynamic received;
        received.WriteData(m_summary.data(), static_cast<std::uint32_t>(m_framed));
        received.Seek(0);
        std::vector<std::uint8_t>().swap(m_summary);
        const BEXORESULT loaded = summary.Load(&received);
        if (loaded != BEXORESULT_OK) {
            End(FormatString("dropped: summary refused (%s)", BexoResultName(loaded)));
            return false;
        }
        client = summary.Entries();
    }
    m_clientSegments = client.size();
    m_view = m_server->Reference();
    m_plan = m_server->Plan(*m_view, client);
    if (!m_plan.empty() && !m_memory.Grow(kRecordMemory)) {
        End(OverBudget("a record in flight"));
        return false;
    }
    AppendLittleEndian<std::uint32_t>(*out, static_cast<std::uint32_t>(m_plan.size()));
    return true;
}

bool RepairServer::Session::Next(std::vector<Piece>* out, std::size_t size) {
    const RepairServerOptions& options = m_server->m_options;
    const std::size_t start = out->size();
    std::size_t made = 0;
    while (m_result.empty() && m_sent + m_removed < m_plan.size() &&
           (out->size() == start || made < size)) {
        const std::size_t done = m_sent + m_removed;
        if (options.cutAfter >= 0 && done >= static_cast<std::size_t>(options.cutAfter)) {
            End(FormatString("dropped: cut by request after %zu of %zu records", done,
                             m_plan.size()));
            return false;
        }
        if (options.recordDelayMs != 0) {
            if (out->size() != start) {
                return true;  // the records so far go out before the pause
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(options.recordDelayMs));
        }
        const Planned& item = m_plan[done];
        std::shared_ptr<const Segment> segment;
        if (item.empty) {
            auto nothing = std::make_shared<Segment>();
            nothing->checksum = 1;  // the checksum of no bytes
            segment = std::move(nothing);
        } else if (!item.remove) {
            segment = m_server->LoadSegment(m_view->entries.at(item.key));
            if (!segment) {
                End("dropped: cannot read reference segment " + ToNarrow(item.key));
                return out->size() != start;
            }
        }
        WriteRecord(out, item.key, segment);
        made += 64 + (segment ? segment->bytes.size() : 0);
        if (segment) {
            m_bytes += static_cast<double>(segment->bytes.size());
            m_compressed += segment->compressed ? 1 : 0;
            ++m_sent;
        } else {
            ++m_removed;
        }
    }
    return out->size() != start;
}

void RepairServer::Session::Lost() {
    const std::size_t done = m_sent + m_removed;
    End(done < m_plan.size()
            ? FormatString("dropped: connection lost after %zu of %zu records", done, m_plan.size())
            : std::string("dropped: connection lost at the end"));
}

void RepairServer::Session::Finished() {
    End(FormatString(
        "repaired: %zu segments sent (%zu compressed), %zu files cut or removed, client had "
        "%zu segments",
        m_sent, m_compressed, m_removed, m_clientSegments));
}

std::string RepairServer::Session::Line(const std::string& peer) const {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    return FormatString("%s: %s; %zu of %zu records, %s, %.3f s", peer.c_str(), m_result.c_str(),
                        m_sent + m_removed, m_plan.size(), Describe(m_bytes).c_str(), seconds);
}

std::string RepairServer::Serve(Platform::TcpStream& stream) {
    const std::string peer = stream.PeerName();
    stream.SetTimeout(m_options.timeoutMs);
    Session session(this);
    std::vector<std::uint8_t> out;
    const auto send = [&stream, &out] {
        const bool sent = out.empty() || stream.WriteAll(out.data(), out.size());
        out.clear();
        return sent;
    };
    std::vector<std::uint8_t> in(65536);
    Session::Step step = Session::Step::kMore;
    while (step == Session::Step::kMore) {
        const long n = stream.ReadSome(in.data(), in.size());
        if (n <= 0) {
            session.EndOfRequest();
            break;
        }
        step = session.Take(in.data(), static_cast<std::size_t>(n), &out);
        send();
    }
    if (step == Session::Step::kPlan && session.Plan(&out) && send()) {
        bool more = true;
        std::vector<Piece> records;
        while (more) {
            records.clear();
            more = session.Next(&records, kSendPiece);
            const bool sent =
                std::all_of(records.begin(), records.end(), [&stream](const Piece& piece) {
                    return stream.WriteAll(piece->data(), piece->size());
                });
            if (!sent) {
                session.Lost();
                break;
            }
        }
    }
    send();
    if (session.Going()) {
        // The client closes when it is done; wait for that so the last bytes are not lost
        // to a reset.
        while (stream.ReadSome(in.data(), in.size()) > 0) {
        }
        session.Finished();
    }
    return session.Line(peer);
}

void RepairServer::WriteRecord(std::vector<Piece>* out, const std::wstring& key,
                               const std::shared_ptr<const Segment>& segment) {
    // A record without a segment (checksum 0, no bytes) cuts or removes the file there.
    auto head = std::make_shared<std::vector<std::uint8_t>>();
    head->push_back(segment != nullptr && segment->compressed ? 1 : 0);
    const std::u16string units = ToUtf16(key);
    AppendLittleEndian<std::uint32_t>(*head, static_cast<std::uint32_t>(units.size()));
    for (char16_t u : units) {
        head->push_back(static_cast<std::uint8_t>(u & 0xFF));
        head->push_back(static_cast<std::uint8_t>(u >> 8));
    }
    AppendLittleEndian<std::uint32_t>(*head, segment != nullptr ? segment->checksum : 0);
    AppendLittleEndian<std::uint32_t>(
        *head, segment != nullptr ? static_cast<std::uint32_t>(segment->bytes.size()) : 0);
    out->push_back(std::move(head));
    if (segment != nullptr && !segment->bytes.empty()) {
        out->emplace_back(segment, &segment->bytes);
    }
}
