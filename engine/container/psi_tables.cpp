// The program association and program map sections of a transport stream, read for the codec of each
// video stream.
#include "container/psi_tables.h"

namespace veltrane {

std::optional<VideoCodec> CodecOfStreamType(std::uint8_t type) {
    switch (type) {
    case 0x01:
    case 0x02:
        return VideoCodec::Mpeg12;
    case 0x1B:
        return VideoCodec::H264;
    case 0x24:
        return VideoCodec::Hevc;
    default:
        return std::nullopt;
    }
}

std::uint32_t SectionCrc(const std::uint8_t* data, std::uint32_t size) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint32_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

void PsiTables::Read(std::uint32_t pid, const std::uint8_t* payload, std::uint32_t size,
                     const std::function<void(std::uint32_t stream, VideoCodec codec)>& learned) {
    if (size < 1 || payload[0] >= size - 1)
        return;
    const std::uint8_t* section = payload + 1 + payload[0];
    const std::uint32_t room = size - 1 - payload[0];
    if (room < 12)
        return;
    const std::uint32_t length = 3 + (((section[1] & 0x0Fu) << 8) | section[2]);
    if (length > room || length < 12 || SectionCrc(section, length) != 0)
        return;
    const std::uint32_t end = length - 4;
    if (pid == TS_PAT_PID && section[0] == 0x00) {
        for (std::uint32_t at = 8; at + 4 <= end; at += 4) {
            const std::uint32_t program = (static_cast<std::uint32_t>(section[at]) << 8) | section[at + 1];
            const std::uint32_t map = ((section[at + 2] & 0x1Fu) << 8) | section[at + 3];
            // A map on a PID already seen as a stream, or on the association's own, is not believed.
            if (program != 0 && map != TS_PAT_PID && !m_streamPids[map])
                m_mapPids.set(map);
        }
        return;
    }
    if (section[0] != 0x02)
        return;
    std::uint32_t at = 12 + (((section[10] & 0x0Fu) << 8) | section[11]);
    while (at + 5 <= end) {
        const std::uint32_t stream = ((section[at + 1] & 0x1Fu) << 8) | section[at + 2];
        const std::optional<VideoCodec> codec = CodecOfStreamType(section[at]);
        if (codec && !m_mapPids[stream] && stream != TS_PAT_PID) {
            m_codec[stream] = codec;
            m_namesSpsCodec = m_namesSpsCodec || *codec != VideoCodec::Mpeg12;
            learned(stream, *codec);
        }
        at += 5 + (((section[at + 3] & 0x0Fu) << 8) | section[at + 4]);
    }
}

} // namespace veltrane
