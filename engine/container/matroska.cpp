// Matroska's head read for its video tracks, and their display size set for a target shape.
#include "container/matroska.h"

#include "container/ebml.h"
#include "container/matroska_ids.h"

#include <algorithm>
#include <cstring>

namespace veltrane {
namespace {

using ebml::ElementHeader;
using ebml::ReadResult;

// Header stripping prefixes are a few bytes; anything near this is not what a muxer writes.
constexpr std::uint64_t MAX_PREFIX = 4096;

std::uint32_t LittleEndian32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The children of [begin, end) of the head, each given to `each` with the file offset of its data;
// false when one is unreadable, of unknown size, or reaches past `end`, or when `each` says so. A
// CRC-32 that opens the element is recorded with the bytes it guards.
template <class Each>
bool ForEachChild(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                  std::vector<CrcScope>& scopes, Each each) {
    bool first = true;
    for (std::uint64_t pos = begin; pos < end;) {
        ElementHeader h;
        if (ebml::ReadElementHeader(data + pos, end - pos, h) != ReadResult::Ok || !h.SizeKnown() ||
            h.size > end - pos - h.Length())
            return false;
        const std::uint64_t at = pos + h.Length();
        if (first && h.id == ebml::ID_CRC32 && h.size == 4)
            scopes.push_back({at, at + 4, end, LittleEndian32(data + at)});
        first = false;
        if (!each(h, at))
            return false;
        pos = at + h.size;
    }
    return true;
}

bool TakeField(const std::uint8_t* data, const ElementHeader& h, std::uint64_t at, MatroskaField& field) {
    if (field.present || h.size > 8)
        return false;
    field.present = true;
    field.offset = at;
    field.size = static_cast<std::uint8_t>(h.size);
    return ebml::ReadUnsigned(data + at, h.size, field.value);
}

std::string TakeString(const std::uint8_t* data, const ElementHeader& h, std::uint64_t at) {
    std::string s(reinterpret_cast<const char*>(data + at), static_cast<std::size_t>(h.size));
    // Strings may be padded with zero bytes.
    s.resize(std::strlen(s.c_str()));
    return s;
}

ContainerCodec CodecOf(const std::string& id) {
    if (id == "V_MPEG1")
        return ContainerCodec::Mpeg1;
    if (id == "V_MPEG2")
        return ContainerCodec::Mpeg2;
    if (id == "V_MPEG4/ISO/AVC")
        return ContainerCodec::H264;
    if (id == "V_MPEGH/ISO/HEVC")
        return ContainerCodec::Hevc;
    return ContainerCodec::Other;
}

struct TrackReading {
    MatroskaVideoTrack track;
    std::uint64_t type = 0;
    int encodings = 0;
    const char* refusal = "";
};

bool ReadEncodings(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                   std::vector<CrcScope>& scopes, TrackReading& reading) {
    return ForEachChild(data, begin, end, scopes, [&](const ElementHeader& e, std::uint64_t eAt) {
        if (e.id != mkv::CONTENT_ENCODING)
            return true;
        ++reading.encodings;
        std::uint64_t scope = 1, type = 0, algo = 0;
        bool compression = false, encryption = false;
        FileRange settings;
        const bool ok =
            ForEachChild(data, eAt, eAt + e.size, scopes, [&](const ElementHeader& c, std::uint64_t cAt) {
                switch (c.id) {
                case mkv::CONTENT_ENCODING_SCOPE:
                    return ebml::ReadUnsigned(data + cAt, c.size, scope);
                case mkv::CONTENT_ENCODING_TYPE:
                    return ebml::ReadUnsigned(data + cAt, c.size, type);
                case mkv::CONTENT_ENCRYPTION:
                    encryption = true;
                    return true;
                case mkv::CONTENT_COMPRESSION:
                    compression = true;
                    return ForEachChild(data, cAt, cAt + c.size, scopes,
                                        [&](const ElementHeader& a, std::uint64_t aAt) {
                                            if (a.id == mkv::CONTENT_COMP_ALGO)
                                                return ebml::ReadUnsigned(data + aAt, a.size, algo);
                                            if (a.id == mkv::CONTENT_COMP_SETTINGS)
                                                settings = {aAt, a.size};
                                            return true;
                                        });
                default:
                    return true;
                }
            });
        if (!ok)
            return false;
        if (type == 1 || encryption)
            reading.refusal = "Matroska video track is encrypted";
        else if (type != 0 || !compression || algo != 3 || (scope & 2) != 0 || reading.encodings > 1 ||
                 settings.size > MAX_PREFIX)
            reading.refusal = "Matroska video track is compressed";
        else if ((scope & 1) != 0) {
            reading.track.strippedPrefix = settings;
            reading.track.prefix.assign(data + settings.offset, data + settings.offset + settings.size);
        }
        return true;
    });
}

bool ReadVideo(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
               std::vector<CrcScope>& scopes, MatroskaVideoTrack& t) {
    return ForEachChild(data, begin, end, scopes, [&](const ElementHeader& v, std::uint64_t vAt) {
        switch (v.id) {
        case mkv::PIXEL_WIDTH:
            return TakeField(data, v, vAt, t.pixelWidth);
        case mkv::PIXEL_HEIGHT:
            return TakeField(data, v, vAt, t.pixelHeight);
        case mkv::PIXEL_CROP_TOP:
            return TakeField(data, v, vAt, t.cropTop);
        case mkv::PIXEL_CROP_BOTTOM:
            return TakeField(data, v, vAt, t.cropBottom);
        case mkv::PIXEL_CROP_LEFT:
            return TakeField(data, v, vAt, t.cropLeft);
        case mkv::PIXEL_CROP_RIGHT:
            return TakeField(data, v, vAt, t.cropRight);
        case mkv::DISPLAY_WIDTH:
            return TakeField(data, v, vAt, t.displayWidth);
        case mkv::DISPLAY_HEIGHT:
            return TakeField(data, v, vAt, t.displayHeight);
        case mkv::DISPLAY_UNIT:
            return TakeField(data, v, vAt, t.displayUnit);
        default:
            return true;
        }
    });
}

// Every TrackEntry of Tracks' data [begin, end); the video ones kept. False when damaged.
bool ReadTracks(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                MatroskaAnalysis& analysis) {
    MatroskaHead& head = analysis.head;
    return ForEachChild(data, begin, end, head.crcScopes, [&](const ElementHeader& e, std::uint64_t eAt) {
        if (e.id != mkv::TRACK_ENTRY)
            return true;
        TrackReading r;
        MatroskaVideoTrack& t = r.track;
        const bool ok = ForEachChild(data, eAt, eAt + e.size, head.crcScopes,
                                     [&](const ElementHeader& c, std::uint64_t cAt) {
                                         switch (c.id) {
                                         case mkv::TRACK_NUMBER:
                                             return ebml::ReadUnsigned(data + cAt, c.size, t.number);
                                         case mkv::TRACK_TYPE:
                                             return ebml::ReadUnsigned(data + cAt, c.size, r.type);
                                         case mkv::CODEC_ID:
                                             t.codecId = TakeString(data, c, cAt);
                                             return true;
                                         case mkv::CODEC_PRIVATE:
                                             t.codecPrivate = {cAt, c.size};
                                             return true;
                                         case mkv::VIDEO:
                                             return ReadVideo(data, cAt, cAt + c.size, head.crcScopes, t);
                                         case mkv::CONTENT_ENCODINGS:
                                             return ReadEncodings(data, cAt, cAt + c.size, head.crcScopes, r);
                                         default:
                                             return true;
                                         }
                                     });
        if (!ok || t.number == 0)
            return false;
        if (r.type != 1)
            return true;
        for (const MatroskaVideoTrack& other : head.video)
            if (other.number == t.number)
                return false;
        if (*r.refusal != '\0' && analysis.verdict != MatroskaVerdict::Refused) {
            analysis.verdict = MatroskaVerdict::Refused;
            analysis.refusal = r.refusal;
        }
        t.codec = CodecOf(t.codecId);
        head.video.push_back(std::move(t));
        return true;
    });
}

bool ReadDocType(const std::uint8_t* data, std::uint32_t size, std::uint64_t& next, bool& webm) {
    ElementHeader h;
    if (ebml::ReadElementHeader(data, size, h) != ReadResult::Ok || h.id != mkv::EBML_HEADER ||
        !h.SizeKnown() || h.size > size - h.Length())
        return false;
    std::string docType;
    std::vector<CrcScope> ignored;
    if (!ForEachChild(data, h.Length(), h.Length() + h.size, ignored,
                      [&](const ElementHeader& c, std::uint64_t at) {
                          if (c.id == mkv::DOC_TYPE)
                              docType = TakeString(data, c, at);
                          return true;
                      }))
        return false;
    next = h.Length() + h.size;
    webm = docType == "webm";
    return webm || docType == "matroska";
}

DeclaredAspect Classify(std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0)
        return DeclaredAspect::Unknown;
    const double shape = static_cast<double>(width) / static_cast<double>(height);
    if (shape > 4.0 / 3 * 0.97 && shape < 4.0 / 3 * 1.03)
        return DeclaredAspect::Ratio4x3;
    if (shape > 16.0 / 9 * 0.97 && shape < 16.0 / 9 * 1.03)
        return DeclaredAspect::Ratio16x9;
    return DeclaredAspect::Unknown;
}

// The picture's size after cropping, or false when the crops eat it.
bool CroppedSize(const MatroskaVideoTrack& t, std::uint64_t& width, std::uint64_t& height) {
    if (t.pixelWidth.value < t.cropLeft.value || t.pixelWidth.value - t.cropLeft.value < t.cropRight.value ||
        t.pixelHeight.value < t.cropTop.value || t.pixelHeight.value - t.cropTop.value < t.cropBottom.value)
        return false;
    width = t.pixelWidth.value - t.cropLeft.value - t.cropRight.value;
    height = t.pixelHeight.value - t.cropTop.value - t.cropBottom.value;
    return width != 0 && height != 0;
}

} // namespace

