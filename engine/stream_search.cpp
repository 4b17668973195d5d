// Finding sequence headers in a stream that arrives piece by piece.
#include "stream_search.h"

#include "sequence_header.h"

#include <algorithm>
#include <cstring>

namespace veltrane {

namespace {

bool IsStartCode(const std::uint8_t* p) {
    return p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01 && p[3] == 0xB3;
}

} // namespace

void StreamSearch::Search(std::uint8_t* data, std::uint32_t size, std::uint64_t offset, HeaderSink& sink) {
    if (size == 0)
        return;
    // A start code that begins in the tail begins with a zero byte there; most pieces skip this.
    if (m_tailSize > 0 && std::memchr(m_tail, 0x00, m_tailSize) != nullptr)
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

// Headers whose start code begins in the tail and whose aspect byte is in this piece.
void StreamSearch::SearchAcrossTheJoin(std::uint8_t* data, std::uint32_t size, std::uint64_t offset,
                                       HeaderSink& sink) {
    std::uint8_t joined[2 * TAIL];
    const std::uint32_t head = std::min(size, TAIL);
    std::copy_n(m_tail, m_tailSize, joined);
    std::copy_n(data, head, joined + m_tailSize);
    const std::uint32_t joinedSize = m_tailSize + head;
    for (std::uint32_t i = 0; i < m_tailSize && i + ASPECT_BYTE_OFFSET < joinedSize; ++i) {
        if (!IsStartCode(joined + i))
            continue;
        const std::uint32_t at = i + ASPECT_BYTE_OFFSET - m_tailSize; // index of the aspect byte in data
        FoundHeader header;
        header.aspect = data + at;
        header.headerOffset = m_tailOffset[i];
        header.aspectOffset = offset + at;
        std::copy_n(joined + i + 4, 3, header.sizes);
        sink.Found(header);
    }
}

void StreamSearch::KeepTail(const std::uint8_t* data, std::uint32_t size, std::uint64_t offset) {
    if (size >= TAIL) {
        std::copy_n(data + size - TAIL, TAIL, m_tail);
        for (std::uint32_t i = 0; i < TAIL; ++i)
            m_tailOffset[i] = offset + size - TAIL + i;
        m_tailSize = TAIL;
        return;
    }
    // A short piece (a payload of a few bytes after a long adaptation field): slide the tail along.
    const std::uint32_t old = std::min(m_tailSize, TAIL - size);
    std::copy(m_tail + m_tailSize - old, m_tail + m_tailSize, m_tail);
    std::copy(m_tailOffset + m_tailSize - old, m_tailOffset + m_tailSize, m_tailOffset);
    std::copy_n(data, size, m_tail + old);
    for (std::uint32_t i = 0; i < size; ++i)
        m_tailOffset[old + i] = offset + i;
    m_tailSize = old + size;
}

} // namespace veltrane
