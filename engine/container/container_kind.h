// What a file is, as the container walk reads it.
#pragma once

namespace veltrane {

// How the walk reads a file, judged from its first buffer-full (or, for a stream behind leading bytes
// that hold no sequence header, from where its first pack or packet is found).
enum class ContainerKind {
    Elementary,         // plain bytes: a video elementary stream, or anything that is no known multiplex
    ProgramStream,      // MPEG-1 system stream or MPEG-2 program stream (packs of PES packets)
    TransportStream188, // MPEG-2 transport stream
    TransportStream192, // the same with a 4-byte timestamp before each packet (.m2ts, .mts)
    CdXaFile,           // a RIFF "CDXA" file of raw CD sectors (a video CD's .DAT): the program stream
                        // that the user data of its Form 2 sectors make
    CdImage,            // the same in a raw image of 2,352-byte sectors (.bin)
    Matroska,           // Matroska or WebM (.mkv, .webm): EBML elements, the video tracks' frames in blocks
    Avi,                // AVI (RIFF, OpenDML): the video streams' frames in movi chunks
    Mp4,                // MP4 or QuickTime (ISO BMFF): the video track's samples, found by its index
};

// How reports name a kind: a short word for JSON, and words for people.
struct ContainerKindNames {
    const char* word;
    const char* text;
};
ContainerKindNames NamesOf(ContainerKind kind);

} // namespace veltrane
