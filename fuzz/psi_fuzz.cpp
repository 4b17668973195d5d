// The program association and program map sections on any bytes: reading one never reads outside it,
// a codec learned for a PID is one this engine knows, and a transport stream built around the section
// (its association naming the map's PID, the video of each stream it names after it) is converted with
// no byte changed but those the scan reports.
#include "container/psi_tables.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

using namespace veltrane;

namespace {

constexpr std::uint32_t MAP_PID = 0x100;
constexpr std::size_t PACKET = 188;
constexpr std::size_t MOST_STREAMS = 3;

// The headers of the test media's first pictures: an MPEG-2 sequence header with its extensions, and
// H.264's and HEVC's parameter sets; every stream carries all three, so that each codec's scanner
// meets its own and the others' bytes.
const std::uint8_t MPEG2_HEADERS[] = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x23, 0x01, 0x38, 0xA0, 0x70,
                                      0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                                      0x01, 0xB8, 0x00, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0F,
                                      0xFF, 0xF8, 0x00, 0x00, 0x01, 0xB5, 0x8F, 0xFF, 0xF3, 0x41, 0x80};
const std::uint8_t H264_HEADERS[] = {0x00, 0x00, 0x00, 0x01, 0x67, 0x64, 0x00, 0x1E, 0xAC, 0xD9, 0x40,
                                     0xB4, 0x12, 0x6C, 0x08, 0x40, 0x00, 0x00, 0x03, 0x00, 0x40, 0x00,
                                     0x00, 0x0C, 0x83, 0xC5, 0x8B, 0x65, 0x80, 0x00, 0x00, 0x00, 0x01,
                                     0x68, 0xEF, 0x83, 0x9C, 0xB0, 0x00, 0x00, 0x01, 0x06};
const std::uint8_t HEVC_HEADERS[] = {
    0x00, 0x00, 0x00, 0x01, 0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03,
    0x00, 0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x5A, 0x95, 0x94, 0x09, 0x00, 0x00,
    0x00, 0x01, 0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03,
    0x00, 0x00, 0x03, 0x00, 0x5A, 0xA0, 0x05, 0xA2, 0x00, 0x90, 0x59, 0x65, 0x65, 0x4A, 0x4C,
    0x2F, 0x02, 0x68, 0x08, 0x00, 0x00, 0x03, 0x00, 0x08, 0x00, 0x00, 0x03, 0x00, 0xC8, 0x40,
    0x00, 0x00, 0x00, 0x01, 0x44, 0x01, 0xC0, 0x73, 0xC1, 0x89, 0x00, 0x00, 0x01, 0x4E};

// Writes the CRC a section of the length it declares ends with, where the bytes hold that length: a
// fuzzer does not find a CRC-32 by chance, and every section with a wrong one is passed over alike.
void SetCrc(std::vector<std::uint8_t>& section) {
    if (section.size() < 3)
        return;
    const std::size_t length = 3 + (((section[1] & 0x0Fu) << 8) | section[2]);
    if (length < 7 || length > section.size())
        return;
    const std::uint32_t crc = SectionCrc(section.data(), static_cast<std::uint32_t>(length - 4));
    for (int i = 0; i < 4; ++i)
        section[length - 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
}

class Tables {
public:
    // The section read on `pid`, from a payload of exactly its bytes, so that a read past them is one
    // past a heap block.
    void Read(std::uint32_t pid, const std::vector<std::uint8_t>& payload) {
        const std::vector<std::uint8_t> exact(payload);
        m_tables.Read(pid, exact.data(), static_cast<std::uint32_t>(exact.size()),
                      [this](std::uint32_t stream, VideoCodec codec) { Learned(stream, codec); });
    }
    bool IsMap(std::uint32_t pid) const { return m_tables.IsMap(pid); }
    const std::vector<std::uint32_t>& Streams() const { return m_streams; }

private:
    void Learned(std::uint32_t stream, VideoCodec codec) {
        if (stream >= TS_PID_COUNT || stream == TS_PAT_PID || m_tables.IsMap(stream))
            fuzz::Finding("a stream learned on the association's PID, a map's, or none", stream);
        if (codec != VideoCodec::Mpeg12 && codec != VideoCodec::H264 && codec != VideoCodec::Hevc)
            fuzz::Finding("a codec this engine does not know", static_cast<std::uint64_t>(codec));
        if (std::find(m_streams.begin(), m_streams.end(), stream) == m_streams.end())
            m_streams.push_back(stream);
    }

    PsiTables m_tables;
    std::vector<std::uint32_t> m_streams;
};

void AddPacket(std::vector<std::uint8_t>& ts, std::uint32_t pid, bool unitStart, std::uint8_t& counter,
               const std::uint8_t* payload, std::size_t size) {
    ts.push_back(0x47);
    ts.push_back(static_cast<std::uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8)));
    ts.push_back(static_cast<std::uint8_t>(pid));
    ts.push_back(static_cast<std::uint8_t>(0x10 | (counter++ & 0x0F)));
    ts.insert(ts.end(), payload, payload + size);
    ts.insert(ts.end(), PACKET - 4 - size, 0xFF);
}

