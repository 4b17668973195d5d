// The streaming walk of a Matroska file: Clusters and their Blocks, the video tracks' frames handed over,
// and every CRC-32 kept right as patches change what it guards.
#include "container/ebml.h"
#include "container/matroska.h"
#include "container/matroska_ids.h"

#include <algorithm>

namespace veltrane {
namespace {

using ebml::ElementHeader;
using ebml::ReadResult;

// A block's header and lace sizes must fit in one window; the pump never holds back more.
constexpr std::uint64_t MAX_BLOCK_HEADER = 64 * 1024;
// Closed CRC scopes kept for a patch that comes late (a first header waiting for its follower).
constexpr std::size_t KEPT_CLOSED_SCOPES = 16;
constexpr std::uint64_t NO_END = ebml::UNKNOWN_SIZE;

void StoreLittleEndian32(std::uint32_t v, std::uint8_t* p) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

MatroskaWalker::MatroskaWalker(const MatroskaHead& head, std::uint64_t fileSize)
    : m_head(head), m_fileSize(fileSize) {
    for (const CrcScope& crc : m_head.crcScopes) {
        Scope s;
        s.crc = crc;
        s.fromHead = true;
        s.accPoint = crc.dataStart;
        m_scopes.push_back(s);
    }
    for (const MatroskaVideoTrack& t : m_head.video)
        m_prefixes.push_back(t.prefix);
}

const MatroskaVideoTrack* MatroskaWalker::VideoTrack(std::uint64_t number) const {
    for (const MatroskaVideoTrack& t : m_head.video)
        if (t.number == number)
            return &t;
    return nullptr;
}

void MatroskaWalker::Fail(const char* reason, MatroskaEvents& events) {
    if (m_mode == Mode::Stopped)
        return;
    m_mode = Mode::Stopped;
    events.Damaged(reason);
}

std::uint32_t MatroskaWalker::Walk(std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                                   std::uint64_t base, bool last, MatroskaEvents& events) {
    if (m_mode == Mode::Stopped)
        return size;
    const std::uint64_t windowEnd = base + size;
    if (m_pos < base + from || m_pos > windowEnd) {
        Fail("Matroska walk lost its place", events);
        return size;
    }
    for (;;) {
        if (m_mode == Mode::Skip || m_mode == Mode::Frames) {
            Run(data, base, windowEnd, events);
            if (m_pos < m_runEnd) {
                if (last)
                    Fail("Matroska element cut short by the end of the file", events);
                break;
            }
            m_mode = Mode::Elements;
        }
        if (m_mode != Mode::Elements)
            break;
        while (!m_open.empty() && m_open.back().end != NO_END && m_pos >= m_open.back().end)
            Close(m_open.back().end, events);
        CloseHeadScopesUpTo(m_pos, events);
        if (m_pos == windowEnd) {
            if (!last)
                break;
            while (!m_open.empty()) {
                if (m_open.back().end != NO_END) {
                    Fail("Matroska element cut short by the end of the file", events);
                    break;
                }
                Close(m_pos, events);
            }
            CloseHeadScopesUpTo(NO_END, events);
            break;
        }
        bool needMore = false;
        if (!Step(data, base, windowEnd, last, events, needMore) || needMore)
            break;
    }
    if (m_mode == Mode::Stopped)
        return size;
    return static_cast<std::uint32_t>(m_pos - base);
}

bool MatroskaWalker::Step(std::uint8_t* data, std::uint64_t base, std::uint64_t windowEnd, bool last,
                          MatroskaEvents& events, bool& needMore) {
    const std::uint8_t* p = data + (m_pos - base);
    const std::uint64_t available = windowEnd - m_pos;
    ElementHeader h;
    const ReadResult read = ebml::ReadElementHeader(p, available, h);
    if (read == ReadResult::NeedMore && !last) {
        needMore = true;
        return true;
    }
    if (read != ReadResult::Ok) {
        Fail(read == ReadResult::NeedMore ? "Matroska element cut short by the end of the file"
                                          : "Matroska element is damaged",
             events);
        return false;
    }
    const std::uint32_t parent = m_open.empty() ? 0 : m_open.back().id;
    // A Cluster of unknown size ends where the next of the Segment's own elements begins.
    if (parent == mkv::CLUSTER && m_open.back().end == NO_END && mkv::IsSegmentChild(h.id)) {
        Close(m_pos, events);
        return true;
    }
    const std::uint64_t at = m_pos + h.Length();
    const std::uint64_t end = h.SizeKnown() ? at + h.size : NO_END;
    const std::uint64_t parentEnd = m_open.empty() ? NO_END : m_open.back().end;
    if (parentEnd != NO_END && (end == NO_END || end > parentEnd)) {
        Fail("Matroska element reaches past its parent", events);
        return false;
    }
    if (m_fileSize != 0 && end != NO_END && end > m_fileSize) {
        Fail("Matroska element reaches past the end of the file", events);
        return false;
    }
    const bool masterMayBeOpenEnded =
        (parent == 0 && h.id == mkv::SEGMENT) || (parent == mkv::SEGMENT && h.id == mkv::CLUSTER);
    if (end == NO_END && !masterMayBeOpenEnded) {
        Fail("Matroska element is damaged", events);
        return false;
    }
    const bool firstChild = !m_open.empty() && m_open.back().firstChild;
    auto skip = [&] {
        if (!m_open.empty())
            m_open.back().firstChild = false;
        m_mode = Mode::Skip;
        m_pos = at;
        m_runEnd = end;
        return true;
    };
    switch (parent) {
    case 0:
        if (h.id != mkv::SEGMENT)
            return skip();
        if (m_segmentSeen) {
            Fail("Matroska file holds more than one segment", events);
            return false;
        }
        m_segmentSeen = true;
        m_open.push_back({h.id, end, true, -1});
        m_pos = at;
        return true;
    case mkv::SEGMENT:
        if (h.id == mkv::CLUSTER) {
            m_firstCluster = std::min(m_firstCluster, m_pos);
            m_open.back().firstChild = false;
            m_open.push_back({h.id, end, true, -1});
            m_pos = at;
            return true;
        }
        if (end == NO_END) {
            Fail("Matroska element is damaged", events);
            return false;
        }
        return skip();
    default:
        break;
    }
    // Inside a Cluster or a BlockGroup.
    if (end == NO_END) {
        Fail("Matroska element is damaged", events);
        return false;
    }
    if (h.id == ebml::ID_CRC32 && firstChild && h.size == 4) {
        if (available < h.Length() + 4u) {
            if (last) {
                Fail("Matroska element cut short by the end of the file", events);
                return false;
            }
            needMore = true;
            return true;
        }
        Scope s;
        s.crc.crcOffset = at;
        s.crc.dataStart = at + 4;
        s.crc.end = m_open.back().end;
        s.endKnown = s.crc.end != NO_END;
        s.crc.stored = static_cast<std::uint32_t>(p[h.Length()]) |
                       static_cast<std::uint32_t>(p[h.Length() + 1]) << 8 |
                       static_cast<std::uint32_t>(p[h.Length() + 2]) << 16 |
                       static_cast<std::uint32_t>(p[h.Length() + 3]) << 24;
        s.accPoint = s.crc.dataStart;
        m_scopes.push_back(s);
        m_open.back().scope = static_cast<int>(m_scopes.size() - 1);
        return skip();
    }
    if ((parent == mkv::CLUSTER && h.id == mkv::SIMPLE_BLOCK) ||
        (parent == mkv::BLOCK_GROUP && h.id == mkv::BLOCK)) {
        const std::uint64_t have = std::min(windowEnd, end) - at;
        const std::uint64_t blockStart = m_pos;
        if (!StartBlock(p + h.Length(), have, at, end, last, events, needMore))
            return false;
        if (needMore) {
            m_pos = blockStart;
            return true;
        }
        m_open.back().firstChild = false;
        return true;
    }
    if (parent == mkv::CLUSTER && h.id == mkv::BLOCK_GROUP) {
        m_open.back().firstChild = false;
        m_open.push_back({h.id, end, true, -1});
        m_pos = at;
        return true;
    }
    return skip();
}

bool MatroskaWalker::StartBlock(const std::uint8_t* p, std::uint64_t have, std::uint64_t at,
                                std::uint64_t end, bool last, MatroskaEvents& events, bool& needMore) {
    const std::uint64_t whole = end - at;
    // Bytes of the block's header still to come: more of the window, or a damaged block.
    auto shortOfBytes = [&] {
        if (have < whole && !last && have < MAX_BLOCK_HEADER) {
            needMore = true;
            return true;
        }
        Fail(have < whole && have >= MAX_BLOCK_HEADER ? "Matroska block's lacing is too long"
                                                      : "Matroska block is damaged",
             events);
        return false;
    };
    std::uint64_t number = 0;
    std::uint8_t length = 0;
    const ReadResult read = ebml::ReadVint(p, have, 8, number, length);
    if (read == ReadResult::NeedMore)
        return shortOfBytes();
    if (read == ReadResult::Invalid) {
        Fail("Matroska block is damaged", events);
        return false;
    }
    const MatroskaVideoTrack* track = VideoTrack(number);
    if (track == nullptr) {
        m_mode = Mode::Skip;
        m_pos = at;
        m_runEnd = end;
        return true;
    }
    std::uint64_t off = length + 3u; // the track number, a 16-bit timestamp, the flags
    if (have < off)
        return shortOfBytes();
    const unsigned lacing = (p[off - 1] >> 1) & 3;
    m_frameEnds.clear();
    if (lacing != 0) {
        if (have < off + 1)
            return shortOfBytes();
        const unsigned count = p[off++] + 1u;
        std::uint64_t sizes[256] = {};
        std::uint64_t sum = 0;
        if (lacing == 2) { // fixed: equal parts of what remains
            if (whole < off || (whole - off) % count != 0) {
                Fail("Matroska block is damaged", events);
                return false;
            }
            for (unsigned i = 0; i + 1 < count; ++i)
                sizes[i] = (whole - off) / count;
        } else {
            for (unsigned i = 0; i + 1 < count; ++i) {
                if (lacing == 1) { // Xiph: bytes of 255 add up until a smaller one
                    std::uint64_t s = 0;
                    std::uint8_t b = 0;
                    do {
                        if (have <= off)
                            return shortOfBytes();
                        b = p[off++];
                        s += b;
                    } while (b == 255);
                    sizes[i] = s;
                } else { // EBML: the first size, then signed differences
                    std::uint64_t v = 0;
                    std::uint8_t n = 0;
                    const ReadResult r = ebml::ReadVint(p + off, have - off, 8, v, n);
                    if (r == ReadResult::NeedMore)
                        return shortOfBytes();
                    if (r == ReadResult::Invalid) {
                        Fail("Matroska block is damaged", events);
                        return false;
                    }
                    off += n;
                    if (i == 0) {
                        sizes[i] = v;
                    } else {
                        const std::int64_t bias = (std::int64_t{1} << (7 * n - 1)) - 1;
                        const std::int64_t s =
                            static_cast<std::int64_t>(sizes[i - 1]) + (static_cast<std::int64_t>(v) - bias);
                        if (s < 0) {
                            Fail("Matroska block is damaged", events);
                            return false;
                        }
                        sizes[i] = static_cast<std::uint64_t>(s);
                    }
                }
                if (sizes[i] > whole) {
                    Fail("Matroska block is damaged", events);
                    return false;
                }
            }
        }
        for (unsigned i = 0; i + 1 < count; ++i)
            sum += sizes[i];
        if (off > whole || sum > whole - off) {
            Fail("Matroska block is damaged", events);
            return false;
        }
        std::uint64_t frameEnd = at + off;
        for (unsigned i = 0; i + 1 < count; ++i)
            m_frameEnds.push_back(frameEnd += sizes[i]);
    }
    if (off > whole) {
        Fail("Matroska block is damaged", events);
        return false;
    }
    m_frameEnds.push_back(end);
    m_track = track;
    m_frame = 0;
    m_prefixSent = false;
    m_mode = Mode::Frames;
    m_pos = at + off;
    m_runEnd = end;
    return true;
}

void MatroskaWalker::Run(std::uint8_t* data, std::uint64_t base, std::uint64_t windowEnd,
                         MatroskaEvents& events) {
    const std::uint64_t stop = std::min(m_runEnd, windowEnd);
    if (m_mode == Mode::Skip) {
        // Skipped elements hold no payload but a video track's CodecPrivate, inside Tracks.
        for (const MatroskaVideoTrack& t : m_head.video) {
            const std::uint64_t lo = std::max(m_pos, t.codecPrivate.offset);
            const std::uint64_t hi = std::min(stop, t.codecPrivate.offset + t.codecPrivate.size);
            if (lo < hi)
                events.VideoPayload(t.number, data + (lo - base), static_cast<std::uint32_t>(hi - lo), lo);
        }
        m_pos = stop;
        CloseHeadScopesUpTo(m_pos, events);
        return;
    }
    std::vector<std::uint8_t>& prefix = m_prefixes[static_cast<std::size_t>(m_track - m_head.video.data())];
    while (m_frame < m_frameEnds.size() && (m_pos < stop || m_frameEnds[m_frame] == m_pos)) {
        if (!m_prefixSent && !prefix.empty())
            events.VideoPayload(m_track->number, prefix.data(), static_cast<std::uint32_t>(prefix.size()),
                                m_track->strippedPrefix.offset);
        m_prefixSent = true;
        const std::uint64_t pieceEnd = std::min(m_frameEnds[m_frame], stop);
        if (pieceEnd > m_pos) {
            events.VideoPayload(m_track->number, data + (m_pos - base),
                                static_cast<std::uint32_t>(pieceEnd - m_pos), m_pos);
            m_pos = pieceEnd;
        }
        if (m_pos == m_frameEnds[m_frame]) {
            events.FrameEnd(m_track->number);
            ++m_frame;
            m_prefixSent = false;
        } else {
            break;
        }
    }
}

void MatroskaWalker::Close(std::uint64_t end, MatroskaEvents& events) {
    const Open open = m_open.back();
    m_open.pop_back();
    if (open.scope >= 0) {
        Scope& s = m_scopes[static_cast<std::size_t>(open.scope)];
        s.crc.end = end;
        s.endKnown = true;
        CloseScope(s, events);
    }
    // Forget the oldest closed scopes of the walk; those from the head stay, a patch may come any time.
    std::size_t closed = 0;
    for (const Scope& s : m_scopes)
        closed += s.closed && !s.fromHead ? 1 : 0;
    if (closed <= KEPT_CLOSED_SCOPES)
        return;
    for (auto it = m_scopes.begin(); it != m_scopes.end(); ++it) {
        if (it->closed && !it->fromHead) {
            const int erased = static_cast<int>(it - m_scopes.begin());
            m_forgottenUpTo = std::max(m_forgottenUpTo, it->crc.end);
            m_scopes.erase(it);
            for (Open& o : m_open)
                if (o.scope > erased)
                    --o.scope;
            break;
        }
    }
}

void MatroskaWalker::CloseHeadScopesUpTo(std::uint64_t pos, MatroskaEvents& events) {
    for (Scope& s : m_scopes)
        if (s.fromHead && !s.closed && s.crc.end <= pos)
            CloseScope(s, events);
}

void MatroskaWalker::CloseScope(Scope& s, MatroskaEvents& events) {
    s.closed = true;
    const std::uint32_t delta = ebml::Crc32ShiftZeros(s.acc, s.crc.end - s.accPoint);
    s.acc = 0;
    s.accPoint = s.crc.dataStart;
    if (delta == 0)
        return;
    ContainerPatch patch;
    patch.offset = s.crc.crcOffset;
    patch.size = 4;
    StoreLittleEndian32(s.crc.stored, patch.before);
    s.crc.stored ^= delta;
    StoreLittleEndian32(s.crc.stored, patch.after);
    events.FixUp(patch);
    // The CRC's own bytes lie inside whatever guards its parent.
    NotePatched(patch.offset, patch.size, patch.before, patch.after, events);
}

void MatroskaWalker::NotePatched(std::uint64_t offset, std::uint32_t size, const std::uint8_t* before,
                                 const std::uint8_t* after, MatroskaEvents& events) {
    bool guarded = false;
    for (std::size_t i = 0; i < m_scopes.size(); ++i) {
        Scope& s = m_scopes[i];
        const std::uint64_t lo = std::max(offset, s.crc.dataStart);
        const std::uint64_t hi = std::min(offset + size, s.endKnown ? s.crc.end : NO_END);
        if (lo >= hi)
            continue;
        guarded = true;
        std::uint32_t reg = 0;
        for (std::uint64_t k = lo; k < hi; ++k) {
            const std::uint8_t d = before[k - offset] ^ after[k - offset];
            reg = ebml::Crc32Linear(&d, 1, reg);
        }
        if (hi >= s.accPoint) {
            s.acc = ebml::Crc32ShiftZeros(s.acc, hi - s.accPoint) ^ reg;
            s.accPoint = hi;
        } else {
            s.acc ^= ebml::Crc32ShiftZeros(reg, s.accPoint - hi);
        }
        if (s.closed)
            CloseScope(s, events);
    }
    // A change among Clusters whose CRC-32s the walk has already forgotten: better no copy than a wrong one.
    if (!guarded && offset >= m_firstCluster && offset < m_forgottenUpTo)
        Fail("Matroska CRC-32 could not follow a late change", events);
}

} // namespace veltrane
