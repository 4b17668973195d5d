// Puts what a run has written on the device while the run goes on, and tells what that cost.
#pragma once

#include "io/failure_reason.h"
#include "io/file_io.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace veltrane {

// Nanoseconds on the steady clock: what a copy's writes and write-backs are timed by, outside tests.
std::int64_t SteadyNanoseconds();

// A durable copy ends waiting until its data is on the device. Left to that wait, the device's work
// comes after all the reading and writing; asked for range by range on a thread of its own, it goes
// on meanwhile, and the final wait finds little left. On a file system whose blocks a copy shares
// with its source, each range's time also tells the copy what a rewritten block costs there, which it
// cannot see in its own writes: the new block is allocated and mapped only as it goes to the device.
//
// Where the file cannot be written back by ranges (a pipe, Windows) nothing is started and Ask does
// nothing; the commit's sync does all the work, as it would anyway.
class WriteBack {
public:
    // A range of the file, with what was written in it: `pieces` separate writes, `bytes` in all. A
    // range timed alone (`alone` 1 or 2) is never merged with another, and its time is kept apart.
    struct Range {
        std::int64_t from = 0, to = 0;
        std::int64_t pieces = 0, bytes = 0;
        int alone = 0;
    };
    // What the ranges written back so far took: all but those timed alone, and each of those (-1
    // until it is written back).
    struct Costs {
        std::int64_t ranges = 0, pieces = 0, bytes = 0, nanoseconds = 0;
        std::int64_t alone[2] = {-1, -1};
    };
    // Writes one range back; false on an error, with the system's code. A seam for tests.
    using Function = std::function<bool(const Range& range, int& error)>;
    // Nanoseconds on a steady clock. A seam for tests.
    using Clock = std::function<std::int64_t()>;

    // Writes `file`'s ranges back on a thread of its own, where the file can be.
    explicit WriteBack(const io::File& file);
    // Writes each range back at once, on the caller's thread, through `function`, timed by `clock`.
    WriteBack(Function function, Clock clock);
    // Waits for a range under way; those not begun are dropped. The file outlives this.
    ~WriteBack();
    WriteBack(const WriteBack&) = delete;
    WriteBack& operator=(const WriteBack&) = delete;

    // Asks for `range` to be written back. Ranges do not overlap; one at a time is written back, in
    // the order asked.
    void Ask(const Range& range);
    Costs Measured() const;
    // Waits until every range asked for is written back. False when one failed; Failure() says why.
    bool Finish();
    const io::FailureReason& Failure() const { return m_failure; }

private:
    // Waiting ranges beyond this many are merged into the last, so that a device slower than the run
    // costs nothing but the merged ranges' precision.
    static constexpr std::size_t MAX_WAITING = 8;

    void Serve();
    std::int64_t Do(const Range& range);
    void Count(const Range& range, std::int64_t took);

    Function m_function;
    Clock m_clock;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Range> m_waiting;
    bool m_busy = false;
    bool m_stopping = false;
    int m_error = 0;
    bool m_threaded = false; // ranges are written back on m_thread, started by the first Ask
    Costs m_costs;
    io::FailureReason m_failure;
    std::thread m_thread;
};

} // namespace veltrane