bool LooksLikeMatroska(const std::uint8_t* data, std::uint32_t size) {
    std::uint64_t next = 0;
    bool webm = false;
    return ReadDocType(data, size, next, webm);
}

MatroskaAnalysis AnalyseMatroska(const std::uint8_t* data, std::uint32_t size, std::uint64_t fileSize) {
    MatroskaAnalysis analysis;
    MatroskaHead& head = analysis.head;
    std::uint64_t pos = 0;
    if (!ReadDocType(data, size, pos, head.webm))
        return analysis;
    auto refuse = [&](const char* reason) {
        analysis.verdict = MatroskaVerdict::Refused;
        analysis.refusal = reason;
        return analysis;
    };
    ElementHeader h;
    // Void may stand between the EBML header and the Segment.
    for (;;) {
        if (ebml::ReadElementHeader(data + pos, size - pos, h) != ReadResult::Ok)
            return refuse("Matroska segment is damaged");
        if (h.id == mkv::SEGMENT)
            break;
        if (h.id != ebml::ID_VOID || h.size > size - pos - h.Length())
            return refuse("Matroska segment is damaged");
        pos += h.Length() + h.size;
    }
    head.segmentStart = pos + h.Length();
    head.segmentSizeField = pos + h.idLength;
    head.segmentSizeLength = h.sizeLength;
    head.segmentEnd = h.SizeKnown() ? head.segmentStart + h.size : ebml::UNKNOWN_SIZE;
    if (fileSize != 0 && h.SizeKnown() && head.segmentEnd > fileSize)
        return refuse("Matroska segment reaches past the end of the file");
    const std::uint64_t segmentEnd = std::min<std::uint64_t>(head.segmentEnd, size);
    bool tracksFound = false;
    bool first = true;
    for (pos = head.segmentStart; pos < segmentEnd && !tracksFound;) {
        const ReadResult read = ebml::ReadElementHeader(data + pos, segmentEnd - pos, h);
        if (read == ReadResult::NeedMore)
            break;
        // A Cluster may be of unknown size; it ends the head all the same.
        if (read == ReadResult::Ok && h.id == mkv::CLUSTER)
            break;
        if (read == ReadResult::Invalid || !h.SizeKnown())
            return refuse("Matroska segment is damaged");
        const std::uint64_t at = pos + h.Length();
        if (head.segmentEnd != ebml::UNKNOWN_SIZE && h.size > head.segmentEnd - at)
            return refuse("Matroska segment is damaged");
        if (first && h.id == ebml::ID_CRC32 && h.size == 4 && at + 4 <= size &&
            head.segmentEnd != ebml::UNKNOWN_SIZE)
            head.crcScopes.push_back({at, at + 4, head.segmentEnd, LittleEndian32(data + at)});
        first = false;
        if (h.id == mkv::TRACKS) {
            if (h.size > size - at)
                return refuse("Matroska track list is too large to read");
            head.tracks = {pos, h.Length() + h.size};
            analysis.verdict = MatroskaVerdict::Usable;
            if (!ReadTracks(data, at, at + h.size, analysis))
                return refuse("Matroska track list is damaged");
            tracksFound = true;
        }
        pos = at + h.size;
    }
    if (!tracksFound) {
        const std::optional<std::uint64_t> late = MatroskaSeekTracks(data, size, head);
        if (!late || *late < pos)
            return refuse("Matroska track list does not lie before the first cluster");
        head.tracks = {*late, 0};
        head.tracksLate = true;
        analysis.verdict = MatroskaVerdict::Usable;
        return analysis;
    }
    if (head.video.empty() && analysis.verdict == MatroskaVerdict::Usable)
        return refuse("Matroska file has no video track");
    // Inner scopes before the outer ones that end with them, for the walk to close them in order.
    std::stable_sort(head.crcScopes.begin(), head.crcScopes.end(), [](const CrcScope& a, const CrcScope& b) {
        return a.end != b.end ? a.end < b.end : a.dataStart > b.dataStart;
    });
    return analysis;
}

