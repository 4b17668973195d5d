// Finding sequence headers in a stream that arrives piece by piece.
#include "video/stream_search.h"

#include "video/sequence_header.h"

#include <algorithm>
#include <cstring>

namespace veltrane {

void BufferStartCodes::Reset(const std::uint8_t* data, std::uint32_t size) {
    m_begin = data;
    ++m_generation;
    m_end = data + size;
    Search(data);
}

void BufferStartCodes::Search(const std::uint8_t* from) {
    auto left = static_cast<std::uint32_t>(m_end - from);
    m_next = FindSequenceHeader(from, left) ? from : nullptr;
}

void StreamSearch::Search(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink,
                          bool useCodes) {
    if (size == 0)
        return;
    if (m_waiting) {
        const Verdict verdict = Follow(data, size);
        if (verdict != Verdict::Undecided)
            Decide(verdict, buffer, sink);
    }
    if (m_tailSize > 0 && TailMayStartHeader())
        SearchAcrossTheJoin(buffer, data, size, sink);

    // A start code whose aspect byte is in a later piece is left to the tail, which carries it there.
    const std::uint8_t* const end = data + size;
    const auto take = [&](const std::uint8_t* code) {
        const auto at = static_cast<std::uint32_t>(code - data);
        FoundHeader header;
        header.aspect = data + at + ASPECT_BYTE_OFFSET;
        header.headerOffset = buffer.OffsetOf(code);
        header.aspectOffset = header.headerOffset + ASPECT_BYTE_OFFSET;
        std::copy_n(code + 4, 3, header.sizes);
        Take(header, buffer, end, sink);
    };
    if (useCodes) {
        for (const std::uint8_t* code = buffer.codes.From(data);
             code != nullptr && end - code > ASPECT_BYTE_OFFSET; code = buffer.codes.From(code + 1))
            take(code);
    } else {
        const std::uint8_t* cursor = data;
        std::uint32_t left = size;
        while (left >= USABLE_HEADER_SIZE && FindSequenceHeader(cursor, left) && left >= USABLE_HEADER_SIZE) {
            take(cursor);
            ++cursor;
            --left;
        }
    }
    KeepTail(data, size, buffer.OffsetOf(data));
}

// A header of a stream whose version is known goes out at once; the stream's first waits for the
// bytes after it, which may already be in this piece.
void StreamSearch::Take(FoundHeader& header, WalkBuffer& buffer, const std::uint8_t* pieceEnd,
                        HeaderSink& sink) {
    if (m_waiting)
        Decide(Verdict::Neither, buffer, sink); // a second header before the first one's follower
    if (m_version != Version::Unknown) {
        header.mpeg1 = m_version == Version::Mpeg1;
        sink.Found(header);
        return;
    }
    m_waiting = true;
    m_first = header;
    m_reading = Reading::Header;
    m_index = USABLE_HEADER_SIZE;
    m_length = 0;
    m_zeros = 0;
    const std::uint8_t* const after = header.aspect + 1;
    const Verdict verdict = Follow(after, static_cast<std::uint32_t>(pieceEnd - after));
    if (verdict != Verdict::Undecided)
        Decide(verdict, buffer, sink);
}

void StreamSearch::Settle(WalkBuffer& buffer, HeaderSink& sink) {
    if (m_waiting)
        Decide(Verdict::Neither, buffer, sink);
}

void StreamSearch::Decide(Verdict verdict, WalkBuffer& buffer, HeaderSink& sink) {
    m_version = verdict == Verdict::Mpeg1 ? Version::Mpeg1 : Version::Mpeg2;
    m_waiting = false;
    FoundHeader header = m_first;
    header.aspect = buffer.data + (header.aspectOffset - buffer.base);
    header.mpeg1 = m_version == Version::Mpeg1;
    sink.Found(header);
}

// Reads the stream on from the first header's aspect byte: the rest of the header (12 bytes, plus 64
// for each quantiser matrix it loads), optional zero bytes, and the start code that follows.
StreamSearch::Verdict StreamSearch::Follow(const std::uint8_t* data, std::uint32_t size) {
    for (std::uint32_t i = 0; i < size; ++i) {
        const std::uint8_t b = data[i];
        switch (m_reading) {
        case Reading::Header:
            // load_intra_quantiser_matrix is bit 1 of byte 11; load_non_intra_quantiser_matrix follows
            // it, in bit 0 of byte 11 or, after an intra matrix, of byte 75.
            if (m_index == 11)
                m_length = (b & 0x02) != 0 ? 0 : static_cast<std::uint16_t>((b & 0x01) != 0 ? 76 : 12);
            else if (m_index == 75 && m_length == 0)
                m_length = static_cast<std::uint16_t>((b & 0x01) != 0 ? 140 : 76);
            ++m_index;
            if (m_length != 0 && m_index == m_length)
                m_reading = Reading::Zeros;
            break;
        case Reading::Zeros:
            if (b == 0x00 && m_zeros < 255)
                ++m_zeros;
            else if (b == 0x01 && m_zeros >= 2)
                m_reading = Reading::Code;
            else
                return Verdict::Neither;
            break;
        case Reading::Code:
            if (b == 0xB5)
                m_reading = Reading::ExtensionId;
            else if (b == 0xB8 || b == 0xB2) // group of pictures, user data
                return Verdict::Mpeg1;
            else
                return Verdict::Neither;
            break;
        case Reading::ExtensionId:
            return (b >> 4) == 0x1 ? Verdict::Mpeg2 : Verdict::Mpeg1;
        }
    }
    return Verdict::Undecided;
}

// Whether a start code begins in the tail: it either ends the tail unfinished (00, 00 00, 00 00 01)
// or lies whole inside it. Most pieces end in neither and need not look across the join.
bool StreamSearch::TailMayStartHeader() const {
    const std::uint32_t n = m_tailSize;
    if (m_tail[n - 1] == 0x00 ||
        (n >= 3 && m_tail[n - 1] == 0x01 && m_tail[n - 2] == 0x00 && m_tail[n - 3] == 0x00))
        return true;
    // A whole one has its B3 inside; the eighth byte, and any the tail does not use, are never B3.
    std::uint64_t v;
    std::memcpy(&v, m_tail, sizeof v);
    v ^= 0xB3B3B3B3B3B3B3B3ULL;
    return ((v - 0x0101010101010101ULL) & ~v & 0x8080808080808080ULL) != 0;
}

// Headers whose start code begins in the tail and whose aspect byte is in this piece.
void StreamSearch::SearchAcrossTheJoin(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size,
                                       HeaderSink& sink) {
    // Byte k of the tail followed by this piece; only asked for k below m_tailSize + size.
    const auto joined = [&](std::uint32_t k) { return k < m_tailSize ? m_tail[k] : data[k - m_tailSize]; };
    for (std::uint32_t i = 0; i < m_tailSize; ++i) {
        if (i + ASPECT_BYTE_OFFSET >= m_tailSize + size)
            break; // this start code's aspect byte, and any later one's, is still to come
        if (m_tail[i] != 0x00 || joined(i + 1) != 0x00 || joined(i + 2) != 0x01 || joined(i + 3) != 0xB3)
            continue;
        const std::uint32_t at = i + ASPECT_BYTE_OFFSET - m_tailSize; // index of the aspect byte in data
        FoundHeader header;
        header.aspect = data + at;
        header.headerOffset = TailOffset(i);
        header.aspectOffset = buffer.OffsetOf(data + at);
        for (std::uint32_t k = 0; k < 3; ++k)
            header.sizes[k] = joined(i + 4 + k);
        Take(header, buffer, data + size, sink);
    }
}

void StreamSearch::KeepTail(const std::uint8_t* data, std::uint32_t size, std::uint64_t offset) {
    if (size >= TAIL) {
        std::copy_n(data + size - TAIL, TAIL, m_tail);
        m_tailStart = offset + size - TAIL;
        m_tailContiguous = true;
        m_tailSize = TAIL;
        return;
    }
    // A short piece (a payload of a few bytes after a long adaptation field): slide the tail along,
    // each byte with its own offset now that they need not be neighbours in the file.
    const std::uint32_t old = std::min(m_tailSize, TAIL - size);
    std::uint64_t offsets[TAIL];
    for (std::uint32_t i = 0; i < old; ++i)
        offsets[i] = TailOffset(m_tailSize - old + i);
    for (std::uint32_t i = 0; i < size; ++i)
        offsets[old + i] = offset + i;
    std::copy(m_tail + m_tailSize - old, m_tail + m_tailSize, m_tail);
    std::copy_n(data, size, m_tail + old);
    m_tailSize = old + size;
    std::fill(m_tail + m_tailSize, m_tail + sizeof m_tail, 0xFF);
    std::copy_n(offsets, m_tailSize, m_tailOffset);
    m_tailContiguous = false;
}

} // namespace veltrane
