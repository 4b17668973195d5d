// Finding the SPS NAL units of an H.264 or HEVC stream that arrives piece by piece.
#include "video/h26x_scanner.h"

#include <cstring>

namespace veltrane {

bool H26xScanner::IsSps(std::uint8_t header) const {
    if ((header & 0x80) != 0) // forbidden_zero_bit
        return false;
    if (m_codec == VideoCodec::Hevc)
        return ((header >> 1) & 0x3F) == 33;
    const std::uint8_t type = header & 0x1F;
    return type == 7 || type == 15; // SPS, subset SPS
}

void H26xScanner::Search(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink,
                         bool /*useCodes*/) {
    if (size == 0)
        return;
    if (m_broken)
        Hand(buffer, sink, true);
    const std::uint64_t base = buffer.OffsetOf(data);
    std::uint32_t gatherFrom = 0; // where this piece's part of the SPS being gathered starts
    std::uint32_t i = 0;
    if (m_headerNext) {
        m_headerNext = false;
        if (IsSps(data[0]))
            Begin();
        i = 1;
    }
    while (i < size) {
        const auto* one = static_cast<const std::uint8_t*>(std::memchr(data + i, 0x01, size - i));
        if (one == nullptr)
            break;
        const auto p = static_cast<std::uint32_t>(one - data);
        i = p + 1;
        const bool startCode = p >= 2   ? data[p - 1] == 0 && data[p - 2] == 0
                               : p == 1 ? data[0] == 0 && m_zeros >= 1
                                        : m_zeros >= 2;
        if (!startCode)
            continue;
        if (m_gathering) {
            Gather(data, gatherFrom, p, base);
            if (m_gathering)
                Hand(buffer, sink, false);
        }
        if (p + 1 == size) {
            m_headerNext = true;
            break;
        }
        if (IsSps(data[p + 1])) {
            Begin();
            gatherFrom = p + 1;
        }
    }
    if (m_gathering)
        Gather(data, gatherFrom, size, base);

    if (m_headerNext)
        m_zeros = 0;
    else if (size >= 2)
        m_zeros = data[size - 1] != 0 ? 0 : data[size - 2] != 0 ? 1 : 2;
    else
        m_zeros = data[0] != 0 ? 0 : (m_zeros >= 1 ? 2 : 1);
}

void H26xScanner::Forget() {
    m_zeros = 0;
    m_headerNext = false;
    if (m_gathering)
        m_broken = true;
}

void H26xScanner::Settle(WalkBuffer& buffer, HeaderSink& sink) {
    if (m_gathering)
        Hand(buffer, sink, true);
}

void H26xScanner::Begin() {
    m_bytes.clear();
    m_offsets.clear();
    m_gathering = true;
    m_broken = false;
}

void H26xScanner::Gather(const std::uint8_t* data, std::uint32_t from, std::uint32_t to, std::uint64_t base) {
    if (to <= from)
        return;
    // Trailing zero bytes of the NAL and the start code's own may follow the longest SPS.
    if (m_bytes.size() + (to - from) > MAX_SPS_SIZE + 4) {
        m_gathering = false;
        m_bytes.clear();
        m_offsets.clear();
        return;
    }
    m_bytes.insert(m_bytes.end(), data + from, data + to);
    for (std::uint32_t k = from; k < to; ++k)
        m_offsets.push_back(base + k);
}

// The zeros before a start code (its own, and trailing_zero_8bits) are no part of the NAL unit.
void H26xScanner::Hand(WalkBuffer& buffer, HeaderSink& sink, bool cut) {
    m_gathering = false;
    m_broken = false;
    while (!m_bytes.empty() && m_bytes.back() == 0) {
        m_bytes.pop_back();
        m_offsets.pop_back();
    }
    // The walk keeps every byte from the first one on; one before this buffer-full could not be patched.
    if (m_bytes.size() < 2 || m_bytes.size() > MAX_SPS_SIZE || m_offsets.front() < buffer.base)
        return;
    FoundSps sps;
    sps.codec = m_codec;
    sps.nalOffset = m_offsets.front();
    sps.bytes.swap(m_bytes);
    sps.offsets.swap(m_offsets);
    sps.at.reserve(sps.offsets.size());
    for (const std::uint64_t offset : sps.offsets)
        sps.at.push_back(buffer.data + (offset - buffer.base));
    sps.cut = cut;
    sink.FoundParameterSet(sps);
    m_bytes.clear();
    m_offsets.clear();
}

} // namespace veltrane
