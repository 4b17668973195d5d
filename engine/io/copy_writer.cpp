// Puts a run's output into the destination, sharing the source's blocks wherever the bytes are the same.
#include "io/copy_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace veltrane {

namespace {

// A copy this large writes its first PROBE_BYTES, so that writing back a run of bytes is measured
// before anything is chosen; the space that takes is within the megabyte a copy may take beyond its
// rewritten blocks. A smaller copy shares every block it can: whatever it chose would save little.
constexpr std::int64_t PROBE_BYTES = 512 * 1024;
constexpr std::int64_t PROBE_LEAST_SIZE = 32 * PROBE_BYTES;
// Before a run is written for being cheaper, the cost of a rewritten block must rest on this many
// written back: one block's time says little on a busy machine.
constexpr std::int64_t PIECES_MEASURED = 64;
// A run is written only where that costs less than two thirds of what leaving it shared does: a shared
// run takes no space, and the costs are measured roughly.
constexpr double WRITE_MARGIN = 1.5;
// Rewritten blocks at least this far apart, as a DVD's headers are, have the run between them left
// shared without asking: such a copy's space never rests on a timing that a busy machine can flip.
// So do shorter runs while the rewritten blocks so far lie this far apart on average: a DVD's groups
// of pictures vary in size, and one that is short (a still scene) must not cost its whole length.
// Only denser headers, where the time target and the space promise can conflict, are chosen by what
// is measured; the bytes such runs would need from the source stay few.
constexpr std::int64_t ALWAYS_SHARED_APART = 300 * 1024;

} // namespace

CopyWriter::CopyWriter(const io::File& source, io::File& dest, std::int64_t size)
    : CopyWriter(source, dest, size,
                 Seams{[&source, &dest](std::int64_t offset, std::int64_t length) {
                           return dest.ShareBlocksFrom(source, offset, length);
                       },
                       SteadyNanoseconds, nullptr}) {
    m_writeBack = std::make_unique<WriteBack>(dest);
}

CopyWriter::CopyWriter(const io::File& source, io::File& dest, std::int64_t size, Seams seams)
    : m_source(source), m_dest(dest), m_size(size), m_seams(std::move(seams)) {
    if (m_seams.writeBack)
        m_writeBack = std::make_unique<WriteBack>(m_seams.writeBack, m_seams.clock);
    if (!dest.MayShareBlocksWith(source) || size <= 0)
        return;
    m_mode = Mode::Sharing;
    m_shareFrom = m_seams.clock && size >= PROBE_LEAST_SIZE ? PROBE_BYTES : 0;
    m_shareEnd = m_shareFrom;
    m_backTo = m_shareFrom;
    ShareAhead(m_shareFrom + 1);
    if (m_shareEnd == m_shareFrom) {
        // Nothing shared: a file system that cannot, written as a plain copy.
        m_mode = Mode::Streaming;
        m_shareFrom = m_shareEnd = m_backTo = 0;
        return;
    }
    m_dest.KeepRewritesTight();
}

// Shares the source's blocks a step at a time until the shared range reaches `upTo`, ahead of every
// write: a step never covers a byte already written.
void CopyWriter::ShareAhead(std::int64_t upTo) {
    while (!m_shareStopped && m_shareEnd < m_size && m_shareEnd < upTo) {
        if (std::exchange(m_cheaperWritten, 0) > std::exchange(m_cheaperShared, 0)) {
            m_shareStopped = true;
            break;
        }
        const std::int64_t length = std::min(m_seams.shareStep, m_size - m_shareEnd);
        std::int64_t shared = std::clamp<std::int64_t>(m_seams.share(m_shareEnd, length), 0, length);
        if (shared < length) {
            m_shareStopped = true;
            shared -= shared % BLOCK;
        }
        m_shareEnd += shared;
    }
}

