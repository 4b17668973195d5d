// Puts a run's output into the destination, sharing the source's blocks wherever the bytes are the same.
#pragma once

#include "io/failure_reason.h"
#include "io/file_io.h"
#include "io/pump.h"
#include "io/write_back.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace veltrane {

// The output of a run is the source with a few bytes rewritten, each at the offset it has in the
// source. Where the file system can make the destination share the source's blocks (a clone on XFS or
// btrfs, a copy on the file server), the destination is made to share all of them, a big step at a
// time ahead of the run, and only the 4 KiB blocks that hold a rewritten byte are written over: a
// converted copy costs hardly any space or time. Elsewhere (tmpfs, ext4, a FIFO, Windows) every byte
// is written, exactly as a plain copy.
//
// Each block written over a shared one costs the file system a block of its own, mapped in when it
// reaches the device (about 70 µs of work on XFS), where writing a run of blocks costs little more
// than one. So where rewritten blocks lie close together, writing the run between two of them is
// cheaper than leaving it shared, and each such run goes the way this copy has measured as cheaper:
// the device's time for a rewritten block, measured as the copy is written back range by range, against
// the run's length times a byte's cost, measured on the first half megabyte, which is written for that
// and written back on its own, in two parts whose difference leaves out the device's time to answer. Where
// more of the last step's runs were cheaper written than shared, no further step is shared: the rest is
// written as a plain copy, which costs the file system less than writing over blocks it shares. Runs between
// rewritten blocks at least 300 KiB apart (a DVD's headers are 400 KiB or more) are never chosen by a timing,
// nor is any run while the rewritten blocks so far lie 300 KiB apart on average (a DVD's groups of pictures
// vary in size, a still scene's being far shorter): they stay shared, so such a copy always takes no more
// than its rewritten blocks and the first half megabyte. One with a header every few dozen kilobytes may be
// written but its start.
//
// A step that shares only part of its range, or nothing, has the rest of the copy written from there
// on: never a gap, never a stale byte.
class CopyWriter final : public PumpOutput {
public:
    // The size of a step that shares the source's blocks ahead of the run, and of a range written back.
    static constexpr std::int64_t SHARE_STEP = 8 << 20;
    static constexpr std::int64_t WRITE_BACK_STEP = 4 << 20;

    // Shares [offset, offset + length) of the destination with the same range of the source; returns
    // how many bytes from `offset` on it shared. The real one is File::ShareBlocksFrom.
    using ShareFunction = std::function<std::int64_t(std::int64_t offset, std::int64_t length)>;
    // Nanoseconds on a steady clock, by which the first half megabyte's writes are timed.
    using Clock = std::function<std::int64_t()>;
    // What tests put in place of the file system and the clock, with steps of their own. Without a
    // clock no run is ever written by choice; without a write-back function nothing is written back.
    struct Seams {
        ShareFunction share;
        Clock clock;
        WriteBack::Function writeBack;
        std::int64_t shareStep = SHARE_STEP;
        std::int64_t writeBackStep = WRITE_BACK_STEP;
    };

    // `size` is the source's size when the run began: what is shared, at most.
    CopyWriter(const io::File& source, io::File& dest, std::int64_t size);
    CopyWriter(const io::File& source, io::File& dest, std::int64_t size, Seams seams);

    // Offset of the next byte Put takes.
    std::int64_t Position() const { return m_put; }
    // Says that the output byte at `offset` (not yet put) differs from the source's.
    void NoteRewritten(std::int64_t offset);
    // The next `size` bytes of the output. False when the destination refused them.
    bool Put(const std::uint8_t* data, std::size_t size) override;
    // Puts the last, partial block held back so far, and waits until what was written is on the
    // device. False when the destination refused either. With `waitForDevice` false the device is only
    // set to work on what is left, for a sync of the whole file to wait for later.
    bool Finish(bool waitForDevice = true);
    // Why Put or Finish failed.
    io::FailureReason Failure() const;

    // Bytes of the output that share the source's blocks.
    std::int64_t SharedBytes() const;
    // Bytes of unchanged runs written because that was cheaper than leaving them shared.
    std::int64_t WrittenByChoice() const { return m_chosenWrites; }

private:
    static constexpr std::int64_t BLOCK = 4096;
    // Blocks from the first one not yet settled on: room for a whole buffer-full and more.
    static constexpr std::size_t WINDOW_BLOCKS = 256;

    enum class Mode { Sharing, Writing, Streaming };

    void ShareAhead(std::int64_t upTo);
    bool MustWrite(std::int64_t blockStart) const;
    void Advance(std::int64_t to);
    bool Settle(std::int64_t wholeEnd, const std::uint8_t* data, std::int64_t heldFrom);
    bool SettleWaiting(const std::uint8_t* data, std::int64_t heldFrom);
    bool CopyFromSource(std::int64_t from, std::int64_t to);
    bool WriteAt(const std::uint8_t* data, std::size_t size, std::int64_t offset);
    // Which way a run of unchanged blocks costs less, by what this copy has measured so far.
    enum class Cheaper { Unknown, Sharing, Writing };
    Cheaper CheaperWay(std::int64_t length) const;
    bool WriteRange(std::int64_t from, std::int64_t to, const std::uint8_t* data, std::int64_t heldFrom);
    bool WriteQueued();
    void AskWriteBack(std::int64_t upTo, bool last);

    const io::File& m_source;
    io::File& m_dest;
    std::int64_t m_size;
    Seams m_seams;
    std::unique_ptr<WriteBack> m_writeBack;
    Mode m_mode = Mode::Streaming;
    std::int64_t m_put = 0;         // bytes taken by Put
    std::int64_t m_settled = 0;     // bytes written or left shared: a block boundary until all is written
    std::int64_t m_waitingFrom = 0; // [m_waitingFrom, m_settled): shared blocks that may yet be written
    bool m_waitingTooLong = false;  // ... unless the run was too long to ever be, and stays shared
    // [m_shareFrom, m_shareEnd) shares the source's blocks; the first half megabyte of a large copy is
    // written, to measure a byte's cost by.
    std::int64_t m_shareFrom = 0;
    std::int64_t m_shareEnd = 0;
    bool m_shareStopped = false; // a step shared less than its range, or none was worth it: the rest is
                                 // written
    // Bytes of the runs settled since the last step that were cheaper written, and cheaper shared.
    std::int64_t m_cheaperWritten = 0, m_cheaperShared = 0;
    std::int64_t m_overwritten = 0; // bytes written within the shared range
    std::int64_t m_chosenWrites = 0;
    std::int64_t m_rewrittenBlocks = 0; // blocks noted as rewritten so far, each once
    // What has been written since the last range asked to be written back.
    std::int64_t m_backTo = 0;
    std::int64_t m_piecesToAsk = 0, m_bytesToAsk = 0;
    std::int64_t m_writtenTo = -1; // where the last write ended: a write that starts there is no new piece
    bool m_probeAsked = false;
    std::int64_t m_probeWriteNanoseconds = 0; // what writing the first half megabyte took
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
