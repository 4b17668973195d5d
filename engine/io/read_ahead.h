// Reads a run's source a buffer-full ahead, on a thread of its own, so that reading overlaps the walk
// and the writes instead of taking turns with them.
#pragma once

#include "io/chunk_buffer.h"
#include "io/file_io.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace veltrane {

// Hands out the source pass by pass exactly as one read of CHUNK_SIZE - carry bytes after the carried
// ones would: the same bytes, the same counts, so that progress and outcomes cannot tell the
// difference. Meanwhile the next read is already under way in the other of two buffers; the bytes a
// pass hands on are copied in front of it, the only bytes ever copied. Reads stop at `total`, the size
// taken at the start, and none begins before the pass two behind it is over, so that a source that
// changes during the run changes the copy no earlier than it would without the read-ahead.
// Where no thread can be started, or the machine has one core, the reads are made on the caller's
// thread, one per pass.
class ReadAhead {
public:
    // The most a pass may hand on to the next. The walk holds back at most 64 KiB.
    static constexpr std::uint32_t MAX_CARRY = CHUNK_SIZE / 8;
    // Bytes of the two buffers, each with room for what is carried into it in front.
    static constexpr std::size_t BUFFER_BYTES = 2 * (2 * std::size_t{MAX_CARRY} + CHUNK_SIZE);

    // Reads `source` from its position on, `total` bytes at most, into `buffer` (BUFFER_BYTES long).
    ReadAhead(io::File& source, std::int64_t total, std::uint8_t* buffer);
    // Stops the reader, waiting for a read under way to end: the source and the buffer outlive it.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    struct Pass {
        // The `carry` bytes the previous pass held back (and may have changed), then the new ones.
        std::uint8_t* data;
        // New bytes: as many as asked when there are, fewer only at the source's early end, 0 at it;
        // -1 when the read failed.
        std::int64_t got;
    };
    // The next pass, after the last `carry` (at most MAX_CARRY) bytes of this one: as ReadSome of
    // min(CHUNK_SIZE - carry, bytes left of `total`) bytes would give them.
    Pass Next(std::uint32_t carry);

private:
    static constexpr std::size_t HEAD = 2 * std::size_t{MAX_CARRY};

    struct Read {
        std::uint8_t* into = nullptr;
        std::int64_t size = 0;
        std::int64_t got = 0; // bytes read
        bool failed = false;
    };

    std::uint8_t* ReadPlace(int slot) const;
    void Issue(int slot, std::int64_t size);
    void Wait(int slot);
    static void Fill(io::File& source, Read& read);
    void Serve();

    io::File& m_source;
    const std::int64_t m_total;
    std::uint8_t* const m_buffer;
    Read m_reads[2];
    int m_current = -1;                // the slot of the pass handed out last
    std::int64_t m_passed = 0;         // source bytes handed out as new
    std::int64_t m_asked = 0;          // source bytes asked of the reads so far
    std::uint8_t* m_passEnd = nullptr; // end of the last pass's bytes
    bool m_ended = false;              // a read came back short: nothing more is asked
    bool m_inline = false;             // no thread could be started

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_pending = -1; // the slot the reader is to fill, or -1
    bool m_stop = false;
    std::thread m_reader; // not joinable where no thread could be started
};

} // namespace veltrane
