// What every program built on the engine does first, before it touches a file.
#pragma once

namespace veltrane {

// A write to a FIFO whose reader has gone, or past a file-size limit (ulimit -f, a FAT destination at
// 4 GiB), raises SIGPIPE or SIGXFSZ, whose default is to kill the process without a word. Ignored,
// the write fails instead and the run reports it. Does nothing on Windows, which has neither.
void IgnoreWriteSignals();

} // namespace veltrane
