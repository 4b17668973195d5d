// Room for a display size a Matroska track lacks: Tracks rewritten one element larger, into the Void after
// it, or, in a copy, moved behind the Segment's last byte.
#include "container/ebml.h"
#include "container/matroska.h"
#include "container/matroska_ids.h"

#include <algorithm>
#include <map>

namespace veltrane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ebml::ElementHeader;
using ebml::ReadResult;

constexpr std::uint8_t TRACKS_ID[] = {0x16, 0x54, 0xAE, 0x6B};

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

// `zero`: the element holds 0 in the bytes the value needs, for a site to set later.
Bytes UnsignedElement(std::uint32_t id, std::uint64_t value, bool zero = false) {
    // Two bytes at least, so that the other shape fits later too.
    Bytes data(
        std::max<std::uint32_t>(2, (64 - static_cast<std::uint32_t>(__builtin_clzll(value | 1)) + 7) / 8));
    ebml::WriteUnsigned(zero ? 0 : value, data.data(), static_cast<std::uint32_t>(data.size()));
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

struct DisplaySize {
    std::uint64_t width = 0, height = 0;
};

// The display size `track` must declare for `target`, by the sites' own rule on a track that declares one
// of every size; "" or the refusal.
const char* WantedDisplaySize(const MatroskaVideoTrack& track, DeclaredAspect target, DisplaySize& size) {
    MatroskaVideoTrack wide = track;
    wide.displayWidth = {true, 0, 8, 0};
    wide.displayHeight = {true, 0, 8, 0};
    std::vector<ContainerSite> sites;
    if (const char* refusal = MatroskaDisplaySites(wide, target, sites); *refusal != '\0')
        return refusal;
    ebml::ReadUnsigned(sites[0].after, 8, size.width);
    ebml::ReadUnsigned(sites[1].after, 8, size.height);
    return "";
}

// The Tracks element at data[at..) rebuilt with the display size `sizes` gives each track it names (its
// old DisplayWidth and DisplayHeight dropped), as values or as zeros; its size field at least
// `extraSizeLength` bytes longer than now. False when it is damaged.
bool RebuildTracks(const std::uint8_t* data, std::uint64_t at,
                   const std::map<std::uint64_t, DisplaySize>& sizes, bool zeros,
                   std::uint32_t extraSizeLength, Bytes& after) {
    ElementHeader tracksHeader;
    if (ebml::ReadElementHeader(data + at, ebml::MAX_HEADER_LENGTH, tracksHeader) != ReadResult::Ok)
        return false;
    DisplaySize wanted;
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
        ElementHeader g;
        ebml::ReadElementHeader(grown.data(), grown.size(), g);
        Bytes children(grown.begin() + static_cast<std::ptrdiff_t>(g.Length()), grown.end());
        const bool crc = children.size() >= 6 && children[0] == 0xBF && children[1] == 0x84;
        if (crc)
            children.erase(children.begin(), children.begin() + 6);
        for (const Bytes& e : {UnsignedElement(mkv::DISPLAY_WIDTH, wanted.width, zeros),
                               UnsignedElement(mkv::DISPLAY_HEIGHT, wanted.height, zeros)})
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
        const auto found = c.id == mkv::TRACK_ENTRY ? sizes.find(number) : sizes.end();
        if (found == sizes.end()) {
            out.insert(out.end(), data + pos, data + pos + c.Length() + c.size);
            return true;
        }
        wanted = found->second;
        return Rebuild(data, pos + c.Length(), c, out, entry);
    };
    after.clear();
    return Rebuild(data, at + tracksHeader.Length(), tracksHeader, after, tracks, extraSizeLength);
}

// The element at data[offset..offset + length) rebuilt by `build(extra, out)` (its size field `extra` bytes
// longer) into its own bytes and those of a Void right after it, if any; what is left over becomes a Void.
// False when it does not fit.
template <class Build>
bool FitInto(const std::uint8_t* data, std::uint64_t size, std::uint64_t offset, std::uint64_t length,
             Build build, MatroskaGrowth& growth) {
    std::uint64_t room = length;
    ElementHeader voidHeader;
    const std::uint64_t end = offset + length;
    Bytes same;
    // An element rebuilt in its own length leaves the Void after it as it is.
    if (!build(0, same))
        return false;
    if (same.size() != length && end < size &&
        ebml::ReadElementHeader(data + end, size - end, voidHeader) == ReadResult::Ok &&
        voidHeader.id == ebml::ID_VOID && voidHeader.SizeKnown() &&
        voidHeader.size <= size - end - voidHeader.Length())
        room += voidHeader.Length() + voidHeader.size;
    Bytes after;
    for (std::uint32_t extra = 0; extra < 2; ++extra) {
        if (!build(extra, after))
            return false;
        // A Void takes two bytes at least; one byte left over goes to a longer size field instead.
        if (after.size() + 1 != room)
            break;
    }
    if (after.size() > room || after.size() + 1 == room)
        return false;
    const std::uint64_t left = room - after.size();
    if (left >= 2) {
        const std::uint32_t sizeLength = left - 2 <= 126 ? 1 : 8;
        Append(after, ebml::ID_VOID, Bytes(left - 1 - sizeLength, 0), sizeLength);
    }
    growth.offset = offset;
    growth.before.assign(data + offset, data + offset + room);
    growth.after = std::move(after);
    return true;
}

