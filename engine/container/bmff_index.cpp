// Reads an MP4 / MOV index with bounded random reads; see bmff_index.h.
#include "container/bmff_index.h"

#include "video/aspect_rule.h"
#include "video/length_nal_scanner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <new>

namespace veltrane::container {

namespace {

// Whole boxes read into memory: moov of a ten-hour film stays well below the first, one fragment's moof
// below the second.
constexpr std::uint64_t MAX_MOOV_SIZE = 256ull << 20;
constexpr std::uint64_t MAX_MOOF_SIZE = 16ull << 20;
constexpr std::uint32_t MAX_TOP_LEVEL_BOXES = 1'000'000;
// A QuickTime visual sample entry's fixed fields before its child boxes.
constexpr std::uint64_t VISUAL_ENTRY_SIZE = 78;

constexpr std::uint32_t Fourcc(const char (&name)[5]) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[3]));
}

std::uint16_t Be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t Be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
std::uint64_t Be64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(Be32(p)) << 32 | Be32(p + 4);
}

void PutBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

bool IsTopLevelStart(std::uint32_t type) {
    switch (type) {
    case Fourcc("ftyp"):
    case Fourcc("styp"):
    case Fourcc("moov"):
    case Fourcc("mdat"):
    case Fourcc("free"):
    case Fourcc("skip"):
    case Fourcc("wide"):
    case Fourcc("pnot"):
    case Fourcc("uuid"):
        return true;
    default:
        return false;
    }
}

// A box inside bytes held in memory, which lie at file offset `fileOffset`.
struct Box {
    std::uint32_t type = 0;
    const std::uint8_t* body = nullptr;
    std::uint64_t bodySize = 0;
    std::uint64_t bodyOffset = 0; // in the file
};

// A region of memory whose first byte lies at `fileOffset`.
struct Region {
    const std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    std::uint64_t fileOffset = 0;
};

Region BodyOf(const Box& box, std::uint64_t skip = 0) {
    if (skip > box.bodySize)
        return {box.body + box.bodySize, 0, box.bodyOffset + box.bodySize};
    return {box.body + skip, box.bodySize - skip, box.bodyOffset + skip};
}

// The child boxes of a region. False when one does not fit: a size under its header, one past the
// parent's end, or the size 0 that only a file's last top-level box may have. A tail shorter than a
// box header is allowed (QuickTime ends some lists with four zero bytes).
bool ChildrenOf(const Region& parent, std::vector<Box>& children) {
    children.clear();
    std::uint64_t at = 0;
    while (parent.size - at >= 8) {
        const std::uint8_t* p = parent.data + at;
        std::uint64_t size = Be32(p);
        std::uint64_t header = 8;
        if (size == 1) {
            if (parent.size - at < 16)
                return false;
            size = Be64(p + 8);
            header = 16;
        }
        if (size < header || size > parent.size - at)
            return false;
        children.push_back({Be32(p + 4), p + header, size - header, parent.fileOffset + at + header});
        at += size;
    }
    return true;
}

std::optional<Box> Find(const std::vector<Box>& boxes, std::uint32_t type) {
    for (const Box& box : boxes)
        if (box.type == type)
            return box;
    return std::nullopt;
}

// An MPEG-4 descriptor's tag and length (a base-128 number of at most four bytes).
bool ReadDescriptor(const std::uint8_t*& p, const std::uint8_t* end, std::uint8_t& tag,
                    std::uint32_t& length) {
    if (p >= end)
        return false;
    tag = *p++;
    length = 0;
    for (int i = 0; i < 4; ++i) {
        if (p >= end)
            return false;
        const std::uint8_t b = *p++;
        length = length << 7 | (b & 0x7F);
        if ((b & 0x80) == 0)
            return length <= static_cast<std::uint64_t>(end - p);
    }
    return false;
}

bool IsMpegVideoTag(std::uint32_t type) {
    switch (type) {
    case Fourcc("m1v1"):
    case Fourcc("m1v "):
    case Fourcc("mpeg"):
    case Fourcc("m2v1"):
    case Fourcc("mp2v"):
    case Fourcc("mpg2"):
    case Fourcc("AVmp"):
    case Fourcc("mmes"):
        return true;
    default:
        break;
    }
    // HDV, XDCAM, XDCAM HD and IMX families are numbered by their last character.
    const std::uint32_t family = type & 0xFFFFFF00;
    return family == (Fourcc("hdv0") & 0xFFFFFF00) || family == (Fourcc("xdv0") & 0xFFFFFF00) ||
           family == (Fourcc("xd50") & 0xFFFFFF00) || family == (Fourcc("xdh0") & 0xFFFFFF00) ||
           family == (Fourcc("mx30") & 0xFFFFFF00) || family == (Fourcc("mx40") & 0xFFFFFF00) ||
           family == (Fourcc("mx50") & 0xFFFFFF00);
}