bool CopyWriter::WriteAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    const std::int64_t end = offset + static_cast<std::int64_t>(size);
    m_overwritten += std::max<std::int64_t>(0, std::min(end, m_shareEnd) - std::max(offset, m_shareFrom));
    // Counted for the next range written back, which starts at m_backTo; the first half megabyte is
    // written back on its own.
    if (end > m_backTo) {
        if (offset != m_writtenTo || m_piecesToAsk == 0)
            ++m_piecesToAsk;
        m_bytesToAsk += end - std::max(offset, m_backTo);
    }
    m_writtenTo = end;
    if (offset >= m_shareFrom || !m_seams.clock)
        return m_dest.WriteAllAt(data, size, offset);
    const std::int64_t start = m_seams.clock();
    const bool ok = m_dest.WriteAllAt(data, size, offset);
    m_probeWriteNanoseconds += m_seams.clock() - start;
    return ok;
}

CopyWriter::Cheaper CopyWriter::CheaperWay(std::int64_t length) const {
    if (!m_writeBack)
        return Cheaper::Unknown;
    // A rewritten block's cost: the mean over the blocks written back so far, each range counted as
    // one piece per separate write (its bytes cost little beside).
    const WriteBack::Costs c = m_writeBack->Measured();
    if (c.pieces < PIECES_MEASURED || c.alone[0] < 0 || c.alone[1] < 0)
        return Cheaper::Unknown;
    const double perPiece = static_cast<double>(c.nanoseconds) / static_cast<double>(c.pieces);
    // A byte's, from the first half megabyte: what writing back all of it but its last block took
    // beyond what that block alone took (which bears the device's time to answer and the allocation),
    // or what writing it took, whichever is more. The two go on side by side, the writes on this
    // thread and the device's work on the write-back's, so a run of bytes costs the slower of them.
    const double perByte =
        std::max(std::max<double>(0, static_cast<double>(c.alone[1] - c.alone[0])) /
                     static_cast<double>(m_shareFrom - BLOCK),
                 static_cast<double>(m_probeWriteNanoseconds) / static_cast<double>(m_shareFrom));
    return static_cast<double>(length) * perByte * WRITE_MARGIN < perPiece ? Cheaper::Writing
                                                                           : Cheaper::Sharing;
}

void CopyWriter::NoteRewritten(std::int64_t offset) {
    // Bytes past the source's end (a format's appended ones) are never shared: nothing to note.
    if (m_mode != Mode::Sharing || offset >= m_size)
        return;
    const std::int64_t block = (offset - m_settled) / BLOCK;
    // Further ahead than the window reaches, or already settled: no caller does that, but writing
    // from here on is right whatever comes.
    if (offset < m_settled || block >= static_cast<std::int64_t>(WINDOW_BLOCKS)) {
        m_mode = Mode::Writing;
        m_shareStopped = true;
        return;
    }
    if (!m_rewritten[static_cast<std::size_t>(block)])
        ++m_rewrittenBlocks;
    m_rewritten.set(static_cast<std::size_t>(block));
}

bool CopyWriter::MustWrite(std::int64_t blockStart) const {
    if (blockStart < m_shareFrom || blockStart + BLOCK > m_shareEnd)
        return true;
    const auto block = static_cast<std::size_t>((blockStart - m_settled) / BLOCK);
    return block < WINDOW_BLOCKS && m_rewritten[block];
}

void CopyWriter::Advance(std::int64_t to) {
    m_rewritten >>= static_cast<std::size_t>((to - m_settled) / BLOCK);
    m_settled = to;
}

// Writes output bytes [from, to): those before m_put are held, from `heldFrom` on; the rest are
// data[0..], which starts at m_put. A range that continues the one before waits to go out with it,
// so that written runs and the blocks between them take one write rather than one each.
bool CopyWriter::WriteRange(std::int64_t from, std::int64_t to, const std::uint8_t* data,
                            std::int64_t heldFrom) {
    if (from >= to)
        return true;
    if (m_queued.to == from && m_queued.data == data && m_queued.heldFrom == heldFrom) {
        m_queued.to = to;
        return true;
    }
    if (!WriteQueued())
        return false;
    m_queued = Queued{from, to, data, heldFrom};
    return true;
}

