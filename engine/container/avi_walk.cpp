// Walks an AVI file buffer by buffer; see avi_walk.h.
#include "container/avi_walk.h"

#include <algorithm>

namespace veltrane::container {

namespace {

constexpr std::uint32_t Fourcc(const char (&name)[5]) {
    // RIFF ids are stored in file order, read here as a little-endian word.
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[0])) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[3])) << 24;
}

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t Lower(std::uint32_t fourcc) {
    std::uint32_t lower = 0;
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<std::uint8_t>(fourcc >> (8 * i));
        if (c >= 'A' && c <= 'Z')
            c = static_cast<std::uint8_t>(c - 'A' + 'a');
        lower |= static_cast<std::uint32_t>(c) << (8 * i);
    }
    return lower;
}

// The codec a BITMAPINFOHEADER's biCompression names, in any letter case.
void NameCodec(std::uint32_t compression, AviVideo& video) {
    switch (Lower(compression)) {
    case Fourcc("mpg1"):
    case Fourcc("pim1"):
        video.codec = TrackCodec::Mpeg12;
        video.version = Mpeg12Version::Mpeg1;
        return;
    case Fourcc("mpg2"):
    case Fourcc("mp2v"):
    case Fourcc("mmes"):
    case Fourcc("pim2"):
    case Fourcc("em2v"):
        video.codec = TrackCodec::Mpeg12;
        video.version = Mpeg12Version::Mpeg2;
        return;
    case Fourcc("mpeg"):
    case 0x10000001: // DirectShow's MPEG-1 and MPEG-2 video codes
    case 0x10000002:
        video.codec = TrackCodec::Mpeg12;
        return;
    case Fourcc("h264"):
    case Fourcc("x264"):
    case Fourcc("avc1"):
    case Fourcc("davc"):
        video.codec = TrackCodec::H264;
        return;
    case Fourcc("hevc"):
    case Fourcc("h265"):
    case Fourcc("hev1"):
    case Fourcc("hvc1"):
        video.codec = TrackCodec::Hevc;
        return;
    default:
        video.codec = TrackCodec::Other;
    }
}

DeclaredAspect ClassifyFrameAspect(std::uint32_t value) {
    const std::uint32_t x = value >> 16;
    const std::uint32_t y = value & 0xFFFF;
    return y == 0 ? DeclaredAspect::Unknown : ClassifyShape(static_cast<double>(x) / y);
}

} // namespace

bool LooksLikeAvi(const std::uint8_t* data, std::uint32_t size) {
    return size >= 12 && Le32(data) == Fourcc("RIFF") && Le32(data + 8) == Fourcc("AVI ");
}

std::uint32_t AviWalk::Damaged(const char* what, std::uint32_t size) {
    m_refusal = std::string("AVI structure is damaged (") + what + ")";
    return size;
}

const AviVideo* AviWalk::VideoOf(std::uint32_t id) const {
    const auto digit = [](std::uint32_t c) { return c >= '0' && c <= '9'; };
    const std::uint32_t c0 = id & 0xFF;
    const std::uint32_t c1 = id >> 8 & 0xFF;
    const std::uint32_t kind = id >> 16;
    if (!digit(c0) || !digit(c1) || (kind != ('d' | 'c' << 8) && kind != ('d' | 'b' << 8)))
        return nullptr;
    const std::uint32_t stream = (c0 - '0') * 10 + (c1 - '0');
    const auto it =
        std::find_if(m_videos.begin(), m_videos.end(), [&](const AviVideo& v) { return v.stream == stream; });
    return it == m_videos.end() ? nullptr : &*it;
}

