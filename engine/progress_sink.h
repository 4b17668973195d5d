// How a conversion run reports its progress to whoever started it.
#pragma once

#include <cstdint>

namespace veltrane {

// Called on the caller's own thread: Begin once, Position after every buffer-full, End once the
// files are closed. None of them is called when the run fails before it starts copying, and End is
// not called when it fails part-way.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void Begin() = 0;
    virtual void Position(int position) = 0;
    virtual void End() = 0;
    // Asked after every buffer-full: true ends the run as Cancelled, with nothing left at the
    // destination's name but what was there before. A sink that never stops need not override it.
    virtual bool StopRequested() { return false; }
    // A stream's run (RunStreamConversion) also tells after every buffer-full how many bytes it has
    // read so far: the only figure there is when the source's size is not known beforehand.
    virtual void StreamPosition(std::int64_t /*bytesRead*/) {}
};

} // namespace veltrane