// Writes the range WriteRange holds, while the bytes it names are still at hand.
bool CopyWriter::WriteQueued() {
    const Queued queued = std::exchange(m_queued, Queued{});
    if (queued.from >= queued.to)
        return true;
    std::int64_t from = queued.from;
    const std::int64_t to = queued.to;
    if (from < m_put) {
        const std::int64_t upto = std::min(to, m_put);
        if (!WriteAt(m_held + (from - queued.heldFrom), static_cast<std::size_t>(upto - from), from))
            return false;
        from = upto;
    }
    return from >= to || WriteAt(queued.data + (from - m_put), static_cast<std::size_t>(to - from), from);
}

// Settles every whole block up to `wholeEnd`: shared blocks without a new byte are left as they are,
// for now; the others are written.
bool CopyWriter::Settle(std::int64_t wholeEnd, const std::uint8_t* data, std::int64_t heldFrom) {
    while (m_mode == Mode::Sharing && m_settled < wholeEnd) {
        const bool write = MustWrite(m_settled);
        std::int64_t runEnd = m_settled + BLOCK;
        while (runEnd < wholeEnd && MustWrite(runEnd) == write)
            runEnd += BLOCK;
        if (write) {
            if (!SettleWaiting(data, heldFrom) || !WriteRange(m_settled, runEnd, data, heldFrom))
                return false;
            Advance(runEnd);
            m_waitingFrom = m_settled;
        } else {
            Advance(runEnd);
            // The run follows a written block: from that block's start to the next one's.
            if (m_settled - m_waitingFrom + BLOCK >= ALWAYS_SHARED_APART) {
                m_cheaperShared += m_settled - m_waitingFrom;
                m_waitingFrom = m_settled;
                m_waitingTooLong = true;
            }
        }
    }
    return true;
}

// The shared run since m_waitingFrom, up to m_settled, now ends at a written block: it is written too
// where that costs less than the block written on its own. Its bytes come from this Put where it has
// them, otherwise from the source, whose bytes these are. False only when that write fails.
bool CopyWriter::SettleWaiting(const std::uint8_t* data, std::int64_t heldFrom) {
    const std::int64_t from = m_waitingFrom;
    m_waitingFrom = m_settled;
    if (std::exchange(m_waitingTooLong, false) || from >= m_settled)
        return true;
    // The block that ends this run is among those noted, and so are a few ahead of it: the mean errs
    // towards dense, where the timings decide.
    if (m_settled + BLOCK >= ALWAYS_SHARED_APART * m_rewrittenBlocks) {
        m_cheaperShared += m_settled - from;
        return true;
    }
    const Cheaper way = CheaperWay(m_settled - from);
    if (way != Cheaper::Writing) {
        if (way == Cheaper::Sharing)
            m_cheaperShared += m_settled - from;
        return true;
    }
    m_cheaperWritten += m_settled - from;
    m_chosenWrites += m_settled - from;
    const std::int64_t atHand = std::max(from, heldFrom);
    return CopyFromSource(from, atHand) && WriteRange(atHand, m_settled, data, heldFrom);
}

bool CopyWriter::CopyFromSource(std::int64_t from, std::int64_t to) {
    std::uint8_t bytes[BLOCK];
    for (; from < to; from += BLOCK) {
        const auto size = static_cast<std::size_t>(std::min(BLOCK, to - from));
        if (!m_source.ReadAllAt(bytes, size, from) || !WriteAt(bytes, size, from))
            return false;
    }
    return true;
}

