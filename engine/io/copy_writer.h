// Puts a run's output into the destination, sharing the source's blocks wherever the bytes are the same.
#pragma once

#include "io/file_io.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace veltrane {

// The output of a run is the source with a few bytes rewritten, each at the offset it has in the
// source. Where the file system can make the destination share the source's blocks (a clone on XFS or
// btrfs, a copy on the file server), every 4 KiB block without a rewritten byte is shared and only the
// blocks that hold one are written, so a converted copy costs hardly any space or time. Elsewhere
// (tmpfs, ext4, a FIFO, Windows) every byte is written, exactly as a plain copy.
//
// Unchanged blocks are shared a run at a time, up to the next block with a new byte, so that a copy
// takes one try per rewritten header rather than one per buffer-full. A try is not free: each splits
// the file's extents, a transaction or two for the file system (30 to 150 µs on XFS), while writing
// a short run instead costs only its bytes. So once sharing works, each run goes the cheaper way by
// what this copy has measured so far: the mean time of its recent tries against the time its writes
// take per call plus the run's length times their time per byte, four times over for the write-back
// to the device. A try counts twice: it leaves the block beside it to be written back alone, which
// costs about as much again. Until enough of both is measured, every run is shared but one, written
// to measure by.
//
// Whether sharing works is decided by the first try in a run, made at once: if it shares nothing,
// the whole run writes. A try that fails later, or shares only part of its range, has the rest of
// that range written (from the bytes at hand, or copied from the source where they are gone:
// unchanged bytes are the source's) and the run writes from then on: never a gap, never a stale byte.
class CopyWriter {
public:
    // Shares [offset, offset + length) of the destination with the same range of the source; returns
    // how many bytes from `offset` on it shared. A seam for tests: the real one is
    // File::ShareBlocksFrom.
    using ShareFunction = std::function<std::int64_t(std::int64_t offset, std::int64_t length)>;
    // Nanoseconds on a steady clock, by which tries and writes are timed. A seam for tests, which
    // script what each costs; without one, every run is shared.
    using Clock = std::function<std::int64_t()>;

    CopyWriter(const io::File& source, io::File& dest);
    CopyWriter(const io::File& source, io::File& dest, ShareFunction share, Clock clock = nullptr);

    // Offset of the next byte Put takes.
    std::int64_t Position() const { return m_put; }
    // Says that the output byte at `offset` (not yet put) differs from the source's.
    void NoteRewritten(std::int64_t offset);
    // The next `size` bytes of the output. False when the destination refused them.
    bool Put(const std::uint8_t* data, std::size_t size);
    // Puts the last, partial block held back so far. False when the destination refused it.
    bool Finish();

    // Bytes of the output that share the source's blocks so far.
    std::int64_t SharedBytes() const { return m_shared; }
    // Whether runs are being shared: a clone on XFS holds the source locked against reads while it
    // runs, so reading the source meanwhile only makes the two wait on each other.
    bool Sharing() const { return (m_mode == Mode::Untried || m_mode == Mode::Sharing) && !m_writingRuns; }
    // Bytes of unchanged runs written because that was cheaper than sharing them.
    std::int64_t WrittenByChoice() const { return m_chosenWrites; }

private:
    static constexpr std::int64_t BLOCK = 4096;
    // Blocks from the first one not yet settled on: room for a whole buffer-full and more.
    static constexpr std::size_t WINDOW_BLOCKS = 256;
    // The most a run of unchanged blocks waits before it is shared.
    static constexpr std::int64_t MAX_WAITING = 64 << 20;

    enum class Mode { Untried, Sharing, Writing, Streaming };

    bool IsRewritten(std::int64_t blockStart) const;
    void Advance(std::int64_t to);
    bool Settle(std::int64_t wholeEnd, const std::uint8_t* data, std::int64_t heldFrom);
    bool SettleWaiting(const std::uint8_t* data, std::int64_t heldFrom);
    bool CopyFromSource(std::int64_t from, std::int64_t to);
    bool WriteAt(const std::uint8_t* data, std::size_t size, std::int64_t offset);
    std::int64_t Share(std::int64_t offset, std::int64_t length);
    bool CheaperToWrite(std::int64_t length) const;
    bool WriteRange(std::int64_t from, std::int64_t to, const std::uint8_t* data, std::int64_t heldFrom);
    bool WriteQueued();

    const io::File& m_source;
    io::File& m_dest;
    ShareFunction m_share;
    Mode m_mode;
    std::int64_t m_put = 0;         // bytes taken by Put
    std::int64_t m_settled = 0;     // bytes written, shared, or waiting to be: a block boundary until the
                                    // writer writes all
    std::int64_t m_waitingFrom = 0; // [m_waitingFrom, m_settled): unchanged blocks waiting to be shared
    std::int64_t m_shared = 0;
    std::int64_t m_chosenWrites = 0;
    bool m_writingRuns = false; // the last run was written for being cheaper
    // What the copy has measured: tries that shared a whole run (their mean, weighted to the last
    // few, follows a machine whose load changes), and every byte written.
    struct Sums {
        double count = 0, bytes = 0, nanoseconds = 0, bytesSquared = 0, bytesTimesNanoseconds = 0;
    };
    Clock m_clock;
    std::int64_t m_tries = 0;
    double m_tryNanoseconds = 0;
    Sums m_writes;
    bool m_probed = false; // a run has been written to measure writes by
    // A range WriteRange has yet to write, as it was given.
    struct Queued {
        std::int64_t from = 0, to = 0;
        const std::uint8_t* data = nullptr;
        std::int64_t heldFrom = 0;
    };
    Queued m_queued;
    std::bitset<WINDOW_BLOCKS> m_rewritten; // bit i: the block at m_settled + i * BLOCK has a new byte
    // [m_settled, m_put): bytes of a block not yet whole, held until it is.
    std::uint8_t m_held[BLOCK]{};
};

} // namespace veltrane