bool ReadMatroskaTracks(const std::uint8_t* data, std::uint64_t size, std::uint64_t at, MatroskaHead& head,
                        const char** refusal) {
    ElementHeader h;
    if (ebml::ReadElementHeader(data, size, h) != ReadResult::Ok || h.id != mkv::TRACKS || !h.SizeKnown() ||
        h.size != size - h.Length())
        return false;
    MatroskaAnalysis analysis;
    analysis.verdict = MatroskaVerdict::Usable;
    if (!ReadTracks(data, h.Length(), size, analysis))
        return false;
    if (refusal != nullptr)
        *refusal = analysis.verdict == MatroskaVerdict::Refused ? analysis.refusal : "";
    auto move = [at](std::uint64_t& offset) { offset += at; };
    for (MatroskaVideoTrack& t : analysis.head.video) {
        move(t.codecPrivate.offset);
        move(t.strippedPrefix.offset);
        for (MatroskaField* f : {&t.pixelWidth, &t.pixelHeight, &t.cropTop, &t.cropBottom, &t.cropLeft,
                                 &t.cropRight, &t.displayWidth, &t.displayHeight, &t.displayUnit})
            move(f->offset);
    }
    for (CrcScope& s : analysis.head.crcScopes) {
        move(s.crcOffset);
        move(s.dataStart);
        move(s.end);
    }
    head.video = std::move(analysis.head.video);
    head.crcScopes.insert(head.crcScopes.end(), analysis.head.crcScopes.begin(),
                          analysis.head.crcScopes.end());
    head.tracks = {at, size};
    return true;
}

