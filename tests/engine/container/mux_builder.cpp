// Transport and program streams built byte by byte, and the reference model over their payloads.
#include "container/mux_builder.h"

#include "container/container_walk.h"
#include "video/aspect_rule.h"
#include "video/sequence_header.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace veltrane::test {

namespace {

std::uint8_t Byte(std::mt19937& random, int low = 0, int high = 255) {
    return static_cast<std::uint8_t>(std::uniform_int_distribution<int>(low, high)(random));
}

// Bytes that never form 00 00: no start code can hide in them.
Bytes Filler(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = (i > 0 && bytes[i - 1] == 0x00) ? Byte(random, 1) : Byte(random);
    return bytes;
}

void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// CRC-32/MPEG-2, as PSI sections and the program stream map end with.
std::uint32_t PsiCrc(const Bytes& bytes) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (const std::uint8_t b : bytes) {
        crc ^= std::uint32_t{b} << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000) != 0 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

std::size_t NextAfter(const std::set<std::size_t>& points, std::size_t at, std::size_t otherwise) {
    const auto next = points.upper_bound(at);
    return next == points.end() ? otherwise : std::min(*next, otherwise);
}

} // namespace

void Mux::Payload(int stream, const Bytes& es, std::size_t from, std::size_t count) {
    auto& offsets = video[stream];
    for (std::size_t i = 0; i < count; ++i)
        offsets.push_back(file.size() + i);
    file.insert(file.end(), es.begin() + static_cast<std::ptrdiff_t>(from),
                es.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Bytes ReferenceMuxConversion(const Mux& mux, ConversionMode mode, bool mpeg1) {
    Bytes out = mux.file;
    const auto search = [&](const std::vector<std::size_t>& offsets) {
        for (std::size_t i = 0; i + 7 < offsets.size(); ++i) {
            const auto at = [&](std::size_t k) { return mux.file[offsets[i + k]]; };
            if (at(0) != 0x00 || at(1) != 0x00 || at(2) != 0x01 || at(3) != 0xB3)
                continue;
            const std::uint32_t width = (std::uint32_t{at(4)} << 4) | (at(5) >> 4);
            const std::uint32_t height = (std::uint32_t{at(5) & 0x0Fu} << 8) | at(6);
            out[offsets[i + 7]] =
                mpeg1 ? RewriteMpeg1Aspect(at(7), width, height, mode) : RewriteAspectByte(at(7), mode);
        }
    };
    for (const auto& [stream, offsets] : mux.video)
        search(offsets);
    for (const auto& [from, to] : mux.plain) {
        std::vector<std::size_t> offsets(to - from);
        for (std::size_t i = 0; i < offsets.size(); ++i)
            offsets[i] = from + i;
        search(offsets);
    }
    return out;
}

Bytes SyntheticVideo(int headers, std::uint8_t aspect, bool mpeg2, std::size_t gopBytes,
                     std::mt19937& random) {
    Bytes es;
    for (int h = 0; h < headers; ++h) {
        // 720 x 576, the aspect under test with frame rate 3, bit rate and VBV size, no matrices.
        Append(es, {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, aspect, 0x13, 0x88, 0x1F, 0xFC});
        if (mpeg2)
            Append(es, {0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00});
        Append(es, {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF,
                    0xF8});
        Append(es, Filler(gopBytes, random));
    }
    return es;
}

std::vector<std::size_t> HeaderOffsets(const Bytes& es) {
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i + 3 < es.size(); ++i) {
        if (es[i] == 0x00 && es[i + 1] == 0x00 && es[i + 2] == 0x01 && es[i + 3] == 0xB3)
            offsets.push_back(i);
    }
    return offsets;
}

Bytes DecoyPayload(std::size_t size, std::mt19937& random) {
    Bytes bytes = Filler(size, random);
    const Bytes header = SequenceHeader(0x23);
    for (std::size_t at = 5; at + 16 < size; at += 40)
        std::copy(header.begin(), header.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

std::set<std::size_t> CutEveryHeader(const Bytes& es) {
    std::set<std::size_t> cuts;
    std::size_t k = 0;
    for (const std::size_t header : HeaderOffsets(es))
        cuts.insert(header + 1 + (k++ % 7));
    return cuts;
}

// ---- transport streams

namespace {

constexpr std::uint16_t VIDEO_PID = 0x100;
constexpr std::uint16_t AUDIO_PID = 0x101;
constexpr std::uint16_t PMT_PID = 0x1000;

class TransportWriter {
public:
    TransportWriter(Mux& mux, bool timestamped, std::mt19937& random, std::uint8_t streamType)
        : m_mux(mux), m_timestamped(timestamped), m_random(random), m_streamType(streamType) {}

    // One packet: the payload is `structure` (a PES header, a section) then `count` bytes of `es`
    // at `from` when `stream` >= 0, else `other`. `adaptation` is the adaptation field's content
    // after its length byte, or none; stuffing fills the packet.
    void Packet(std::uint16_t pid, bool unitStart, bool adaptation, Bytes adaptationBody,
                const Bytes& structure, int stream, const Bytes& es, std::size_t from, std::size_t count,
                const Bytes& other = {}) {
        if (m_timestamped)
            m_mux.Structure({Byte(m_random, 0, 0x3F), Byte(m_random), Byte(m_random), Byte(m_random)});
        const std::size_t payload = structure.size() + (stream >= 0 ? count : other.size());
        const bool needsField = adaptation || payload < 184;
        std::uint8_t& cc = m_continuity[pid];
        m_mux.Structure({0x47, static_cast<std::uint8_t>((unitStart ? 0x40 : 0x00) | (pid >> 8)),
                         static_cast<std::uint8_t>(pid & 0xFF),
                         static_cast<std::uint8_t>((needsField ? 0x20 : 0x00) | (payload > 0 ? 0x10 : 0x00) |
                                                   (cc++ & 0x0F))});
        if (needsField) {
            const std::size_t length = 183 - payload;
            Bytes field{static_cast<std::uint8_t>(length)};
            if (length > 0) {
                if (adaptationBody.empty())
                    adaptationBody = {0x00};
                adaptationBody.resize(length, 0xFF);
                Append(field, adaptationBody);
            }
            m_mux.Structure(field);
        }
        m_mux.Structure(structure);
        if (stream >= 0)
            m_mux.Payload(stream, es, from, count);
        else
            m_mux.Structure(other);
    }

    // A real PAT and PMT (program 1: MPEG-2 video on PID 0x100), so that ffmpeg can read the file;
    // after each section, where a reader looks no further, a start code and a "header" as decoys.
    void Psi() {
        Section(0x0000, {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00});
        if (m_pmt.empty())
            Section(PMT_PID, {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x00,
                              m_streamType, 0xE1, 0x00, 0xF0, 0x00});
        else
            Section(PMT_PID, m_pmt, m_pmtCrcWrong);
    }
    void ReplacePmt(const Bytes& section, bool crcWrong) {
        m_pmt = section;
        m_pmtCrcWrong = crcWrong;
    }

    void Section(std::uint16_t pid, Bytes section, bool crcWrong = false) {
        std::uint32_t crc = PsiCrc(section);
        if (crcWrong)
            crc ^= 1;
        Bytes payload{0x00}; // pointer_field
        Append(payload, section);
        Append(payload, {static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
                         static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)});
        Append(payload, SequenceHeader(0x33));
        Packet(pid, true, false, {}, payload, -1, {}, 0, 0, Bytes(184 - payload.size(), 0xFF));
    }

    void Audio() {
        Bytes pes{0x00, 0x00, 0x01, 0xC0, 0x00, 0xB2, 0x81, 0x80, 0x05, 0x21, 0x00, 0x01, 0x00, 0x01};
        Packet(AUDIO_PID, true, false, {}, pes, -1, {}, 0, 0, DecoyPayload(184 - pes.size(), m_random));
    }

    void Null() { Packet(0x1FFF, false, false, {}, {}, -1, {}, 0, 0, DecoyPayload(184, m_random)); }

    void Others() {
        const int count = 1 + static_cast<int>(m_random() % 3);
        for (int i = 0; i < count; ++i) {
            switch (m_random() % 3) {
            case 0:
                Psi();
                break;
            case 1:
                Audio();
                break;
            default:
                Null();
                break;
            }
        }
    }

    std::mt19937& Random() { return m_random; }

private:
    Mux& m_mux;
    bool m_timestamped;
    std::mt19937& m_random;
    std::uint8_t m_streamType;
    Bytes m_pmt;
    bool m_pmtCrcWrong = false;
    std::map<std::uint16_t, std::uint8_t> m_continuity;
};

} // namespace

Mux BuildTransport(const Bytes& es, const TransportOptions& options, std::mt19937& random,
                   std::uint8_t streamType, const OtherPmt& pmt) {
    Mux mux;
    TransportWriter ts(mux, options.timestamped, random, streamType);
    ts.ReplacePmt(pmt.section, pmt.crcWrong);
    ts.Psi();
    ts.Audio();
    // Only the first PES packet has a PTS, so that a decoder works the timing out by itself.
    const Bytes firstPesHeader{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x81,
                               0x80, 0x05, 0x21, 0x00, 0x01, 0x00, 0x01};
    const Bytes pesHeader{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x81, 0x00, 0x00};
    bool afterCut = false;
    for (std::size_t at = 0; at < es.size();) {
        const bool unitStart = at == 0 || options.pesStarts.count(at) > 0;
        const Bytes& structure = !unitStart ? Bytes{} : at == 0 ? firstPesHeader : pesHeader;
        // The continuation of a cut header comes after an adaptation field of some kind: a bare
        // flags byte, a PCR, or long stuffing that leaves only a byte or two of payload.
        Bytes field;
        std::size_t room = 184 - structure.size();
        bool adaptation = false;
        if (afterCut) {
            adaptation = true;
            switch (random() % 3) {
            case 0:
                field = {0x00};
                room -= 2;
                break;
            case 1:
                field = {0x10, 0x00, 0x00, 0x12, 0x34, 0x7E, 0x00};
                room -= 8;
                break;
            default:
                room = 1 + random() % 2;
                break;
            }
        }
        const std::size_t end = std::min({es.size(), at + room, NextAfter(options.cuts, at, es.size()),
                                          NextAfter(options.pesStarts, at, es.size())});
        ts.Packet(VIDEO_PID, unitStart, adaptation, field, structure, 0, es, at, end - at);
        afterCut = options.cuts.count(end) > 0;
        if (afterCut)
            ts.Others();
        else if (random() % 8 == 0)
            ts.Audio();
        at = end;
    }
    return mux;
}

// ---- program streams

Mux BuildProgram(const Bytes& es, const ProgramOptions& options, std::mt19937& random) {
    Mux mux;
    const bool mpeg1 = options.mpeg1;
    const auto pack = [&] {
        if (mpeg1) {
            mux.Structure({0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x83});
        } else {
            const auto stuffing = static_cast<std::uint8_t>(random() % 4);
            mux.Structure({0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3,
                           static_cast<std::uint8_t>(0xF8 | stuffing)});
            mux.Structure(Bytes(stuffing, 0xFF));
        }
    };
    const auto packet = [&](std::uint8_t id, const Bytes& header, std::size_t payload) {
        const std::size_t length = header.size() + payload;
        mux.Structure({0x00, 0x00, 0x01, id, static_cast<std::uint8_t>(length >> 8),
                       static_cast<std::uint8_t>(length & 0xFF)});
        mux.Structure(header);
    };
    // MPEG-1: stuffing, STD buffer and a PTS in the first packet, no PTS (0x0F) in the others.
    const Bytes firstVideoHeader = mpeg1 ? Bytes{0xFF, 0xFF, 0x60, 0xE8, 0x21, 0x00, 0x01, 0x00, 0x01}
                                         : Bytes{0x81, 0x80, 0x05, 0x21, 0x00, 0x01, 0x00, 0x01};
    const Bytes videoHeader = mpeg1 ? Bytes{0xFF, 0x60, 0xE8, 0x0F} : Bytes{0x81, 0x00, 0x00};
    // The decoys travel in private stream 2, which players pass over, and in padding.
    const auto others = [&] {
        const Bytes decoy = DecoyPayload(100 + random() % 400, random);
        packet(0xBF, {}, decoy.size());
        mux.Structure(decoy);
        if (random() % 2 == 0) {
            packet(0xBE, {}, 20);
            mux.Structure(Bytes(20, 0xFF));
        }
    };

    pack();
    // The system header: rate and stream bounds, with a decoy after it inside its own length.
    Bytes system{0x80, 0x1B, 0x83, 0x04, 0xE1, 0xFF, 0xE0, 0xE0, 0xE8, 0xC0, 0xC0, 0x20};
    Append(system, SequenceHeader(0x23));
    packet(0xBB, system, 0);
    if (options.streamType != 0) {
        // No stream info; one entry, the video, with a registration descriptor.
        Bytes map{0x00, 0x00, 0x01, 0xBC, 0x00, 0x00, 0xE1, 0xFF, 0x00, 0x00, 0x00, 0x0A, options.streamType,
                  0xE0, 0x00, 0x06, 0x05, 0x04, 'H',  'D',  'M',  'V'};
        map[5] = static_cast<std::uint8_t>(map.size() + 4 - 6);
        const std::uint32_t crc = PsiCrc(map) ^ (options.mapCrcBroken ? 1u : 0u);
        for (int shift = 24; shift >= 0; shift -= 8)
            map.push_back(static_cast<std::uint8_t>(crc >> shift));
        mux.Structure(map);
    }
    for (std::size_t at = 0; at < es.size();) {
        const std::size_t room = 1800 + random() % 200;
        const std::size_t end = std::min({es.size(), at + room, NextAfter(options.cuts, at, es.size())});
        packet(0xE0, at == 0 ? firstVideoHeader : videoHeader, end - at);
        mux.Payload(0, es, at, end - at);
        if (options.cuts.count(end) > 0 || random() % 3 == 0) {
            pack();
            others();
        } else {
            pack();
        }
        at = end;
    }
    mux.Structure({0x00, 0x00, 0x01, 0xB9});
    return mux;
}

// ---- the walk in buffers of any size

namespace {

// The walk applies every patch in the buffer itself; nothing else is asked of the sink.
class Rewrite final : public EditSink {
public:
    void Found(const Site&) override {}
};

} // namespace

Bytes WalkInBuffers(const Bytes& file, ConversionMode mode, std::size_t bufferSize, ContainerKind* kind) {
    Rewrite rewrite;
    ContainerWalk walk(rewrite, mode, static_cast<std::uint32_t>(bufferSize));
    Bytes held;
    Bytes out;
    const auto walkExactly = [&](std::size_t fresh, std::size_t from, bool last) {
        const std::size_t len = held.size() + fresh;
        const std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[len]);
        std::copy(held.begin(), held.end(), data.get());
        std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(from), fresh, data.get() + held.size());
        std::uint32_t keep = 0;
        if (last)
            walk.Finish(data.get(), static_cast<std::uint32_t>(len));
        else
            keep = walk.Walk(data.get(), static_cast<std::uint32_t>(len));
        EXPECT_LT(keep, bufferSize / 2);
        out.insert(out.end(), data.get(), data.get() + (len - keep));
        held.assign(data.get() + (len - keep), data.get() + len);
    };
    for (std::size_t read = 0; read < file.size();) {
        const std::size_t got = std::min(bufferSize - held.size(), file.size() - read);
        walkExactly(got, read, false);
        read += got;
    }
    walkExactly(0, 0, true);
    if (kind)
        *kind = walk.Kind();
    return out;
}

} // namespace veltrane::test
