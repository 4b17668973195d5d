// Finding the SPS NAL units of a length-prefixed H.264 or HEVC stream, and those of its configuration.
#include "video/length_nal_scanner.h"

#include "video/codec_config.h"

#include <algorithm>

namespace veltrane {

bool LengthNalScanner::IsSps(std::uint8_t header) const {
    if ((header & 0x80) != 0) // forbidden_zero_bit
        return false;
    if (m_codec == VideoCodec::Hevc)
        return ((header >> 1) & 0x3F) == 33;
    const std::uint8_t type = header & 0x1F;
    return type == 7 || type == 15; // SPS, subset SPS
}

void LengthNalScanner::Lose(std::uint64_t offset, HeaderSink& sink) {
    m_lost = true;
    m_sps.Drop();
    sink.StreamLost(m_codec, offset);
}

void LengthNalScanner::Search(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink,
                              bool /*useCodes*/) {
    m_sps.HandIfBroken(buffer, sink);
    if (m_lost)
        return;
    const std::uint64_t base = buffer.OffsetOf(data);
    m_end = base + size;
    std::uint32_t i = 0;
    while (i < size) {
        if (m_left == 0) {
            m_length = (m_length << 8) | data[i++];
            if (++m_lengthRead < m_lengthSize)
                continue;
            m_lengthRead = 0;
            m_left = m_length;
            m_length = 0;
            // An empty unit is padding at worst; the next length follows at once.
            if (m_left > MAX_NAL_SIZE)
                return Lose(base + i - m_lengthSize, sink);
            m_atHeader = m_left != 0;
            continue;
        }
        if (m_atHeader) {
            m_atHeader = false;
            if (IsSps(data[i])) {
                // An SPS of more than a few kilobytes is a length misread.
                if (m_left > SpsGathering::MAX_SPS_SIZE)
                    return Lose(base + i, sink);
                m_sps.Begin();
            }
        }
        const std::uint32_t n = std::min(m_left, size - i);
        if (m_sps.Active())
            m_sps.Gather(data, i, i + n, base, 0);
        i += n;
        m_left -= n;
        if (m_left == 0 && m_sps.Active())
            m_sps.Hand(buffer, sink, false);
    }
}

void LengthNalScanner::SampleEnds(HeaderSink& sink) {
    if (!m_lost && (m_left != 0 || m_lengthRead != 0))
        Lose(m_end, sink);
}

void LengthNalScanner::Forget() {
    m_lengthRead = 0;
    m_length = 0;
    m_left = 0;
    m_atHeader = false;
    m_lost = false;
    m_sps.Break();
}

void LengthNalScanner::Settle(WalkBuffer& buffer, HeaderSink& sink) {
    m_sps.Settle(buffer, sink);
}

std::uint8_t NalLengthSizeOf(VideoCodec codec, const std::uint8_t* record, std::uint32_t size,
                             std::string& failure) {
    // lengthSizeMinusOne: avcC's fifth byte, hvcC's twenty-second; 3 bytes is no size either allows.
    const std::uint32_t at = codec == VideoCodec::Hevc ? 21 : 4;
    const char* name = codec == VideoCodec::Hevc ? "hvcC" : "avcC";
    if (size <= at) {
        failure = std::string("the ") + name + " record is cut short";
        return 0;
    }
    const auto lengthSize = static_cast<std::uint8_t>((record[at] & 3) + 1);
    if (lengthSize == 3) {
        failure = std::string("the ") + name + " record names NAL lengths of 3 bytes";
        return 0;
    }
    return lengthSize;
}

std::string SearchConfigRecord(VideoCodec codec, WalkBuffer& buffer, std::uint8_t* record, std::uint32_t size,
                               HeaderSink& sink) {
    const std::span<const std::uint8_t> bytes(record, size);
    const ConfigSpsList list = codec == VideoCodec::Hevc ? FindSpsInHvcC(bytes) : FindSpsInAvcC(bytes);
    if (!list.ok)
        return list.failure;
    const std::uint64_t base = buffer.OffsetOf(record);
    for (const NalSpan& nal : list.sps) {
        SpsGathering sps(codec);
        sps.Begin();
        sps.Gather(record, nal.offset, nal.offset + nal.size, base, 0);
        if (!sps.Active())
            return "an SPS of the codec configuration is too long";
        sps.Hand(buffer, sink, false);
    }
    return {};
}

} // namespace veltrane
