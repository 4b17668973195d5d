// Puts a run's output into the destination, sharing the source's blocks wherever the bytes are the same.
#include "io/copy_writer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace veltrane {

namespace {

// Before a run is written for being cheaper, the costs behind that choice must rest on this many
// tries: one try's time says little on a busy machine. A copy with fewer rewritten headers is shared
// whole: its tries cost a few milliseconds at most, and it keeps its promise of space.
constexpr std::int64_t TRIES_MEASURED = 256;
// While sharing, only the blocks with a new byte are written, too alike in size to tell a write's
// cost per call from its cost per byte; so one run of this size is written to find out (its space is
// within the megabyte a copy may take beyond its rewritten blocks).
constexpr std::int64_t PROBE_MIN = 3 * 4096;
constexpr std::int64_t PROBE_MAX = 512 * 1024;
// A written byte costs several times what its write took: the write puts it in the page cache, the
// device has yet to take it, and the run's end waits for that. A durable copy onto XFS over the fastest
// device there is, memory, takes four times as long as its writes; a real disk only adds to that. A
// shared run's cost is nearly all in its try.
constexpr double WRITE_BACK_FACTOR = 4.0;

std::int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

CopyWriter::CopyWriter(const io::File& source, io::File& dest)
    : CopyWriter(
          source, dest,
          [&source, &dest](std::int64_t offset, std::int64_t length) {
              return dest.ShareBlocksFrom(source, offset, length);
          },
          SteadyNanoseconds) {}

CopyWriter::CopyWriter(const io::File& source, io::File& dest, ShareFunction share, Clock clock)
    : m_source(source), m_dest(dest), m_share(std::move(share)),
      m_mode(dest.MayShareBlocksWith(source) ? Mode::Untried : Mode::Streaming), m_clock(std::move(clock)) {}

bool CopyWriter::WriteAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    if (!m_clock)
        return m_dest.WriteAllAt(data, size, offset);
    const std::int64_t start = m_clock();
    const bool ok = m_dest.WriteAllAt(data, size, offset);
    const auto took = static_cast<double>(m_clock() - start);
    const auto bytes = static_cast<double>(size);
    m_writes.count += 1;
    m_writes.bytes += bytes;
    m_writes.nanoseconds += took;
    m_writes.bytesSquared += bytes * bytes;
    m_writes.bytesTimesNanoseconds += bytes * took;
    return ok;
}

std::int64_t CopyWriter::Share(std::int64_t offset, std::int64_t length) {
    if (!m_clock)
        return m_share(offset, length);
    const std::int64_t start = m_clock();
    const std::int64_t shared = m_share(offset, length);
    const auto took = static_cast<double>(m_clock() - start);
    if (shared == length) {
        ++m_tries;
        // The first try alone sets the mean; then each weighs an eighth.
        m_tryNanoseconds = m_tries == 1 ? took : m_tryNanoseconds + (took - m_tryNanoseconds) / 8;
    }
    return shared;
}

bool CopyWriter::CheaperToWrite(std::int64_t length) const {
    if (!m_clock || m_tries < TRIES_MEASURED)
        return false;
    if (!m_probed)
        return length >= PROBE_MIN && length <= PROBE_MAX;
    // A write's time as a cost per call plus a cost per byte, fitted to every write so far.
    const Sums& w = m_writes;
    const double spread = w.count * w.bytesSquared - w.bytes * w.bytes;
    double perByte = w.nanoseconds / w.bytes;
    double perCall = 0;
    if (spread > 0) {
        const double fitted = (w.count * w.bytesTimesNanoseconds - w.bytes * w.nanoseconds) / spread;
        if (fitted >= 0) {
            perByte = fitted;
            perCall = std::max(0.0, (w.nanoseconds - perByte * w.bytes) / w.count);
        }
    }
    return perCall + static_cast<double>(length) * perByte * WRITE_BACK_FACTOR < 2 * m_tryNanoseconds;
}

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
    const std::uint8_t* const data = queued.data;
    if (from < m_put) {
        const std::int64_t upto = std::min(to, m_put);
        if (!WriteAt(m_held + (from - queued.heldFrom), static_cast<std::size_t>(upto - from), from))
            return false;
        from = upto;
    }
    return from >= to || WriteAt(data + (from - m_put), static_cast<std::size_t>(to - from), from);
}