class FileSource final : public ByteSource {
public:
    explicit FileSource(const io::File& file) : m_file(file), m_size(file.Size().value_or(0)) {}
    std::uint64_t Size() const override { return m_size < 0 ? 0 : static_cast<std::uint64_t>(m_size); }
    bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) const override {
        return m_file.ReadAllAt(data, size, static_cast<std::int64_t>(offset));
    }

private:
    const io::File& m_file;
    std::int64_t m_size;
};

struct TopBox {
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t header = 0;
    std::uint64_t size = 0; // clipped to the file's end for a cut last mdat
};

class Indexer {
public:
    Indexer(const ByteSource& source, BmffIndex& out) : m_source(source), m_out(out) {}

    void Run() {
        m_fileSize = m_source.Size();
        if (!ReadTopLevel())
            return;
        if (m_out.outcome == IndexOutcome::NotThisFormat)
            return;
        if (!ReadMoov() || !ReadFragments() || !Finish())
            return;
        m_out.outcome = IndexOutcome::Indexed;
    }

private:
    bool Refuse(std::string why) {
        m_out.outcome = IndexOutcome::Refused;
        m_out.refusal = std::move(why);
        m_out.extents.clear();
        return false;
    }
    bool Damaged(const char* what) { return Refuse(std::string("MP4 structure is damaged (") + what + ")"); }

    bool ReadTopLevel() {
        std::uint64_t at = 0;
        while (m_fileSize - at >= 8) {
            if (m_top.size() >= MAX_TOP_LEVEL_BOXES)
                return Damaged("too many top-level boxes");
            std::uint8_t head[16];
            const std::size_t want = m_fileSize - at >= 16 ? 16 : 8;
            if (!m_source.ReadAt(head, want, at))
                return Refuse("MP4 file could not be read");
            TopBox box{Be32(head + 4), at, 8, Be32(head)};
            if (box.size == 1) {
                if (want < 16)
                    return Damaged("box header cut");
                box.size = Be64(head + 8);
                box.header = 16;
            } else if (box.size == 0) {
                box.size = m_fileSize - at;
            }
            if (m_top.empty() && !IsTopLevelStart(box.type))
                return true; // not this format: the outcome stays NotThisFormat
            m_out.outcome = IndexOutcome::Refused;
            if (box.size < box.header)
                return Damaged("box smaller than its header");
            if (box.size > m_fileSize - at) {
                // A recording cut short loses the end of its last mdat; the sample check below then
                // refuses any sample that lay there.
                if (box.type != Fourcc("mdat"))
                    return Damaged("box runs past the end of the file");
                box.size = m_fileSize - at;
            }
            m_top.push_back(box);
            at += box.size;
        }
        return true;
    }

    // Reads a top-level box's body into `buffer`.
    bool ReadBody(const TopBox& box, std::uint64_t limit, std::vector<std::uint8_t>& buffer, Region& region) {
        const std::uint64_t size = box.size - box.header;
        if (size > limit)
            return Refuse("MP4 index is too large");
        try {
            buffer.assign(static_cast<std::size_t>(size), 0);
        } catch (const std::bad_alloc&) {
            return Refuse("not enough memory for the MP4 index");
        }
        if (!m_source.ReadAt(buffer.data(), buffer.size(), box.offset + box.header))
            return Refuse("MP4 file could not be read");
        region = {buffer.data(), size, box.offset + box.header};
        return true;
    }

    bool ReadMoov() {
        const auto moov = std::find_if(m_top.begin(), m_top.end(),
                                       [](const TopBox& b) { return b.type == Fourcc("moov"); });
        if (moov == m_top.end())
            return Refuse("MP4 index (moov) is missing");
        Region region;
        if (!ReadBody(*moov, MAX_MOOV_SIZE, m_moov, region))
            return false;
        std::vector<Box> children;
        if (!ChildrenOf(region, children))
            return Damaged("moov");
        if (const auto mvex = Find(children, Fourcc("mvex"))) {
            std::vector<Box> extends;
            if (!ChildrenOf(BodyOf(*mvex), extends))
                return Damaged("mvex");
            for (const Box& trex : extends)
                if (trex.type == Fourcc("trex") && trex.bodySize >= 24)
                    m_defaultSize[Be32(trex.body + 4)] = Be32(trex.body + 16);
        }
        for (const Box& box : children) {
            if (box.type != Fourcc("trak"))
                continue;
            bool video = false;
            if (!ReadTrack(box, video))
                return false;
            if (video)
                return true;
        }
        return Refuse("MP4 has no video track");
    }

