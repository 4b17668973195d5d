// Finding the SPS NAL units of an H.264 or HEVC stream that arrives piece by piece.
#include "video/h26x_scanner.h"

#include <algorithm>
#include <iterator>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace veltrane {

namespace {

// The index of the 01 of the first 00 00 01 whose 01 lies at or after `at` (at least 2), or `size`.
// A byte above 01 rules out a start code ending there or in the next two bytes, which lets the search
// step three bytes at a time through entropy-coded data.
std::uint32_t NextStartCode(const std::uint8_t* data, std::uint32_t at, std::uint32_t size) {
    while (at < size) {
        const std::uint8_t b = data[at];
        if (b > 0x01) {
            at += 3;
        } else if (b == 0x00) {
            ++at;
        } else {
            if (data[at - 1] == 0x00 && data[at - 2] == 0x00)
                return at;
            at += 3;
        }
    }
    return size;
}

// The first start code at or after `at` (at least 2) whose 01 is followed, inside the piece, by a
// NAL header with (header & mask) == value; `size` if none. Outside an SPS only these matter.
std::uint32_t ScalarSpsStart(const std::uint8_t* data, std::uint32_t at, std::uint32_t size,
                             std::uint8_t mask, std::uint8_t value) {
    for (;;) {
        at = NextStartCode(data, at, size);
        if (at + 1 >= size)
            return size;
        if ((data[at + 1] & mask) == value)
            return at;
        at += 3;
    }
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

// Sixteen candidates at a time: the 01 of a start code and the NAL header after it, compared as a pair,
// which is rare in coded pictures where 01 alone comes every few dozen bytes; the two zeros in front
// are checked for each pair found.
__attribute__((target("sse2"))) std::uint32_t NextSpsStart(const std::uint8_t* data, std::uint32_t at,
                                                           std::uint32_t size, std::uint8_t mask,
                                                           std::uint8_t value) {
    const __m128i ones = _mm_set1_epi8(0x01);
    const __m128i masks = _mm_set1_epi8(static_cast<char>(mask));
    const __m128i values = _mm_set1_epi8(static_cast<char>(value));
    while (at + 17 <= size) {
        const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const __m128i header = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + 1));
        auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_and_si128(
            _mm_cmpeq_epi8(third, ones), _mm_cmpeq_epi8(_mm_and_si128(header, masks), values))));
        for (; bits != 0; bits &= bits - 1) {
            const std::uint32_t p = at + static_cast<std::uint32_t>(__builtin_ctz(bits));
            if (data[p - 1] == 0x00 && data[p - 2] == 0x00)
                return p;
        }
        at += 16;
    }
    return ScalarSpsStart(data, at, size, mask, value);
}

#else

std::uint32_t NextSpsStart(const std::uint8_t* data, std::uint32_t at, std::uint32_t size, std::uint8_t mask,
                           std::uint8_t value) {
    return ScalarSpsStart(data, at, size, mask, value);
}

#endif

} // namespace

bool H26xScanner::IsSps(std::uint8_t header) const {
    if ((header & 0x80) != 0) // forbidden_zero_bit
        return false;
    if (m_codec == VideoCodec::Hevc)
        return ((header >> 1) & 0x3F) == 33;
    const std::uint8_t type = header & 0x1F;
    return type == 7 || type == 15; // SPS, subset SPS
}

bool H26xScanner::IsSei(std::uint8_t header) const {
    if ((header & 0x80) != 0)
        return false;
    // HEVC's prefix SEI; H.264's carries no nal_ref_idc.
    return m_codec == VideoCodec::Hevc ? ((header >> 1) & 0x3F) == 39 : header == 0x06;
}

// AFD travels in user_data_registered_itu_t_t35 as ATSC A/53 and DVB TS 101 154 define it: country
// 0xB5, provider 0x0031, the identifier "DTG1", then the flag that says an active_format follows.
// An SEI in a broadcast comes with every picture, so one whose pattern a piece's end cuts is made up
// for by the next; the pattern holds no 00 00, so emulation prevention cannot split it.
void H26xScanner::LookForAfd(const std::uint8_t* sei, std::uint32_t size, HeaderSink& sink) {
    static constexpr std::uint8_t AFD[] = {0xB5, 0x00, 0x31, 'D', 'T', 'G', '1'};
    constexpr std::uint32_t LOOK = 256; // the SEI messages that come before it are short
    const std::uint32_t end = std::min(size, LOOK);
    for (std::uint32_t i = 0; i + sizeof(AFD) < end; ++i) {
        if (sei[i] == AFD[0] && std::equal(std::begin(AFD), std::end(AFD), sei + i) &&
            (sei[i + sizeof(AFD)] & 0x40) != 0) {
            m_afdTold = true;
            sink.FoundAfd();
            return;
        }
    }
}

