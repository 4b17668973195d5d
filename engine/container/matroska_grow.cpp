// Room for a display size a Matroska track lacks: Tracks rewritten one element larger, into the Void after
// it.
#include "container/ebml.h"
#include "container/matroska.h"
#include "container/matroska_ids.h"

#include <algorithm>

namespace veltrane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ebml::ElementHeader;
using ebml::ReadResult;

constexpr const char* NO_ROOM = "Matroska track has no display size and no room for one; "
                                "give it one with mkvpropedit first";

std::uint32_t MinimalLength(std::uint64_t value) {
    std::uint32_t n = 1;
    while (n < 8 && value >= (std::uint64_t{1} << (7 * n)) - 1)
        ++n;
    return n;
}

void Append(Bytes& out, std::uint32_t id, const Bytes& data, std::uint32_t sizeLength = 0) {
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((id >> shift) != 0)
            out.push_back(static_cast<std::uint8_t>(id >> shift));
    const std::uint32_t n = std::max(sizeLength, MinimalLength(data.size()));
    std::uint64_t v = data.size() | (std::uint64_t{1} << (7 * n));
    for (std::uint32_t i = n; i > 0; --i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * (i - 1))));
    out.insert(out.end(), data.begin(), data.end());
}

Bytes UnsignedElement(std::uint32_t id, std::uint64_t value) {
    // Two bytes at least, so that the other shape fits later too.
    Bytes data(
        std::max<std::uint32_t>(2, (64 - static_cast<std::uint32_t>(__builtin_clzll(value | 1)) + 7) / 8));
    ebml::WriteUnsigned(value, data.data(), static_cast<std::uint32_t>(data.size()));
    Bytes out;
    Append(out, id, data);
    return out;
}

// A master element's children rewritten by `child` (which appends each child's new bytes to `out`),
// a leading CRC-32 recomputed over them; the size field keeps its length unless the size needs more.
template <class Child>
bool Rebuild(const std::uint8_t* data, std::uint64_t at, const ElementHeader& h, Bytes& out, Child child,
             std::uint32_t extraSizeLength = 0) {
    Bytes children;
    bool crc = false;
    for (std::uint64_t pos = at, end = at + h.size; pos < end;) {
        ElementHeader c;
        if (ebml::ReadElementHeader(data + pos, end - pos, c) != ReadResult::Ok || !c.SizeKnown() ||
            c.size > end - pos - c.Length())
            return false;
        if (pos == at && c.id == ebml::ID_CRC32 && c.size == 4)
            crc = true;
        else if (!child(c, pos, children))
            return false;
        pos += c.Length() + c.size;
    }
    if (crc) {
        const std::uint32_t value = ebml::Crc32(children.data(), children.size());
        Bytes field = {0xBF, 0x84};
        for (int i = 0; i < 4; ++i)
            field.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        children.insert(children.begin(), field.begin(), field.end());
    }
    Append(out, h.id, children, h.sizeLength + extraSizeLength);
    return true;
}

} // namespace

