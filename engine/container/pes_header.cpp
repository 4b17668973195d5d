// The PES header, stepped over one byte at a time.
#include "container/pes_header.h"

#include <algorithm>

namespace veltrane {

namespace {

// The byte after an MPEG-1 packet's stuffing and STD buffer fields: how many timestamp bytes follow it.
// 0x0F alone marks "no timestamps"; anything else is no header byte at all.
int Mpeg1TimestampBytes(std::uint8_t b) {
    if ((b & 0xF0) == 0x20)
        return 4; // PTS
    if ((b & 0xF0) == 0x30)
        return 9; // PTS and DTS
    if (b == 0x0F)
        return 0;
    return -1;
}

} // namespace

std::uint32_t PesHeader::Consume(const std::uint8_t* data, std::uint32_t size) {
    std::uint32_t used = 0;
    while (used < size && InHeader()) {
        const std::uint8_t b = data[used];
        switch (m_phase) {
        case Phase::Zero0:
        case Phase::Zero1:
            m_phase = b == 0x00 ? (m_phase == Phase::Zero0 ? Phase::Zero1 : Phase::One) : Phase::NotVideo;
            break;
        case Phase::One:
            m_phase = b == 0x01 ? Phase::StreamId : Phase::NotVideo;
            break;
        case Phase::StreamId:
            m_phase = (b & 0xF0) == 0xE0 ? Phase::Length0 : Phase::NotVideo;
            break;
        case Phase::Length0:
            m_phase = Phase::Length1;
            break;
        case Phase::Length1:
            m_phase = Phase::First;
            m_stuffing = 0;
            break;
        case Phase::First:
            if ((b & 0xC0) == 0x80) {
                m_phase = Phase::Mpeg2Flags;
            } else if (b == 0xFF && m_stuffing < 16) {
                ++m_stuffing;
            } else if ((b & 0xC0) == 0x40) {
                m_phase = Phase::Mpeg1AfterStd;
            } else {
                const int timestamps = Mpeg1TimestampBytes(b);
                if (timestamps < 0) {
                    m_phase = Phase::Payload; // not a header byte: the payload starts here
                    return used;
                }
                m_skip = static_cast<std::uint16_t>(timestamps);
                m_phase = Phase::Skip;
            }
            break;
        case Phase::Mpeg2Flags:
            m_phase = Phase::Mpeg2Length;
            break;
        case Phase::Mpeg2Length:
            m_skip = b;
            m_phase = Phase::Skip;
            break;
        case Phase::Mpeg1AfterStd:
            m_phase = Phase::Mpeg1Timestamps;
            break;
        case Phase::Mpeg1Timestamps: {
            const int timestamps = Mpeg1TimestampBytes(b);
            if (timestamps < 0) {
                m_phase = Phase::Payload;
                return used;
            }
            m_skip = static_cast<std::uint16_t>(timestamps);
            m_phase = Phase::Skip;
            break;
        }
        case Phase::Skip: {
            const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(m_skip, size - used));
            m_skip = static_cast<std::uint16_t>(m_skip - n);
            used += n;
            if (m_skip == 0)
                m_phase = Phase::Payload;
            continue;
        }
        case Phase::Payload:
        case Phase::NotVideo:
            break;
        }
        ++used;
        if (m_phase == Phase::Skip && m_skip == 0)
            m_phase = Phase::Payload;
    }
    return used;
}

} // namespace veltrane
