// The one loop every driver runs: read a buffer-full, walk it, write what the walk releases, carry the
// rest to the next pass.
#pragma once

#include "io/chunk_buffer.h"
#include "io/file_io.h"
#include "io/read_ahead.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>

namespace veltrane {

// What the pump hands each buffer-full to: it returns how many bytes at the end it holds back, which
// come again at the front of the next pass.
class PumpWalk {
public:
    virtual std::uint32_t Walk(std::uint8_t* data, std::uint32_t size) = 0;
    // The end of the input: data[0..size) is what the last Walk held back.
    virtual void Finish(std::uint8_t* data, std::uint32_t size) = 0;
    // The input cannot be taken as asked: the pump stops before the bytes of that pass go out.
    virtual bool Refused() const { return false; }

protected:
    ~PumpWalk() = default;
};

// Where the bytes the walk releases go, in order.
class PumpOutput {
public:
    virtual bool Put(const std::uint8_t* data, std::size_t size) = 0;

protected:
    ~PumpOutput() = default;
};

// Hands out the input pass by pass, each pass the bytes carried from the last one and then new ones.
// Each source keeps its own rule for where the input ends.
class PumpSource {
public:
    enum class State {
        Data,     // new bytes
        End,      // the input ended where it should: data holds the carried bytes
        Failed,   // a read failed
        CutShort, // a file ended before the size it had at the start
        Stopped,  // asked to stop while waiting for bytes
    };
    struct Pass {
        std::uint8_t* data = nullptr;
        std::uint32_t got = 0; // new bytes after the carried ones
        State state = State::Data;
    };

    virtual ~PumpSource() = default;
    // The next pass after the last `carry` bytes of this one.
    virtual Pass Next(std::uint32_t carry) = 0;
    // New bytes handed out so far.
    std::int64_t Read() const { return m_read; }

protected:
    std::int64_t m_read = 0;
};

enum class PumpEnd { Completed, ReadFailed, CutShort, WriteFailed, Stopped, Refused };

// Runs the loop to the end of the input. `afterPass` is asked after every pass once its bytes are out:
// false stops the pump there, before the walk's end.
PumpEnd Pump(PumpSource& source, PumpWalk& walk, PumpOutput* output, const std::function<bool()>& afterPass);

// Runs `f`, or gives `shortage` where memory ran out in it. Buffers are allocated without throwing;
// the walk's few bytes per stream and the writer's helpers are not, and a multiplex damaged enough can
// ask for many streams.
template <typename Result, typename F> Result UnlessMemoryRunsOut(Result shortage, F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return shortage;
    }
}

// A regular file of `total` bytes read a buffer-full ahead on a thread of its own (ReadAhead); `buffer`
// is ReadAhead::BUFFER_BYTES long.
class ReadAheadSource final : public PumpSource {
public:
    ReadAheadSource(io::File& file, std::int64_t total, std::uint8_t* buffer)
        : m_reads(file, total, buffer), m_total(total), m_tail(buffer) {}
    Pass Next(std::uint32_t carry) override;

private:
    ReadAhead m_reads;
    std::int64_t m_total;
    std::uint8_t* m_tail; // end of the last pass
};

// A file read with one read a pass into a CHUNK_SIZE buffer, the carried bytes moved to its front.
// With `total`, the input ends there and an earlier end is a file cut short; without, at the first
// end of the input. `waitFirst` (a pipe or a FIFO) fills each pass as far as it can, waiting for
// data, and `stop` is asked while it waits.
class SequentialSource final : public PumpSource {
public:
    struct Rules {
        std::optional<std::int64_t> total; // read exactly this much
        bool fill = false;                 // fill each pass as far as the input goes
        bool waitFirst = false;            // wait until the input is readable before each read
        bool errorEnds = false;            // a failed read ends the input instead of failing it
        std::int64_t limit = -1;           // no read begins at or past this many bytes; -1: none
        std::function<bool()> stop;        // asked while waiting
    };
    SequentialSource(io::File& file, std::uint8_t* buffer, Rules rules)
        : m_file(file), m_buffer(buffer), m_rules(std::move(rules)) {}
    Pass Next(std::uint32_t carry) override;

private:
    io::File& m_file;
    std::uint8_t* m_buffer;
    Rules m_rules;
    std::uint32_t m_length = 0; // bytes of the last pass
};

// Writes what the walk releases through a file's WriteAll.
class FileOutput final : public PumpOutput {
public:
    explicit FileOutput(io::File& file) : m_file(file) {}
    bool Put(const std::uint8_t* data, std::size_t size) override { return m_file.WriteAll(data, size); }

private:
    io::File& m_file;
};

} // namespace veltrane