    bool ReadTrack(const Box& trak, bool& video) {
        std::vector<Box> boxes;
        if (!ChildrenOf(BodyOf(trak), boxes))
            return Damaged("trak");
        const auto mdia = Find(boxes, Fourcc("mdia"));
        const auto tkhd = Find(boxes, Fourcc("tkhd"));
        if (!mdia)
            return true;
        std::vector<Box> media;
        if (!ChildrenOf(BodyOf(*mdia), media))
            return Damaged("mdia");
        const auto hdlr = Find(media, Fourcc("hdlr"));
        if (!hdlr || hdlr->bodySize < 12 || Be32(hdlr->body + 8) != Fourcc("vide"))
            return true;
        video = true;
        if (!tkhd || !ReadTrackHeader(*tkhd))
            return Damaged("tkhd");
        if (const auto tapt = Find(boxes, Fourcc("tapt")); tapt && !ReadApertures(*tapt))
            return false;
        const auto minf = Find(media, Fourcc("minf"));
        std::vector<Box> info;
        if (!minf || !ChildrenOf(BodyOf(*minf), info))
            return Damaged("minf");
        const auto stbl = Find(info, Fourcc("stbl"));
        std::vector<Box> table;
        if (!stbl || !ChildrenOf(BodyOf(*stbl), table))
            return Damaged("stbl");
        std::uint16_t dataReference = 0;
        if (!ReadSampleDescription(table, dataReference))
            return false;
        if (!CheckDataReference(info, dataReference))
            return false;
        return ReadSampleTable(table);
    }

    bool ReadTrackHeader(const Box& tkhd) {
        if (tkhd.bodySize < 4)
            return false;
        const bool v1 = tkhd.body[0] == 1;
        const std::uint64_t idAt = v1 ? 20 : 12;
        const std::uint64_t matrixAt = v1 ? 52 : 40;
        if (tkhd.bodySize < matrixAt + 44)
            return false;
        m_out.trackId = Be32(tkhd.body + idAt);
        static constexpr std::array<std::uint32_t, 9> IDENTITY = {0x10000, 0, 0, 0,         0x10000,
                                                                  0,       0, 0, 0x40000000};
        for (std::size_t i = 0; i < IDENTITY.size(); ++i)
            if (Be32(tkhd.body + matrixAt + 4 * i) != IDENTITY[i])
                m_out.matrixNotIdentity = true;
        const std::uint64_t widthAt = matrixAt + 36;
        m_out.tkhdWidth = BoxField{tkhd.bodyOffset + widthAt, Be32(tkhd.body + widthAt)};
        m_out.tkhdHeight = BoxField{tkhd.bodyOffset + widthAt + 4, Be32(tkhd.body + widthAt + 4)};
        return true;
    }

    bool ReadApertures(const Box& tapt) {
        std::vector<Box> boxes;
        if (!ChildrenOf(BodyOf(tapt), boxes))
            return Damaged("tapt");
        for (const Box& box : boxes) {
            if (box.bodySize < 12)
                continue;
            const BoxField width{box.bodyOffset + 4, Be32(box.body + 4)};
            const BoxField height{box.bodyOffset + 8, Be32(box.body + 8)};
            if (box.type == Fourcc("clef")) {
                m_out.clefWidth = width;
                m_out.clefHeight = height;
            } else if (box.type == Fourcc("prof")) {
                m_out.profWidth = width;
                m_out.profHeight = height;
            }
        }
        return true;
    }

    bool ReadSampleDescription(const std::vector<Box>& table, std::uint16_t& dataReference) {
        const auto stsd = Find(table, Fourcc("stsd"));
        std::vector<Box> entries;
        if (!stsd || stsd->bodySize < 8 || !ChildrenOf(BodyOf(*stsd, 8), entries) || entries.empty())
            return Damaged("stsd");
        if (Be32(stsd->body + 4) != 1 || entries.size() != 1)
            return Refuse("MP4 video track has several sample descriptions");
        const Box& entry = entries.front();
        if (entry.bodySize < VISUAL_ENTRY_SIZE)
            return Damaged("visual sample entry");
        dataReference = Be16(entry.body + 6);
        m_out.width = Be16(entry.body + 24);
        m_out.height = Be16(entry.body + 26);
        std::vector<Box> boxes;
        if (!ChildrenOf(BodyOf(entry, VISUAL_ENTRY_SIZE), boxes))
            return Damaged("sample entry");
        if (const auto pasp = Find(boxes, Fourcc("pasp")); pasp && pasp->bodySize >= 8) {
            m_out.paspH = BoxField{pasp->bodyOffset, Be32(pasp->body)};
            m_out.paspV = BoxField{pasp->bodyOffset + 4, Be32(pasp->body + 4)};
        }
        switch (entry.type) {
        case Fourcc("encv"):
            return Refuse("MP4 video track is encrypted");
        case Fourcc("avc1"):
        case Fourcc("avc2"):
        case Fourcc("avc3"):
        case Fourcc("avc4"):
            m_out.codec = TrackCodec::H264;
            AddNalConfig(Find(boxes, Fourcc("avcC")), VideoCodec::H264);
            return true;
        case Fourcc("hvc1"):
        case Fourcc("hev1"):
            m_out.codec = TrackCodec::Hevc;
            AddNalConfig(Find(boxes, Fourcc("hvcC")), VideoCodec::Hevc);
            return true;
        case Fourcc("mp4v"):
            return ReadEsds(Find(boxes, Fourcc("esds")));
        default:
            break;
        }
        if (IsMpegVideoTag(entry.type)) {
            m_out.codec = TrackCodec::Mpeg12;
            if (entry.type == Fourcc("m1v1") || entry.type == Fourcc("m1v "))
                m_out.version = Mpeg12Version::Mpeg1;
            else if (entry.type != Fourcc("mpeg"))
                m_out.version = Mpeg12Version::Mpeg2;
            if (const auto glbl = Find(boxes, Fourcc("glbl")))
                AddConfig(glbl);
            else if (const auto esds = Find(boxes, Fourcc("esds")))
                return ReadEsds(esds);
        }
        return true;
    }