std::uint32_t AviWalk::Walk(std::uint8_t* data, std::uint32_t from, std::uint32_t size, std::uint64_t base,
                            bool last, PayloadEvents& events) {
    std::uint32_t at = from;
    while (at < size && !m_done && !Refused()) {
        const std::uint64_t offset = base + at;
        const std::uint32_t avail = size - at;
        if (m_skip > 0) {
            const auto step = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_skip, avail));
            m_skip -= step;
            at += step;
            continue;
        }
        if (m_payload > 0) {
            const auto step = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_payload, avail));
            if (m_afterConfig) {
                events.StreamBreak(m_payloadStream);
                m_afterConfig = false;
            }
            events.VideoPayload(m_payloadStream, data + at, step, offset);
            m_payload -= step;
            at += step;
            if (m_payload == 0 && m_payloadPad)
                m_skip = 1;
            continue;
        }
        while (!m_levels.empty() && offset >= m_levels.back().end)
            m_levels.pop_back();
        if (avail < 12 && !last)
            return at; // a chunk header cut by the buffer's edge
        if (avail < 8) {
            at = size; // a few bytes after the last chunk
            break;
        }
        const std::uint32_t id = Le32(data + at);
        const std::uint64_t chunkSize = Le32(data + at + 4);
        const std::uint64_t end = offset + 8 + chunkSize;
        const bool list = id == Fourcc("RIFF") || id == Fourcc("LIST");
        if (m_levels.empty()) {
            // The top level holds RIFF AVI and then RIFF AVIX parts; anything else ends the walk.
            const std::uint32_t form = avail >= 12 ? Le32(data + at + 8) : 0;
            if (id != Fourcc("RIFF") || form != (m_started ? Fourcc("AVIX") : Fourcc("AVI "))) {
                if (!m_started)
                    return Damaged("no RIFF AVI header", size);
                if (id == Fourcc("JUNK")) {
                    m_skip = 8 + chunkSize + (chunkSize & 1);
                    continue;
                }
                m_done = true; // whatever follows is no part of the movie
                break;
            }
            if (chunkSize < 4)
                return Damaged("RIFF size", size);
            m_started = true;
            m_levels.push_back({end, form});
            at += 12;
            continue;
        }
        if (end > m_levels.back().end)
            return Damaged("chunk runs past its list", size);
        if (list) {
            if (avail < 12 && last) {
                m_cut = true;
                at = size;
                break;
            }
            if (chunkSize < 4)
                return Damaged("list size", size);
            const std::uint32_t form = Le32(data + at + 8);
            const std::uint32_t parent = m_levels.back().type;
            const bool descend =
                (form == Fourcc("hdrl") && parent == Fourcc("AVI ")) ||
                (form == Fourcc("strl") && parent == Fourcc("hdrl")) ||
                (form == Fourcc("movi") && (parent == Fourcc("AVI ") || parent == Fourcc("AVIX"))) ||
                (form == Fourcc("rec ") && (parent == Fourcc("movi") || parent == Fourcc("rec ")));
            if (!descend) {
                m_skip = 8 + chunkSize + (chunkSize & 1);
                continue;
            }
            if (m_levels.size() >= MAX_DEPTH)
                return Damaged("lists nested too deep", size);
            if (form == Fourcc("strl")) {
                ++m_stream;
                m_streamIsVideo = false;
            }
            m_levels.push_back({end, form});
            at += 12;
            continue;
        }
        if (InList(Fourcc("strl"))) {
            // Header chunks are read whole; one larger than any real header is passed over.
            if (chunkSize <= HOLD_LIMIT) {
                if (avail < 8 + chunkSize) {
                    if (!last)
                        return at;
                    m_cut = true;
                    at = size;
                    break;
                }
                HeaderChunk(id, data + at + 8, static_cast<std::uint32_t>(chunkSize), offset + 8, events);
            }
            m_skip = 8 + chunkSize + (chunkSize & 1);
            continue;
        }
        if (InList(Fourcc("movi")) || InList(Fourcc("rec "))) {
            if (const AviVideo* video = VideoOf(id)) {
                m_payloadStream = video->stream;
                m_payload = chunkSize;
                m_payloadPad = (chunkSize & 1) != 0;
                at += 8;
                continue;
            }
        }
        // Audio, indexes (idx1, ix##), JUNK, and anything else is passed over unread.
        m_skip = 8 + chunkSize + (chunkSize & 1);
    }
    if (last && (m_payload > 0 || (m_skip > 0 && !m_done)))
        m_cut = true;
    return Refused() ? size : at;
}

void AviWalk::HeaderChunk(std::uint32_t id, std::uint8_t* body, std::uint32_t bodySize,
                          std::uint64_t bodyOffset, PayloadEvents& events) {
    if (id == Fourcc("strh")) {
        m_streamIsVideo = bodySize >= 4 && Le32(body) == Fourcc("vids");
        if (m_streamIsVideo && m_stream < 100)
            m_videos.push_back({static_cast<std::uint32_t>(m_stream)});
        return;
    }
    if (!m_streamIsVideo || m_videos.empty() ||
        m_videos.back().stream != static_cast<std::uint32_t>(m_stream))
        return;
    AviVideo& video = m_videos.back();
    if (id == Fourcc("strf") && bodySize >= 40) {
        video.width = Le32(body + 4);
        const auto height = static_cast<std::int32_t>(Le32(body + 8));
        video.height = height < 0 ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(height))
                                  : static_cast<std::uint32_t>(height);
        NameCodec(Le32(body + 16), video);
        // What follows the BITMAPINFOHEADER is the codec's configuration: MPEG's sequence header.
        if (bodySize > 40) {
            events.StreamBreak(video.stream);
            events.VideoPayload(video.stream, body + 40, bodySize - 40, bodyOffset + 40);
            m_afterConfig = true;
        }
        return;
    }
    if (id == Fourcc("vprp") && bodySize >= 24) {
        video.vprp = true;
        const std::uint32_t before = Le32(body + 20);
        const std::uint32_t target = m_target == DeclaredAspect::Ratio16x9 ? 0x00100009 : 0x00040003;
        AspectSite site;
        site.offset = bodyOffset + 20;
        site.size = 4;
        PutLe32(site.before, before);
        // A frame aspect that states the target's ratio already, reduced or not, keeps its bytes.
        const Ratio shape = ShapeOf(m_target);
        const bool same =
            std::uint64_t{before >> 16} * shape.den == std::uint64_t{before & 0xFFFF} * shape.num &&
            (before & 0xFFFF) != 0;
        PutLe32(site.after, same ? before : target);
        site.what = "vprp dwFrameAspectRatio";
        site.declaredBefore = ClassifyFrameAspect(before);
        site.declaredAfter = m_target;
        m_sites.push_back(site);
        events.Site(site);
    }
}

} // namespace veltrane::container