// Most packets of a transport stream hold none: their pieces cost a comparison each, as the MPEG
// search's do, instead of a pass over every payload byte.
bool H26xScanner::NothingIn(const WalkBuffer& buffer, const std::uint8_t* data, std::uint32_t size) {
    const BufferStartCodes& codes = buffer.codes;
    const std::uint8_t* begin = codes.Begin();
    if (m_sps.Active() || m_headerNext || m_sps.Broken() || size < 3 || begin == nullptr ||
        data < begin + 2 || data + size > codes.End())
        return false;
    if ((m_zeros >= 2 && data[0] == 0x01) || (m_zeros >= 1 && data[0] == 0x00 && data[1] == 0x01))
        return false;
    if (m_generation != codes.Generation() || (m_candidate != nullptr && m_candidate < data)) {
        const auto total = static_cast<std::uint32_t>(codes.End() - begin);
        const std::uint32_t at =
            NextSpsStart(begin, static_cast<std::uint32_t>(data - begin), total, m_spsMask, m_spsValue);
        m_candidate = at < total ? begin + at : nullptr;
        m_generation = codes.Generation();
    }
    // A candidate whose NAL header is past the piece is no start in it; a start code cut by the piece's
    // end is carried as the full search carries it.
    if (m_candidate != nullptr && m_candidate + 1 < data + size)
        return false;
    if (data[size - 1] == 0x01 && data[size - 2] == 0x00 && data[size - 3] == 0x00) {
        m_headerNext = true;
        m_zeros = 0;
    } else {
        m_zeros = data[size - 1] != 0 ? 0 : data[size - 2] != 0 ? 1 : 2;
    }
    return true;
}

void H26xScanner::Search(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink,
                         bool useCodes) {
    if (size == 0)
        return;
    if (useCodes && NothingIn(buffer, data, size))
        return;
    m_sps.HandIfBroken(buffer, sink);
    const std::uint64_t base = buffer.OffsetOf(data);
    std::uint32_t gatherFrom = 0; // where this piece's part of the SPS being gathered starts
    std::uint32_t i = 0;
    if (m_headerNext) {
        m_headerNext = false;
        if (IsSps(data[0]))
            m_sps.Begin();
        i = 1;
    }
    // A start code whose zeros came at the end of the pieces before.
    std::uint32_t carried = size;
    if (i == 0 && m_zeros >= 2 && data[0] == 0x01)
        carried = 0;
    else if (i == 0 && m_zeros >= 1 && size >= 2 && data[0] == 0x00 && data[1] == 0x01)
        carried = 1;
    while (true) {
        const std::uint32_t from = std::max(i, 2u);
        const std::uint32_t p = carried < size   ? carried
                                : m_sps.Active() ? NextStartCode(data, from, size)
                                                 : NextSpsStart(data, from, size, m_spsMask, m_spsValue);
        carried = size;
        if (p >= size)
            break;
        i = p + 1;
        if (m_sps.Active()) {
            m_sps.Gather(data, gatherFrom, p, base, 4);
            if (m_sps.Active())
                m_sps.Hand(buffer, sink, false);
        }
        if (p + 1 == size) {
            m_headerNext = true;
            break;
        }
        if (IsSps(data[p + 1])) {
            m_sps.Begin();
            gatherFrom = p + 1;
        } else if (!m_afdTold && IsSei(data[p + 1])) {
            LookForAfd(data + p + 1, size - p - 1, sink);
        }
    }
    if (m_sps.Active())
        m_sps.Gather(data, gatherFrom, size, base, 4);
    // The search for SPS starts passes over a start code whose NAL header is in the next piece.
    else if (!m_headerNext && size >= 3 && i < size && data[size - 1] == 0x01 && data[size - 2] == 0x00 &&
             data[size - 3] == 0x00)
        m_headerNext = true;

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
    m_sps.Break();
}

void H26xScanner::Settle(WalkBuffer& buffer, HeaderSink& sink) {
    m_sps.Settle(buffer, sink);
}

void SpsGathering::Begin() {
    m_bytes.clear();
    m_offsets.clear();
    m_active = true;
    m_broken = false;
}

void SpsGathering::HandIfBroken(WalkBuffer& buffer, HeaderSink& sink) {
    if (m_broken)
        Settle(buffer, sink);
}

void SpsGathering::Settle(WalkBuffer& buffer, HeaderSink& sink) {
    m_broken = false;
    if (m_active)
        Hand(buffer, sink, true);
}

void SpsGathering::Drop() {
    m_active = false;
    m_bytes.clear();
    m_offsets.clear();
}

void SpsGathering::Gather(const std::uint8_t* data, std::uint32_t from, std::uint32_t to, std::uint64_t base,
                          std::uint32_t slack) {
    if (to <= from)
        return;
    if (m_bytes.size() + (to - from) > MAX_SPS_SIZE + slack) {
        Drop();
        return;
    }
    m_bytes.insert(m_bytes.end(), data + from, data + to);
    for (std::uint32_t k = from; k < to; ++k)
        m_offsets.push_back(base + k);
}

// The zeros before a start code (its own, and trailing_zero_8bits) are no part of the NAL unit.
void SpsGathering::Hand(WalkBuffer& buffer, HeaderSink& sink, bool cut) {
    m_active = false;
    while (!m_bytes.empty() && m_bytes.back() == 0) {
        m_bytes.pop_back();
        m_offsets.pop_back();
    }
    // The walk keeps every byte from the first one on; one before this buffer-full could not be patched.
    if (m_bytes.size() < 2 || m_bytes.size() > MAX_SPS_SIZE || m_offsets.front() < buffer.base) {
        Drop();
        return;
    }
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