    // The samples' NAL length size comes from the record; without it they cannot be read.
    void AddNalConfig(const std::optional<Box>& box, VideoCodec codec) {
        AddConfig(box);
        if (!box) {
            m_out.nalConfigFailure =
                codec == VideoCodec::Hevc ? "the track has no hvcC" : "the track has no avcC";
            return;
        }
        m_out.nalLengthSize = NalLengthSizeOf(codec, box->body, static_cast<std::uint32_t>(box->bodySize),
                                              m_out.nalConfigFailure);
    }

    void AddConfig(const std::optional<Box>& box) {
        if (box && box->bodySize > 0)
            m_out.extents.push_back({box->bodyOffset, box->bodySize, true});
    }

    // ES_Descriptor > DecoderConfigDescriptor (object type) > DecoderSpecificInfo (the sequence header).
    bool ReadEsds(const std::optional<Box>& esds) {
        if (!esds)
            return true; // mp4v of no known object type: Other
        if (esds->bodySize < 4)
            return Damaged("esds");
        const std::uint8_t* p = esds->body + 4;
        const std::uint8_t* end = esds->body + esds->bodySize;
        // Moves on only within the descriptor, so that no pointer leaves the box.
        const auto skip = [&](std::size_t n) {
            if (static_cast<std::size_t>(end - p) < n)
                return false;
            p += n;
            return true;
        };
        std::uint8_t tag = 0;
        std::uint32_t length = 0;
        if (!ReadDescriptor(p, end, tag, length) || tag != 3 || length < 3)
            return Damaged("esds");
        end = p + length;
        const std::uint8_t flags = p[2];
        bool fits = skip(3) && (!(flags & 0x80) || skip(2));
        if (fits && (flags & 0x40))
            fits = p < end && skip(1u + *p);
        fits = fits && (!(flags & 0x20) || skip(2));
        if (!fits || !ReadDescriptor(p, end, tag, length) || tag != 4 || length < 13)
            return Damaged("esds");
        const std::uint8_t objectType = *p;
        const std::uint8_t* configEnd = p + length;
        if (objectType >= 0x60 && objectType <= 0x65) {
            m_out.codec = TrackCodec::Mpeg12;
            m_out.version = Mpeg12Version::Mpeg2;
        } else if (objectType == 0x6A) {
            m_out.codec = TrackCodec::Mpeg12;
            m_out.version = Mpeg12Version::Mpeg1;
        } else {
            return true;
        }
        p += 13;
        if (p < configEnd && ReadDescriptor(p, configEnd, tag, length) && tag == 5 && length > 0)
            m_out.extents.push_back(
                {esds->bodyOffset + static_cast<std::uint64_t>(p - esds->body), length, true});
        return true;
    }

    // The sample entry's data reference must be this file: "url " or "alis" with flag 1.
    bool CheckDataReference(const std::vector<Box>& info, std::uint16_t index) {
        const auto dinf = Find(info, Fourcc("dinf"));
        if (!dinf)
            return true;
        std::vector<Box> boxes;
        if (!ChildrenOf(BodyOf(*dinf), boxes))
            return Damaged("dinf");
        const auto dref = Find(boxes, Fourcc("dref"));
        if (!dref)
            return true;
        std::vector<Box> entries;
        if (dref->bodySize < 8 || !ChildrenOf(BodyOf(*dref, 8), entries))
            return Damaged("dref");
        if (index == 0 || index > entries.size())
            return Damaged("data reference");
        const Box& entry = entries[index - 1];
        if (entry.bodySize < 4 || (entry.body[3] & 1) == 0)
            return Refuse("MP4 sample data in another file (dref)");
        return true;
    }

