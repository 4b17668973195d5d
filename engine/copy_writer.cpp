// Puts a run's output into the destination, sharing the source's blocks wherever the bytes are the same.
#include "copy_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace veltrane {

CopyWriter::CopyWriter(const io::File& source, io::File& dest)
    : CopyWriter(source, dest, [&source, &dest](std::int64_t offset, std::int64_t length) {
          return dest.ShareBlocksFrom(source, offset, length);
      }) {}

CopyWriter::CopyWriter(const io::File& source, io::File& dest, ShareFunction share)
    : m_dest(dest), m_share(std::move(share)),
      m_mode(dest.MayShareBlocksWith(source) ? Mode::Untried : Mode::Streaming) {}

void CopyWriter::NoteRewritten(std::int64_t offset) {
    if (m_mode != Mode::Untried && m_mode != Mode::Sharing)
        return;
    const std::int64_t block = (offset - m_settled) / BLOCK;
    // Further ahead than the window reaches, or already settled: no caller does that, but writing
    // from here on is right whatever comes.
    if (offset < m_settled || block >= static_cast<std::int64_t>(WINDOW_BLOCKS)) {
        m_mode = Mode::Writing;
        return;
    }
    m_rewritten.set(static_cast<std::size_t>(block));
}

bool CopyWriter::IsRewritten(std::int64_t blockStart) const {
    const auto block = static_cast<std::size_t>((blockStart - m_settled) / BLOCK);
    return block < WINDOW_BLOCKS && m_rewritten[block];
}

void CopyWriter::Advance(std::int64_t to) {
    m_rewritten >>= static_cast<std::size_t>((to - m_settled) / BLOCK);
    m_settled = to;
}

// Writes output bytes [from, to): those before m_put are held, from `heldFrom` on; the rest are
// data[0..], which starts at m_put.
bool CopyWriter::WriteRange(std::int64_t from, std::int64_t to, const std::uint8_t* data,
                            std::int64_t heldFrom) {
    if (from < m_put) {
        const std::int64_t upto = std::min(to, m_put);
        if (!m_dest.WriteAllAt(m_held + (from - heldFrom), static_cast<std::size_t>(upto - from), from))
            return false;
        from = upto;
    }
    return from >= to || m_dest.WriteAllAt(data + (from - m_put), static_cast<std::size_t>(to - from), from);
}

// Settles every whole block up to `wholeEnd`, each run of blocks without a new byte shared in one try,
// the others written; once a try falls short, everything from there on is the caller's to write.
bool CopyWriter::Settle(std::int64_t wholeEnd, const std::uint8_t* data, std::int64_t heldFrom) {
    while (m_mode != Mode::Writing && m_settled < wholeEnd) {
        const bool rewritten = IsRewritten(m_settled);
        std::int64_t runEnd = m_settled + BLOCK;
        while (runEnd < wholeEnd && IsRewritten(runEnd) == rewritten)
            runEnd += BLOCK;
        if (rewritten) {
            if (!WriteRange(m_settled, runEnd, data, heldFrom))
                return false;
        } else if (!ShareRun(runEnd)) {
            return true;
        }
        Advance(runEnd);
    }
    return true;
}

// Shares [m_settled, runEnd); false, with the writer turned to writing and m_settled at the first
// byte not shared, when the try fell short.
bool CopyWriter::ShareRun(std::int64_t runEnd) {
    const std::int64_t length = runEnd - m_settled;
    const std::int64_t shared = std::clamp<std::int64_t>(m_share(m_settled, length), 0, length);
    m_shared += shared;
    if (shared == length) {
        m_mode = Mode::Sharing;
        return true;
    }
    m_mode = Mode::Writing;
    m_settled += shared;
    return false;
}

bool CopyWriter::Put(const std::uint8_t* data, std::size_t size) {
    if (m_mode == Mode::Streaming) {
        m_put += static_cast<std::int64_t>(size);
        return m_dest.WriteAll(data, size);
    }
    const std::int64_t heldFrom = m_settled;
    const std::int64_t end = m_put + static_cast<std::int64_t>(size);
    if (!Settle(end - end % BLOCK, data, heldFrom))
        return false;
    if (m_mode == Mode::Writing) {
        if (!WriteRange(m_settled, end, data, heldFrom))
            return false;
        m_settled = end;
    } else if (m_settled == heldFrom) {
        if (size > 0)
            std::memcpy(m_held + (m_put - heldFrom), data, size);
    } else {
        std::memcpy(m_held, data + (m_settled - m_put), static_cast<std::size_t>(end - m_settled));
    }
    m_put = end;
    return true;
}

bool CopyWriter::Finish() {
    if (m_mode == Mode::Streaming || m_settled == m_put)
        return true;
    // The last block, cut by the end of the file: a clone may share it only because it reaches the
    // source's end.
    const std::int64_t heldFrom = m_settled;
    if (!m_rewritten[0] && m_mode != Mode::Writing && ShareRun(m_put)) {
        m_settled = m_put;
        return true;
    }
    if (!WriteRange(m_settled, m_put, nullptr, heldFrom))
        return false;
    m_settled = m_put;
    return true;
}

} // namespace veltrane