// A same-length rewrite of data[offset..offset + after.size()).
MatroskaGrowth Rewrite(const std::uint8_t* data, std::uint64_t offset, Bytes after) {
    MatroskaGrowth r;
    r.offset = offset;
    r.before.assign(data + offset, data + offset + after.size());
    r.after = std::move(after);
    return r;
}

// A vint of `length` bytes holding `value`, or nothing when it does not fit (all ones means unknown).
Bytes SizeField(std::uint64_t value, std::uint32_t length) {
    if (length == 0 || length > 8 || value >= (std::uint64_t{1} << (7 * length)) - 1)
        return {};
    Bytes b(length);
    const std::uint64_t v = value | (std::uint64_t{1} << (7 * length));
    for (std::uint32_t i = length; i > 0; --i)
        b[i - 1] = static_cast<std::uint8_t>(v >> (8 * (length - i)));
    return b;
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
    DisplaySize wanted;
    if (const char* refusal = WantedDisplaySize(*track, target, wanted); *refusal != '\0')
        return refusal;
    for (const CrcScope& s : head.crcScopes)
        if (s.end >= head.tracks.offset + head.tracks.size && s.dataStart <= head.tracks.offset)
            return NO_ROOM; // a CRC-32 over the whole Segment would have to be read in full
    // Only into a Void: without one, the Tracks stays as it is.
    const std::uint64_t tracksEnd = head.tracks.offset + head.tracks.size;
    ElementHeader voidHeader;
    if (tracksEnd >= size ||
        ebml::ReadElementHeader(data + tracksEnd, size - tracksEnd, voidHeader) != ReadResult::Ok ||
        voidHeader.id != ebml::ID_VOID)
        return NO_ROOM;
    const auto build = [&](std::uint32_t extra, Bytes& after) {
        return RebuildTracks(data, head.tracks.offset, {{trackNumber, wanted}}, false, extra, after);
    };
    return FitInto(data, size, head.tracks.offset, head.tracks.size, build, growth) ? "" : NO_ROOM;
}