    bool ReadSampleTable(const std::vector<Box>& table) {
        const auto stsz = Find(table, Fourcc("stsz"));
        const auto stz2 = Find(table, Fourcc("stz2"));
        const auto stsc = Find(table, Fourcc("stsc"));
        const auto stco = Find(table, Fourcc("stco"));
        const auto co64 = Find(table, Fourcc("co64"));
        if ((!stsz && !stz2) || !stsc || (!stco && !co64))
            return Damaged("sample table incomplete");

        // Sample sizes: one for all, or a table of 4-, 8-, 16- or 32-bit entries.
        std::uint32_t fixedSize = 0;
        std::uint32_t fieldBits = 32;
        std::uint64_t sampleCount = 0;
        const std::uint8_t* sizes = nullptr;
        if (stsz) {
            if (stsz->bodySize < 12)
                return Damaged("stsz");
            fixedSize = Be32(stsz->body + 4);
            sampleCount = Be32(stsz->body + 8);
            sizes = stsz->body + 12;
            if (fixedSize == 0 && sampleCount > (stsz->bodySize - 12) / 4)
                return Damaged("stsz count past its box");
            if (fixedSize != 0 && sampleCount > m_fileSize / fixedSize)
                return Damaged("stsz count past the file");
        } else {
            if (stz2->bodySize < 12)
                return Damaged("stz2");
            fieldBits = stz2->body[7];
            sampleCount = Be32(stz2->body + 8);
            sizes = stz2->body + 12;
            if ((fieldBits != 4 && fieldBits != 8 && fieldBits != 16) ||
                sampleCount > (stz2->bodySize - 12) * 8 / fieldBits)
                return Damaged("stz2 count past its box");
        }
        const auto sizeOf = [&](std::uint64_t i) -> std::uint32_t {
            switch (fieldBits) {
            case 4:
                return (i & 1) ? sizes[i / 2] & 0x0F : sizes[i / 2] >> 4;
            case 8:
                return sizes[i];
            case 16:
                return Be16(sizes + 2 * i);
            default:
                return fixedSize != 0 ? fixedSize : Be32(sizes + 4 * i);
            }
        };

        if (stsc->bodySize < 8)
            return Damaged("stsc");
        const std::uint64_t runs = Be32(stsc->body + 4);
        if (runs > (stsc->bodySize - 8) / 12)
            return Damaged("stsc count past its box");
        const auto& offsets = co64 ? *co64 : *stco;
        const std::uint64_t width = co64 ? 8 : 4;
        if (offsets.bodySize < 8)
            return Damaged("chunk offsets");
        const std::uint64_t chunks = Be32(offsets.body + 4);
        if (chunks > (offsets.bodySize - 8) / width)
            return Damaged("chunk offset count past its box");

        std::uint64_t sample = 0;
        std::uint64_t run = 0;
        for (std::uint64_t chunk = 1; chunk <= chunks && sample < sampleCount; ++chunk) {
            while (run + 1 < runs && Be32(stsc->body + 8 + 12 * (run + 1)) <= chunk)
                ++run;
            if (runs == 0 || Be32(stsc->body + 8 + 12 * run) > chunk)
                return Damaged("stsc");
            const std::uint64_t perChunk =
                std::min<std::uint64_t>(Be32(stsc->body + 8 + 12 * run + 4), sampleCount - sample);
            const std::uint8_t* entry = offsets.body + 8 + width * (chunk - 1);
            const std::uint64_t offset = co64 ? Be64(entry) : Be32(entry);
            std::uint64_t bytes = 0;
            if (fixedSize != 0) {
                bytes = perChunk * fixedSize; // sampleCount * fixedSize fits the file, checked above
            } else {
                for (std::uint64_t i = 0; i < perChunk; ++i)
                    bytes += sizeOf(sample + i);
            }
            sample += perChunk;
            if (!AddSamples(offset, bytes))
                return false;
        }
        return true;
    }

    bool AddSamples(std::uint64_t offset, std::uint64_t bytes) {
        if (offset > m_fileSize || bytes > m_fileSize - offset)
            return Refuse("MP4 sample table points past the end of the file");
        if (bytes > 0)
            m_out.extents.push_back({offset, bytes, false});
        return true;
    }

    // Every moof's track fragments of the video track: tfhd's base and defaults, trun's offsets and sizes.
    bool ReadFragments() {
        std::vector<std::uint8_t> buffer;
        for (const TopBox& top : m_top) {
            if (top.type != Fourcc("moof"))
                continue;
            m_out.fragmented = true;
            Region region;
            if (!ReadBody(top, MAX_MOOF_SIZE, buffer, region))
                return false;
            std::vector<Box> trafs;
            if (!ChildrenOf(region, trafs))
                return Damaged("moof");
            std::uint64_t dataEnd = top.offset; // where a track fragment without its own base starts
            for (const Box& traf : trafs)
                if (traf.type == Fourcc("traf") && !ReadTrackFragment(traf, top.offset, dataEnd))
                    return false;
        }
        return true;
    }

