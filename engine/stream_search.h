// The sequence header search over one stream's payload, which may arrive in pieces of any size.
#pragma once

#include <cstdint>

namespace veltrane {

// A header whose aspect byte has just arrived.
struct FoundHeader {
    std::uint8_t* aspect = nullptr; // in the caller's buffer: the one byte a rewrite may store to
    std::uint64_t headerOffset = 0; // file offset of the first byte of the start code
    std::uint64_t aspectOffset = 0; // file offset of *aspect
    std::uint8_t sizes[3] = {};     // header bytes 4..6: horizontal_size_value, vertical_size_value
};

class HeaderSink {
public:
    virtual void Found(const FoundHeader& header) = 0;

protected:
    ~HeaderSink() = default;
};

// The pieces of one stream are searched as one run of bytes: a start code may begin in one piece
// and its aspect byte come pieces later, with other streams' packets in between. Only the last
// seven bytes travel from one piece to the next, with the file offset of each.
class StreamSearch {
public:
    // The next `size` bytes of the stream, at data[0..size), the first of them at file offset `offset`.
    // Every header whose aspect byte lies among them is handed to `sink`, in stream order.
    void Search(std::uint8_t* data, std::uint32_t size, std::uint64_t offset, HeaderSink& sink);
    // The stream breaks here: nothing seen so far joins what comes next.
    void Forget() { m_tailSize = 0; }

private:
    static constexpr std::uint32_t TAIL = 7; // a start code with its aspect byte still to come

    void SearchAcrossTheJoin(std::uint8_t* data, std::uint32_t size, std::uint64_t offset, HeaderSink& sink);
    void KeepTail(const std::uint8_t* data, std::uint32_t size, std::uint64_t offset);

    std::uint64_t TailOffset(std::uint32_t i) const { return m_tailContiguous ? m_tailStart + i : m_tailOffset[i]; }

    bool TailHasZero() const;

    std::uint8_t m_tail[TAIL + 1] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint32_t m_tailSize = 0;
    // Mostly the tail is the end of one piece; after short pieces each byte keeps its own offset.
    bool m_tailContiguous = true;
    std::uint64_t m_tailStart = 0;
    std::uint64_t m_tailOffset[TAIL] = {};
};

} // namespace veltrane