// Asks for what is written and settled, up to `upTo`, to be written back a range every
// WRITE_BACK_STEP; and once one has gone, so that the copy's start is behind it, the first half
// megabyte, its last block and then the rest each timed on its own, to measure what a byte costs.
void CopyWriter::AskWriteBack(std::int64_t upTo, bool last) {
    if (!m_writeBack)
        return;
    if (!m_probeAsked && m_shareFrom > 0 && (last || m_backTo > m_shareFrom)) {
        m_writeBack->Ask(WriteBack::Range{m_shareFrom - BLOCK, m_shareFrom, 1, BLOCK, 1});
        m_writeBack->Ask(WriteBack::Range{0, m_shareFrom - BLOCK, 1, m_shareFrom - BLOCK, 2});
        m_probeAsked = true;
    }
    if (upTo > m_backTo && (last || upTo - m_backTo >= m_seams.writeBackStep)) {
        m_writeBack->Ask(WriteBack::Range{m_backTo, upTo, m_piecesToAsk, m_bytesToAsk});
        m_backTo = upTo;
        m_piecesToAsk = 0;
        m_bytesToAsk = 0;
    }
}

bool CopyWriter::Put(const std::uint8_t* data, std::size_t size) {
    const std::int64_t end = m_put + static_cast<std::int64_t>(size);
    if (m_mode == Mode::Streaming) {
        m_put = end;
        if (!m_dest.WriteAll(data, size))
            return false;
        AskWriteBack(m_put, false);
        return true;
    }
    ShareAhead(end);
    const std::int64_t heldFrom = m_settled;
    if (!Settle(end - end % BLOCK, data, heldFrom))
        return false;
    const bool writing = m_mode == Mode::Writing;
    if (writing) {
        if (!WriteRange(m_settled, end, data, heldFrom))
            return false;
        m_settled = end;
        m_waitingFrom = end;
    }
    if (!WriteQueued())
        return false;
    // The bytes of a block not yet whole wait for the rest of it.
    if (!writing && m_settled == heldFrom) {
        if (size > 0)
            std::memcpy(m_held + (m_put - heldFrom), data, size);
    } else if (!writing) {
        std::memcpy(m_held, data + (m_settled - m_put), static_cast<std::size_t>(end - m_settled));
    }
    m_put = end;
    // What lies before a run that may yet be written is final.
    AskWriteBack(m_waitingFrom, false);
    return true;
}

bool CopyWriter::Finish(bool waitForDevice) {
    if (m_mode != Mode::Streaming) {
        const std::int64_t heldFrom = m_settled;
        // The last block, cut by the end of the copy, stays shared only where the shared range ends with
        // it: a clone may share a partial block only up to the source's end.
        const bool shared =
            m_mode == Mode::Sharing && !m_rewritten[0] && m_put == m_shareEnd && m_settled >= m_shareFrom;
        if (!shared && m_put > m_settled &&
            (!SettleWaiting(nullptr, heldFrom) || !WriteRange(m_settled, m_put, nullptr, heldFrom)))
            return false;
        if (!WriteQueued())
            return false;
        m_settled = m_put;
        m_waitingFrom = m_put;
        // A source that ended early (read to its end, not to the size it had) leaves the shared range
        // reaching past the copy's end.
        if (m_shareEnd > m_put && !m_dest.Truncate(m_put))
            return false;
    }
    if (waitForDevice) {
        AskWriteBack(m_put, true);
    } else {
        m_dest.StartWriteBack(m_backTo, m_put - m_backTo);
        m_backTo = m_put;
    }
    // Ranges already asked for are waited for even so: their errors are told to this wait only.
    return !m_writeBack || m_writeBack->Finish();
}

io::FailureReason CopyWriter::Failure() const {
    if (m_dest.Failure().Known())
        return m_dest.Failure();
    if (m_writeBack && m_writeBack->Failure().Known())
        return m_writeBack->Failure();
    // Bytes of a run written by choice are read again from the source.
    return m_source.Failure();
}

std::int64_t CopyWriter::SharedBytes() const {
    return std::max<std::int64_t>(0, std::min(m_shareEnd, m_put) - m_shareFrom - m_overwritten);
}

} // namespace veltrane