    bool ReadTrackFragment(const Box& traf, std::uint64_t moofOffset, std::uint64_t& dataEnd) {
        std::vector<Box> boxes;
        if (!ChildrenOf(BodyOf(traf), boxes))
            return Damaged("traf");
        const auto tfhd = Find(boxes, Fourcc("tfhd"));
        if (!tfhd || tfhd->bodySize < 8)
            return Damaged("tfhd");
        const std::uint32_t flags = Be32(tfhd->body) & 0xFFFFFF;
        const std::uint32_t track = Be32(tfhd->body + 4);
        std::uint64_t at = 8;
        const auto field = [&](std::uint32_t flag, std::uint64_t size) -> std::optional<std::uint64_t> {
            if ((flags & flag) == 0 || at + size > tfhd->bodySize)
                return std::nullopt;
            const std::uint64_t value = size == 8 ? Be64(tfhd->body + at) : Be32(tfhd->body + at);
            at += size;
            return value;
        };
        const auto base = field(0x1, 8);
        field(0x2, 4);
        field(0x8, 4);
        std::optional<std::uint64_t> defaultSize = field(0x10, 4);
        if (!defaultSize && m_defaultSize.count(track))
            defaultSize = m_defaultSize[track];
        const std::uint64_t trafBase = base ? *base : (flags & 0x20000) ? moofOffset : dataEnd;
        std::uint64_t next = trafBase;
        for (const Box& trun : boxes)
            if (trun.type == Fourcc("trun") && !ReadTrackRun(trun, track, trafBase, next, defaultSize))
                return false;
        dataEnd = next;
        return true;
    }

    // One run of contiguous samples: at the fragment's base plus its own offset, or else where the
    // previous run ended (`next`, which it moves to its own end).
    bool ReadTrackRun(const Box& trun, std::uint32_t track, std::uint64_t trafBase, std::uint64_t& next,
                      std::optional<std::uint64_t> defaultSize) {
        if (trun.bodySize < 8)
            return Damaged("trun");
        const std::uint32_t flags = Be32(trun.body) & 0xFFFFFF;
        const std::uint64_t count = Be32(trun.body + 4);
        std::uint64_t at = 8;
        std::uint64_t start = next;
        if (flags & 0x1) {
            if (trun.bodySize < at + 4)
                return Damaged("trun");
            const std::int64_t offset = static_cast<std::int32_t>(Be32(trun.body + at));
            at += 4;
            if (offset < 0 && static_cast<std::uint64_t>(-offset) > trafBase)
                return Damaged("trun data offset");
            start = offset < 0 ? trafBase - static_cast<std::uint64_t>(-offset)
                               : trafBase + static_cast<std::uint64_t>(offset);
        }
        if (flags & 0x4)
            at += 4;
        std::uint64_t record = 0;
        std::uint64_t sizeAt = 0;
        for (const std::uint32_t flag : {0x100u, 0x200u, 0x400u, 0x800u}) {
            if (flag == 0x200)
                sizeAt = record;
            if (flags & flag)
                record += 4;
        }
        if (at > trun.bodySize || (record > 0 && count > (trun.bodySize - at) / record))
            return Damaged("trun count past its box");
        std::uint64_t bytes = 0;
        if (flags & 0x200) {
            for (std::uint64_t i = 0; i < count; ++i)
                bytes += Be32(trun.body + at + record * i + sizeAt);
        } else if (defaultSize) {
            if (*defaultSize != 0 && count > m_fileSize / *defaultSize)
                return Damaged("trun count past the file");
            bytes = count * *defaultSize;
        } else if (count > 0) {
            return Refuse("MP4 fragment gives no sample sizes");
        }
        if (bytes > m_fileSize || start > m_fileSize - bytes)
            return Damaged("trun data past the end of the file");
        if (track == m_out.trackId && !AddSamples(start, bytes))
            return false;
        next = start + bytes;
        return true;
    }

    // Samples only in media data, sorted, merged where they touch, never overlapping.
    bool Finish() {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> media;
        for (const TopBox& top : m_top)
            if (top.type == Fourcc("mdat"))
                media.emplace_back(top.offset + top.header, top.offset + top.size);
        auto& extents = m_out.extents;
        for (const PayloadExtent& extent : extents) {
            if (extent.config)
                continue;
            const bool inside = std::any_of(media.begin(), media.end(), [&](const auto& m) {
                return extent.offset >= m.first && extent.offset + extent.size <= m.second;
            });
            if (!inside)
                return Refuse("MP4 sample table points outside the media data");
        }
        std::sort(extents.begin(), extents.end(),
                  [](const PayloadExtent& a, const PayloadExtent& b) { return a.offset < b.offset; });
        std::vector<PayloadExtent> merged;
        for (const PayloadExtent& extent : extents) {
            if (!merged.empty()) {
                PayloadExtent& last = merged.back();
                const std::uint64_t lastEnd = last.offset + last.size;
                if (extent.offset < lastEnd)
                    return Damaged("samples overlap");
                if (extent.offset == lastEnd && !extent.config && !last.config) {
                    last.size += extent.size;
                    continue;
                }
            }
            merged.push_back(extent);
        }
        extents = std::move(merged);
        return true;
    }