std::optional<std::uint64_t> MatroskaSeekTracks(const std::uint8_t* data, std::uint32_t size,
                                                const MatroskaHead& head) {
    const std::uint64_t headEnd = std::min<std::uint64_t>(head.segmentEnd, size);
    std::optional<std::uint64_t> found;
    std::vector<CrcScope> ignored;
    for (std::uint64_t pos = head.segmentStart; pos < headEnd && !found;) {
        ElementHeader h;
        if (ebml::ReadElementHeader(data + pos, headEnd - pos, h) != ReadResult::Ok || !h.SizeKnown() ||
            h.id == mkv::CLUSTER || h.size > headEnd - pos - h.Length())
            break;
        const std::uint64_t at = pos + h.Length();
        pos = at + h.size;
        if (h.id != mkv::SEEK_HEAD)
            continue;
        ForEachChild(data, at, pos, ignored, [&](const ElementHeader& s, std::uint64_t sAt) {
            if (s.id != mkv::SEEK)
                return true;
            bool tracks = false;
            std::uint64_t position = 0;
            bool positioned = false;
            const bool ok = ForEachChild(
                data, sAt, sAt + s.size, ignored, [&](const ElementHeader& e, std::uint64_t eAt) {
                    if (e.id == mkv::SEEK_ID)
                        tracks = e.size == 4 && data[eAt] == 0x16 && data[eAt + 1] == 0x54 &&
                                 data[eAt + 2] == 0xAE && data[eAt + 3] == 0x6B;
                    else if (e.id == mkv::SEEK_POSITION)
                        positioned = ebml::ReadUnsigned(data + eAt, e.size, position);
                    return true;
                });
            // A position past what a file can hold is no place to read from.
            if (ok && tracks && positioned && position < (std::uint64_t{1} << 56)) {
                found = head.segmentStart + position;
                return false;
            }
            return true;
        });
    }
    return found;
}