const char* PlanMatroskaMove(const std::uint8_t* data, std::uint32_t size, std::uint64_t fileSize,
                             const MatroskaHead& head, DeclaredAspect target, MatroskaMove& move) {
    std::map<std::uint64_t, DisplaySize> sizes;
    for (const MatroskaVideoTrack& t : head.video) {
        std::vector<ContainerSite> sites;
        if (*MatroskaDisplaySites(t, target, sites) == '\0')
            continue;
        if (const char* refusal = WantedDisplaySize(t, target, sizes[t.number]); *refusal != '\0')
            return refusal;
    }
    const std::uint64_t tracksEnd = head.tracks.offset + head.tracks.size;
    if (sizes.empty() || tracksEnd > size)
        return NO_ROOM;
    for (const CrcScope& s : head.crcScopes)
        if (s.end >= tracksEnd && s.dataStart <= head.tracks.offset)
            return "Matroska segment has a CRC-32 over all of it; its track list cannot move";
    if (head.segmentEnd != ebml::UNKNOWN_SIZE && head.segmentEnd != fileSize)
        return "Matroska segment is not the last thing in the file; its track list cannot move to the end";

    MatroskaHead moved = head;
    moved.crcScopes.clear();
    for (const CrcScope& s : head.crcScopes)
        if (s.crcOffset < head.tracks.offset || s.crcOffset >= tracksEnd)
            moved.crcScopes.push_back(s);
    std::vector<MatroskaGrowth> patches;
    // Every Seek entry for Tracks, in every SeekHead before the first Cluster, gets the new position: in
    // its own bytes where it fits, else the SeekHead grows into the Void after it (muxers leave one there
    // for this), its CRC-32 recomputed.
    const std::uint64_t position = fileSize - head.segmentStart;
    const std::uint64_t headEnd = std::min<std::uint64_t>(head.segmentEnd, size);
    bool seekFound = false;
    for (std::uint64_t pos = head.segmentStart; pos < headEnd;) {
        ElementHeader h;
        if (ebml::ReadElementHeader(data + pos, headEnd - pos, h) != ReadResult::Ok || !h.SizeKnown() ||
            h.id == mkv::CLUSTER || h.size > headEnd - pos - h.Length())
            break;
        const std::uint64_t start = pos, at = pos + h.Length();
        pos = at + h.size;
        if (h.id != mkv::SEEK_HEAD)
            continue;
        bool names = false, damaged = false;
        auto copy = [&](const ElementHeader& c, std::uint64_t p, Bytes& out) {
            out.insert(out.end(), data + p, data + p + c.Length() + c.size);
            return true;
        };
        auto seek = [&](const ElementHeader& c, std::uint64_t p, Bytes& out) {
            if (c.id != mkv::SEEK)
                return copy(c, p, out);
            bool tracksSeek = false;
            for (std::uint64_t f = p + c.Length(), end = f + c.size; f < end;) {
                ElementHeader e;
                if (ebml::ReadElementHeader(data + f, end - f, e) != ReadResult::Ok ||
                    e.size > end - f - e.Length()) {
                    damaged = true;
                    return false;
                }
                tracksSeek |=
                    e.id == mkv::SEEK_ID && e.size == 4 &&
                    std::equal(data + f + e.Length(), data + f + e.Length() + 4, std::begin(TRACKS_ID));
                f += e.Length() + e.size;
            }
            if (!tracksSeek)
                return copy(c, p, out);
            names = true;
            auto field = [&](const ElementHeader& e, std::uint64_t f, Bytes& entry) {
                if (e.id != mkv::SEEK_POSITION)
                    return copy(e, f, entry);
                // Its own length where the value fits, the least that holds it elsewhere.
                std::uint32_t length = static_cast<std::uint32_t>(std::min<std::uint64_t>(e.size, 8));
                Bytes value(8);
                while (!ebml::WriteUnsigned(position, value.data(), length))
                    ++length;
                value.resize(length);
                ebml::WriteUnsigned(position, value.data(), length);
                Append(entry, mkv::SEEK_POSITION, value);
                return true;
            };
            return Rebuild(data, p + c.Length(), c, out, field);
        };
        MatroskaGrowth rewrite;
        const auto build = [&](std::uint32_t extra, Bytes& after) {
            after.clear();
            return Rebuild(data, at, h, after, seek, extra);
        };
        const bool fits = FitInto(data, size, start, pos - start, build, rewrite);
        if (damaged)
            return "Matroska seek head is damaged";
        if (!names)
            continue;
        if (!fits)
            return "Matroska seek entry of the track list has no room for its new position";
        patches.push_back(std::move(rewrite));
        seekFound = true;
    }
    if (!seekFound)
        return "Matroska file has no seek entry for its track list; players would not find it moved";

    Bytes tracks;
    if (!RebuildTracks(data, head.tracks.offset, sizes, true, 0, tracks))
        return NO_ROOM;
    if (head.segmentEnd != ebml::UNKNOWN_SIZE) {
        Bytes field = SizeField(head.segmentEnd - head.segmentStart + tracks.size(), head.segmentSizeLength);
        if (field.empty())
            return "Matroska segment size has no room for the moved track list";
        move.segmentSize = Rewrite(data, head.segmentSizeField, std::move(field));
    }
    // The old Tracks' ID and size become a Void's over the same bytes.
    ElementHeader old;
    if (ebml::ReadElementHeader(data + head.tracks.offset, size - head.tracks.offset, old) != ReadResult::Ok)
        return NO_ROOM;
    const std::uint32_t sizeLength = std::min<std::uint32_t>(8, old.Length() - 1);
    Bytes voidHeader = {static_cast<std::uint8_t>(ebml::ID_VOID)};
    const Bytes voidSize = SizeField(head.tracks.size - 1 - sizeLength, sizeLength);
    voidHeader.insert(voidHeader.end(), voidSize.begin(), voidSize.end());
    if (voidSize.empty())
        return NO_ROOM;
    patches.push_back(Rewrite(data, head.tracks.offset, std::move(voidHeader)));

    if (!ReadMatroskaTracks(tracks.data(), tracks.size(), fileSize, moved))
        return NO_ROOM;
    std::stable_sort(moved.crcScopes.begin(), moved.crcScopes.end(),
                     [](const CrcScope& a, const CrcScope& b) {
                         return a.end != b.end ? a.end < b.end : a.dataStart > b.dataStart;
                     });
    if (moved.segmentEnd != ebml::UNKNOWN_SIZE)
        moved.segmentEnd += tracks.size();
    move.patches = std::move(patches);
    move.tracks = std::move(tracks);
    move.head = std::move(moved);
    return "";
}

} // namespace veltrane