    const ByteSource& m_source;
    BmffIndex& m_out;
    std::uint64_t m_fileSize = 0;
    std::vector<TopBox> m_top;
    std::vector<std::uint8_t> m_moov;                     // the moov body; the Boxes found in it point here
    std::map<std::uint32_t, std::uint64_t> m_defaultSize; // trex's default sample size per track
};

AspectSite Site32(const BoxField& field, std::uint32_t value, const char* what, DeclaredAspect before,
                  DeclaredAspect after) {
    AspectSite site;
    site.offset = field.offset;
    site.size = 4;
    PutBe32(site.before, field.value);
    PutBe32(site.after, value);
    site.what = what;
    site.declaredBefore = before;
    site.declaredAfter = after;
    return site;
}

// ISO/IEC 11172-2's pel aspect ratios (height over width) for codes 1..14, as the aspect rule has them.
constexpr double PEL_RATIO[15] = {0,      1.0000, 0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                  0.9157, 0.9815, 1.0255, 1.0695, 1.0950, 1.1575, 1.2015};

// The fraction nearest `value` whose terms are at most `limit`: continued fraction convergents, the
// last step shortened to the largest term that fits when that comes nearer. Muxers state an MPEG-1
// stream's pel ratio this way, limit 255, so pasp then matches what they write for the same code.
Ratio NearestFraction(double value, std::uint64_t limit) {
    Ratio before{0, 1};
    Ratio last{1, 0};
    double rest = value;
    for (int step = 0; step < 32; ++step) {
        const double whole = std::floor(rest);
        if (whole > static_cast<double>(limit))
            break;
        const auto term = static_cast<std::uint64_t>(whole);
        const Ratio next{term * last.num + before.num, term * last.den + before.den};
        if (next.num > limit || next.den > limit) {
            std::uint64_t fits = last.num ? (limit - before.num) / last.num : term;
            if (last.den)
                fits = std::min(fits, (limit - before.den) / last.den);
            const Ratio shortened{fits * last.num + before.num, fits * last.den + before.den};
            if (fits > 0 &&
                std::fabs(static_cast<double>(shortened.num) / static_cast<double>(shortened.den) - value) <
                    std::fabs(static_cast<double>(last.num) / static_cast<double>(last.den) - value))
                last = shortened;
            break;
        }
        before = last;
        last = next;
        if (rest - whole < 1e-12)
            break;
        rest = 1.0 / (rest - whole);
    }
    return last.den == 0 ? Ratio{0, 1} : last;
}

// The sample aspect an MPEG-1 stream of this size has once its pel code is rewritten towards `target`:
// the code the header rewrite picks, which is the one whose shape at this size is nearest the target.
Ratio Mpeg1SampleAspect(DeclaredAspect target, std::uint32_t width, std::uint32_t height) {
    const ConversionMode mode =
        target == DeclaredAspect::Ratio16x9 ? ConversionMode::To16x9 : ConversionMode::To4x3;
    const DeclaredAspect from =
        target == DeclaredAspect::Ratio16x9 ? DeclaredAspect::Ratio4x3 : DeclaredAspect::Ratio16x9;
    const Ratio shape = ShapeOf(target);
    const double wanted = static_cast<double>(shape.num) / static_cast<double>(shape.den);
    int best = 1;
    for (int code = 1; code <= 14; ++code) {
        const auto b = static_cast<std::uint8_t>(code << 4);
        if (ClassifyMpeg1Aspect(b, width, height) == from) {
            best = RewriteMpeg1Aspect(b, width, height, mode) >> 4;
            break;
        }
        const auto distance = [&](int c) {
            return std::fabs(std::log(static_cast<double>(width) / height / PEL_RATIO[c] / wanted));
        };
        if (distance(code) < distance(best))
            best = code;
    }
    return NearestFraction(1.0 / PEL_RATIO[best], 255);
}

double RatioOf(std::uint64_t num, std::uint64_t den) {
    return den == 0 ? 0.0 : static_cast<double>(num) / static_cast<double>(den);
}

} // namespace

bool LooksLikeBmff(const std::uint8_t* data, std::uint32_t size) {
    if (size < 8 || !IsTopLevelStart(Be32(data + 4)))
        return false;
    const std::uint32_t boxSize = Be32(data);
    if (boxSize == 1)
        return size >= 16 && Be64(data + 8) >= 16;
    return boxSize == 0 || boxSize >= 8;
}