DeclaredAspect MatroskaDeclaredAspect(const MatroskaVideoTrack& t) {
    std::uint64_t width = 0, height = 0;
    const bool cropped = CroppedSize(t, width, height);
    if (t.displayUnit.value == 0 && !cropped)
        return DeclaredAspect::Unknown;
    if (t.displayWidth.present)
        width = t.displayWidth.value;
    if (t.displayHeight.present)
        height = t.displayHeight.value;
    if (t.displayUnit.value != 0 && !(t.displayWidth.present && t.displayHeight.present))
        return DeclaredAspect::Unknown;
    return Classify(width, height);
}

const char* MatroskaDisplaySites(const MatroskaVideoTrack& t, DeclaredAspect target,
                                 std::vector<ContainerSite>& sites) {
    if (target == DeclaredAspect::Unknown)
        return "";
    const std::uint64_t num = target == DeclaredAspect::Ratio16x9 ? 16 : 4;
    const std::uint64_t den = target == DeclaredAspect::Ratio16x9 ? 9 : 3;
    std::uint64_t croppedWidth = 0, croppedHeight = 0;
    const bool cropped = CroppedSize(t, croppedWidth, croppedHeight);
    std::uint64_t width = num, height = den;
    if (t.displayUnit.value > 3)
        return "Matroska display unit is unknown";
    if (t.displayUnit.value == 0) {
        if (!cropped || croppedHeight > (std::uint64_t{1} << 40))
            return "Matroska track has no usable pixel size";
        height = croppedHeight;
        width = (croppedHeight * num * 2 + den) / (2 * den);
    }
    const DeclaredAspect before = MatroskaDeclaredAspect(t);
    struct Wanted {
        const MatroskaField& field;
        std::uint64_t value;
        std::uint64_t implied; // what an absent element means
        const char* what;
    };
    const Wanted wanted[] = {
        {t.displayWidth, width, t.displayUnit.value == 0 ? croppedWidth : 0, "DisplayWidth"},
        {t.displayHeight, height, t.displayUnit.value == 0 ? croppedHeight : 0, "DisplayHeight"},
    };
    std::vector<ContainerSite> found;
    for (const Wanted& w : wanted) {
        if (!w.field.present) {
            if (w.implied == w.value)
                continue;
            return "Matroska track has no display size; give it one with mkvpropedit first";
        }
        ContainerSite site;
        site.offset = w.field.offset;
        site.size = w.field.size;
        site.what = w.what;
        site.declaredBefore = before;
        site.declaredAfter = target;
        ebml::WriteUnsigned(w.field.value, site.before, site.size);
        if (!ebml::WriteUnsigned(w.value, site.after, site.size))
            return "Matroska display size has no room for the new value";
        found.push_back(site);
    }
    sites.insert(sites.end(), found.begin(), found.end());
    return "";
}

} // namespace veltrane
