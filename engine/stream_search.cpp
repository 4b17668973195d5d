// Finding sequence headers in a stream that arrives piece by piece.
#include "stream_search.h"

#include "sequence_header.h"

#include <algorithm>
#include <cstring>

namespace veltrane {

void StreamSearch::Search(std::uint8_t* data, std::uint32_t size, std::uint64_t offset, HeaderSink& sink) {
    if (size == 0)
        return;
    if (m_tailSize > 0 && TailHasZero())
        SearchAcrossTheJoin(data, size, offset, sink);

    const std::uint8_t* cursor = data;
    std::uint32_t left = size;
    while (left >= USABLE_HEADER_SIZE && FindSequenceHeader(cursor, left)) {
        if (left < USABLE_HEADER_SIZE)
            break; // its aspect byte is in a later piece: the tail carries it there
        const auto at = static_cast<std::uint32_t>(cursor - data);
        FoundHeader header;
        header.aspect = data + at + ASPECT_BYTE_OFFSET;
        header.headerOffset = offset + at;
        header.aspectOffset = header.headerOffset + ASPECT_BYTE_OFFSET;
        std::copy_n(cursor + 4, 3, header.sizes);
        sink.Found(header);
        ++cursor;
        --left;
    }
    KeepTail(data, size, offset);
}

// A start code that begins in the tail has a zero byte there; most pieces need not look further.
// The eighth byte, and any the tail does not use, are never zero.
bool StreamSearch::TailHasZero() const {
    std::uint64_t v;
    std::memcpy(&v, m_tail, sizeof v);
    return ((v - 0x0101010101010101ULL) & ~v & 0x8080808080808080ULL) != 0;
}

// Headers whose start code begins in the tail and whose aspect byte is in this piece.
void StreamSearch::SearchAcrossTheJoin(std::uint8_t* data, std::uint32_t size, std::uint64_t offset,
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
        header.aspectOffset = offset + at;
        for (std::uint32_t k = 0; k < 3; ++k)
            header.sizes[k] = joined(i + 4 + k);
        sink.Found(header);
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
