// Steps over the header of a PES packet, byte by byte, so that it may be cut anywhere.
#pragma once

#include <cstdint>

namespace veltrane {

// Fed the bytes of a PES packet from its start (in a transport stream) or from just after its
// length field (in a program stream, whose walker reads the start code and length itself), it tells
// how many of them are header: the payload that follows is what the header search may look at.
// Knows the MPEG-2 header (flags and header_data_length) and the MPEG-1 one (stuffing, STD buffer,
// PTS/DTS). A packet that is no video PES (a PSI section, an audio stream) is reported as such.
class PesHeader {
public:
    void StartAtStartCode() { m_phase = Phase::Zero0; }
    void StartAfterLength() {
        m_phase = Phase::First;
        m_stuffing = 0;
    }

    // Takes header bytes from the front of data[0..size); returns how many it took.
    std::uint32_t Consume(const std::uint8_t* data, std::uint32_t size);

    bool InHeader() const { return m_phase != Phase::Payload && m_phase != Phase::NotVideo; }
    bool NotVideo() const { return m_phase == Phase::NotVideo; }

private:
    enum class Phase : std::uint8_t {
        Zero0,
        Zero1,
        One,
        StreamId,
        Length0,
        Length1,         // the six bytes before the header proper
        First,           // MPEG-2 flags, or MPEG-1 stuffing / STD buffer / PTS
        Mpeg2Flags,      // the second flag byte
        Mpeg2Length,     // header_data_length
        Mpeg1AfterStd,   // the second STD byte, then the PTS/DTS marker
        Mpeg1Timestamps, // the PTS/DTS marker byte
        Skip,            // m_skip more header bytes
        Payload,
        NotVideo,
    };

    Phase m_phase = Phase::Payload;
    std::uint8_t m_stuffing = 0;
    std::uint16_t m_skip = 0;
};

} // namespace veltrane