const char* PlanMatroskaGrowth(const std::uint8_t* data, std::uint32_t size, const MatroskaHead& head,
                               std::uint64_t trackNumber, DeclaredAspect target, MatroskaGrowth& growth) {
    const MatroskaVideoTrack* track = nullptr;
    for (const MatroskaVideoTrack& t : head.video)
        if (t.number == trackNumber)
            track = &t;
    if (track == nullptr || target == DeclaredAspect::Unknown)
        return NO_ROOM;
    // The display size wanted, from the sites' own rule on a track that declares one of every size.
    MatroskaVideoTrack wide = *track;
    wide.displayWidth = {true, 0, 8, 0};
    wide.displayHeight = {true, 0, 8, 0};
    std::vector<ContainerSite> sites;
    if (const char* refusal = MatroskaDisplaySites(wide, target, sites); *refusal != '\0')
        return refusal;
    std::uint64_t width = 0, height = 0;
    ebml::ReadUnsigned(sites[0].after, 8, width);
    ebml::ReadUnsigned(sites[1].after, 8, height);
    for (const CrcScope& s : head.crcScopes)
        if (s.end >= head.tracks.offset + head.tracks.size && s.dataStart <= head.tracks.offset)
            return NO_ROOM; // a CRC-32 over the whole Segment would have to be read in full
    const std::uint64_t tracksEnd = head.tracks.offset + head.tracks.size;
    ElementHeader voidHeader, tracksHeader;
    if (tracksEnd >= size ||
        ebml::ReadElementHeader(data + tracksEnd, size - tracksEnd, voidHeader) != ReadResult::Ok ||
        voidHeader.id != ebml::ID_VOID || !voidHeader.SizeKnown() ||
        voidHeader.size > size - tracksEnd - voidHeader.Length() ||
        ebml::ReadElementHeader(data + head.tracks.offset, size, tracksHeader) != ReadResult::Ok)
        return NO_ROOM;
    const std::uint64_t room = head.tracks.size + voidHeader.Length() + voidHeader.size;

    auto video = [&](const ElementHeader& c, std::uint64_t pos, Bytes& out) {
        if (c.id != mkv::DISPLAY_WIDTH && c.id != mkv::DISPLAY_HEIGHT)
            out.insert(out.end(), data + pos, data + pos + c.Length() + c.size);
        return true;
    };
    auto entry = [&](const ElementHeader& c, std::uint64_t pos, Bytes& out) {
        if (c.id != mkv::VIDEO) {
            out.insert(out.end(), data + pos, data + pos + c.Length() + c.size);
            return true;
        }
        const std::size_t start = out.size();
        if (!Rebuild(data, pos + c.Length(), c, out, video))
            return false;
        // The new elements go last among the Video's children: the CRC-32, if any, must stay first.
        Bytes grown(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
        out.resize(start);
        Bytes children;
        std::uint64_t childAt = 0;
        ElementHeader g;
        ebml::ReadElementHeader(grown.data(), grown.size(), g);
        childAt = g.Length();
        children.assign(grown.begin() + static_cast<std::ptrdiff_t>(childAt), grown.end());
        const bool crc = children.size() >= 6 && children[0] == 0xBF && children[1] == 0x84;
        if (crc)
            children.erase(children.begin(), children.begin() + 6);
        for (const Bytes& e :
             {UnsignedElement(mkv::DISPLAY_WIDTH, width), UnsignedElement(mkv::DISPLAY_HEIGHT, height)})
            children.insert(children.end(), e.begin(), e.end());
        if (crc) {
            const std::uint32_t value = ebml::Crc32(children.data(), children.size());
            Bytes field = {0xBF, 0x84};
            for (int i = 0; i < 4; ++i)
                field.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
            children.insert(children.begin(), field.begin(), field.end());
        }
        Append(out, mkv::VIDEO, children, c.sizeLength);
        return true;
    };
    auto tracks = [&](const ElementHeader& c, std::uint64_t pos, Bytes& out) {
        std::uint64_t number = 0;
        if (c.id == mkv::TRACK_ENTRY) {
            for (std::uint64_t p = pos + c.Length(), end = p + c.size; p < end;) {
                ElementHeader f;
                if (ebml::ReadElementHeader(data + p, end - p, f) != ReadResult::Ok ||
                    f.size > end - p - f.Length())
                    return false;
                if (f.id == mkv::TRACK_NUMBER)
                    ebml::ReadUnsigned(data + p + f.Length(), f.size, number);
                p += f.Length() + f.size;
            }
        }
        if (c.id != mkv::TRACK_ENTRY || number != trackNumber) {
            out.insert(out.end(), data + pos, data + pos + c.Length() + c.size);
            return true;
        }
        return Rebuild(data, pos + c.Length(), c, out, entry);
    };
    Bytes after;
    for (std::uint32_t extra = 0; extra < 2; ++extra) {
        after.clear();
        if (!Rebuild(data, head.tracks.offset + tracksHeader.Length(), tracksHeader, after, tracks, extra))
            return NO_ROOM;
        // A Void takes two bytes at least; one byte left over goes to a longer size field instead.
        if (after.size() + 1 != room)
            break;
    }
    if (after.size() > room || after.size() + 1 == room)
        return NO_ROOM;
    const std::uint64_t left = room - after.size();
    if (left >= 2) {
        const std::uint32_t sizeLength = left - 2 <= 126 ? 1 : 8;
        Append(after, ebml::ID_VOID, Bytes(left - 1 - sizeLength, 0), sizeLength);
    }
    growth.offset = head.tracks.offset;
    growth.before.assign(data + head.tracks.offset, data + head.tracks.offset + room);
    growth.after = std::move(after);
    return "";
}

} // namespace veltrane