BmffIndex IndexBmff(const ByteSource& source) {
    BmffIndex index;
    Indexer(source, index).Run();
    return index;
}

BmffIndex IndexBmff(const io::File& file) {
    if (!file.IsRegularFile() || !file.Size()) {
        BmffIndex index;
        index.outcome = IndexOutcome::Refused;
        index.refusal = "MP4 needs a seekable file";
        return index;
    }
    return IndexBmff(FileSource(file));
}

DeclaredAspect BmffIndex::Declared() const {
    if (paspH && paspV)
        return ClassifyShape(
            RatioOf(std::uint64_t{width} * paspH->value, std::uint64_t{height} * paspV->value));
    if (tkhdWidth && tkhdHeight && tkhdWidth->value != 0 && tkhdWidth->value != width << 16)
        return ClassifyShape(RatioOf(tkhdWidth->value, tkhdHeight->value));
    if (clefWidth && clefHeight)
        return ClassifyShape(RatioOf(clefWidth->value, clefHeight->value));
    return DeclaredAspect::Unknown;
}

std::vector<AspectSite> BmffIndex::SitesFor(DeclaredAspect target) const {
    std::vector<AspectSite> sites;
    if (width == 0 || height == 0 || target == DeclaredAspect::Unknown)
        return sites;
    Ratio sar = SampleAspectFor(target, width, height);
    if (version == Mpeg12Version::Mpeg1)
        sar = Mpeg1SampleAspect(target, width, height);
    if (paspH && paspV) {
        AspectSite site;
        site.offset = paspH->offset;
        site.size = 8;
        PutBe32(site.before, paspH->value);
        PutBe32(site.before + 4, paspV->value);
        // A pasp that states the target's ratio already, reduced or not, keeps its bytes.
        const bool same = std::uint64_t{paspH->value} * sar.den == std::uint64_t{paspV->value} * sar.num;
        PutBe32(site.after, same ? paspH->value : static_cast<std::uint32_t>(sar.num));
        PutBe32(site.after + 4, same ? paspV->value : static_cast<std::uint32_t>(sar.den));
        site.what = "pasp";
        site.declaredBefore = Declared();
        site.declaredAfter = target;
        sites.push_back(site);
    }
    // The display width in 16.16, rounded as muxers round it.
    const std::uint64_t display = (std::uint64_t{width} * sar.num * 0x10000 + sar.den / 2) / sar.den;
    if (display > 0xFFFFFFFF)
        return sites;
    const auto display32 = static_cast<std::uint32_t>(display);
    if (tkhdWidth && tkhdHeight && tkhdWidth->value != 0 && tkhdWidth->value != width << 16)
        sites.push_back(Site32(*tkhdWidth, display32, "tkhd width",
                               ClassifyShape(RatioOf(tkhdWidth->value, tkhdHeight->value)), target));
    if (profWidth && profHeight) {
        if (clefWidth && clefHeight) {
            // The clean aperture keeps its share of the production aperture's width.
            const double scaled =
                profWidth->value == 0
                    ? static_cast<double>(display32)
                    : std::round(static_cast<double>(clefWidth->value) * display32 / profWidth->value);
            if (scaled <= 4294967295.0)
                sites.push_back(Site32(*clefWidth, static_cast<std::uint32_t>(scaled), "tapt clef width",
                                       ClassifyShape(RatioOf(clefWidth->value, clefHeight->value)), target));
        }
        sites.push_back(Site32(*profWidth, display32, "tapt prof width",
                               ClassifyShape(RatioOf(profWidth->value, profHeight->value)), target));
    } else if (clefWidth && clefHeight) {
        sites.push_back(Site32(*clefWidth, display32, "tapt clef width",
                               ClassifyShape(RatioOf(clefWidth->value, clefHeight->value)), target));
    }
    return sites;
}

std::uint32_t ExtentWalk::Walk(std::uint8_t* data, std::uint32_t size, std::uint64_t base,
                               PayloadEvents& events) {
    const std::uint64_t end = base + size;
    auto it =
        std::upper_bound(m_extents.begin(), m_extents.end(), base,
                         [](std::uint64_t at, const PayloadExtent& e) { return at < e.offset + e.size; });
    for (; it != m_extents.end() && it->offset < end; ++it) {
        const std::uint64_t from = std::max(it->offset, base);
        const std::uint64_t to = std::min(it->offset + it->size, end);
        if (m_handed && m_inConfig != it->config)
            events.StreamBreak(m_track);
        m_handed = true;
        m_inConfig = it->config;
        events.VideoPayload(m_track, data + (from - base), static_cast<std::uint32_t>(to - from), from);
        if (!it->config && to == it->offset + it->size)
            events.SamplesEnd(m_track);
    }
    return size;
}

} // namespace veltrane::container
