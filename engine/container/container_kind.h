// What a file is, as the container walk reads it.
#pragma once

namespace veltrane {

// How the walk reads a file, judged from its first buffer-full.
enum class ContainerKind {
    Elementary,         // plain bytes: a video elementary stream, or anything that is no known multiplex
    ProgramStream,      // MPEG-1 system stream or MPEG-2 program stream (packs of PES packets)
    TransportStream188, // MPEG-2 transport stream
    TransportStream192, // the same with a 4-byte timestamp before each packet (.m2ts, .mts)
};

} // namespace veltrane