// A video PES on `pid` holding the three codecs' headers, over as many packets as it takes.
void AddVideo(std::vector<std::uint8_t>& ts, std::uint32_t pid) {
    std::vector<std::uint8_t> pes = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00};
    for (const auto& headers : {std::vector<std::uint8_t>(std::begin(MPEG2_HEADERS), std::end(MPEG2_HEADERS)),
                                std::vector<std::uint8_t>(std::begin(H264_HEADERS), std::end(H264_HEADERS)),
                                std::vector<std::uint8_t>(std::begin(HEVC_HEADERS), std::end(HEVC_HEADERS))})
        pes.insert(pes.end(), headers.begin(), headers.end());
    std::uint8_t counter = 0;
    for (std::size_t at = 0; at < pes.size(); at += PACKET - 4) {
        const std::size_t piece = std::min(PACKET - 4, pes.size() - at);
        AddPacket(ts, pid, at == 0, counter, pes.data() + at, piece);
    }
}

// A payload holding an association of program 1 to MAP_PID, with its CRC.
std::vector<std::uint8_t> Association() {
    constexpr std::uint8_t MAP_HIGH = 0xE0 | (MAP_PID >> 8), MAP_LOW = MAP_PID & 0xFF;
    std::vector<std::uint8_t> section = {0x00, 0xB0, 0x0D,     0x00,    0x01, 0xC1, 0x00, 0x00,
                                         0x00, 0x01, MAP_HIGH, MAP_LOW, 0,    0,    0,    0};
    SetCrc(section);
    section.insert(section.begin(), 0x00);
    return section;
}

} // namespace

// The first byte: bit 0 keeps the section's CRC as it is, the rest is the pointer field; the section
// follows.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const bool keepCrc = (data[0] & 1) != 0;
    const std::uint8_t pointer = static_cast<std::uint8_t>(data[0] >> 1);
    std::vector<std::uint8_t> section(data + 1, data + size);
    if (!keepCrc)
        SetCrc(section);
    // The pointer field, then as many stuffing bytes as it says before the section starts.
    std::vector<std::uint8_t> payload(1 + pointer, 0xFF);
    payload[0] = pointer;
    payload.insert(payload.end(), section.begin(), section.end());

    // Read as an association, then as the map an association names, and again as a map on every PID
    // a fuzzed association named (the first few).
    const std::vector<std::uint8_t> association = Association();
    Tables alone;
    alone.Read(TS_PAT_PID, payload);
    std::vector<std::uint32_t> maps;
    for (std::uint32_t pid = 1; pid < TS_PID_COUNT && maps.size() < MOST_STREAMS; ++pid) {
        if (alone.IsMap(pid))
            maps.push_back(pid);
    }
    for (const std::uint32_t pid : maps)
        alone.Read(pid, payload);
    Tables named;
    named.Read(TS_PAT_PID, association);
    named.Read(MAP_PID, payload);

    // The stream around it, where the section fits one packet's payload and names a stream: a whole
    // run takes milliseconds, a section's reading microseconds, and without a stream named the walk
    // is the one the whole-file target fuzzes.
    if (payload.size() > PACKET - 4 || named.Streams().empty())
        return 0;
    std::vector<std::uint8_t> ts;
    std::uint8_t patCounter = 0, pmtCounter = 0;
    AddPacket(ts, TS_PAT_PID, true, patCounter, association.data(), association.size());
    AddPacket(ts, MAP_PID, true, pmtCounter, payload.data(), payload.size());
    std::vector<std::uint32_t> streams(named.Streams().begin(),
                                       named.Streams().begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                     MOST_STREAMS, named.Streams().size())));
    // And one stream no map names, told by its PES stream id.
    if (std::find(streams.begin(), streams.end(), MAP_PID + 1) == streams.end() && !named.IsMap(MAP_PID + 1))
        streams.push_back(MAP_PID + 1);
    for (const std::uint32_t pid : streams)
        AddVideo(ts, pid);
    // The last byte of the section picks the direction, as the whole-file target's last byte does.
    fuzz::CheckWholeRun(ts.data(), ts.size(),
                        (data[size - 1] & 1) != 0 ? ConversionMode::To4x3 : ConversionMode::To16x9);
    return 0;
}