// Settles every whole block up to `wholeEnd`: runs of blocks without a new byte join the run waiting
// to be shared, the others are written. Once a try falls short, everything from there on is the
// caller's to write.
bool CopyWriter::Settle(std::int64_t wholeEnd, const std::uint8_t* data, std::int64_t heldFrom) {
    while (m_mode != Mode::Writing && m_settled < wholeEnd) {
        const bool rewritten = IsRewritten(m_settled);
        std::int64_t runEnd = m_settled + BLOCK;
        while (runEnd < wholeEnd && IsRewritten(runEnd) == rewritten)
            runEnd += BLOCK;
        if (rewritten) {
            if (!SettleWaiting(data, heldFrom) || !WriteRange(m_settled, runEnd, data, heldFrom))
                return false;
            Advance(runEnd);
            m_waitingFrom = m_settled;
        } else {
            Advance(runEnd);
            // The first try decides the run while its bytes are at hand; then a try every rewritten
            // header, or every MAX_WAITING bytes so that a late failure has little to copy.
            if ((m_mode == Mode::Untried || m_settled - m_waitingFrom >= MAX_WAITING) &&
                !SettleWaiting(data, heldFrom))
                return false;
        }
    }
    return true;
}

// Shares the blocks waiting since m_waitingFrom, up to m_settled, or writes them where that costs less.
// What a try leaves unshared is written: from this Put's bytes where it has them, otherwise copied
// from the source, whose bytes these are. False only when that write fails.
bool CopyWriter::SettleWaiting(const std::uint8_t* data, std::int64_t heldFrom) {
    const std::int64_t length = m_settled - m_waitingFrom;
    if (length == 0)
        return true;
    const bool chooseWrite = m_mode == Mode::Sharing && CheaperToWrite(length);
    const std::int64_t shared = m_mode == Mode::Writing || chooseWrite
                                    ? 0
                                    : std::clamp<std::int64_t>(Share(m_waitingFrom, length), 0, length);
    m_shared += shared;
    const std::int64_t from = m_waitingFrom + shared;
    m_waitingFrom = m_settled;
    if (shared == length) {
        m_mode = Mode::Sharing;
        m_writingRuns = false;
        return true;
    }
    m_writingRuns = chooseWrite;
    m_probed = m_probed || chooseWrite;
    if (chooseWrite)
        m_chosenWrites += length;
    else
        m_mode = Mode::Writing;
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

bool CopyWriter::Put(const std::uint8_t* data, std::size_t size) {
    if (m_mode == Mode::Streaming) {
        m_put += static_cast<std::int64_t>(size);
        return m_dest.WriteAll(data, size);
    }
    const std::int64_t heldFrom = m_settled;
    const std::int64_t end = m_put + static_cast<std::int64_t>(size);
    if (!Settle(end - end % BLOCK, data, heldFrom))
        return false;
    // Where runs are being written, what waits at the end of this Put is written now, while its bytes
    // are at hand, rather than read again from the source once its run ends.
    if (m_mode == Mode::Sharing && m_writingRuns && CheaperToWrite(m_settled - m_waitingFrom) &&
        !SettleWaiting(data, heldFrom))
        return false;
    const bool writing = m_mode == Mode::Writing;
    if (writing) {
        if (!SettleWaiting(data, heldFrom) || !WriteRange(m_settled, end, data, heldFrom))
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
    return true;
}

bool CopyWriter::Finish() {
    if (m_mode == Mode::Streaming)
        return true;
    const std::int64_t heldFrom = m_settled;
    // The last block, cut by the end of the file, joins the waiting run unless it has a new byte: a
    // clone may share it only because it reaches the source's end.
    if (!m_rewritten[0] && m_mode != Mode::Writing)
        m_settled = m_put;
    if (!SettleWaiting(nullptr, heldFrom) || !WriteRange(m_settled, m_put, nullptr, heldFrom) ||
        !WriteQueued())
        return false;
    m_settled = m_put;
    m_waitingFrom = m_put;
    return true;
}

} // namespace veltrane
