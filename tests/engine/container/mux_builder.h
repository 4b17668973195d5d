// Makes transport and program streams whose video headers are cut wherever a test asks, and knows
// which file bytes are each video stream's payload, for a reference model that needs no parser.
#pragma once

#include "header_scan.h"
#include "test_support.h"
#include "video/conversion_mode.h"

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace veltrane::test {

// A file being built: structure bytes, and video payload bytes remembered by stream.
struct Mux {
    Bytes file;
    std::map<int, std::vector<std::size_t>> video;          // stream -> file offsets of its payload, in order
    std::vector<std::pair<std::size_t, std::size_t>> plain; // regions searched as plain bytes

    void Structure(const Bytes& bytes) { file.insert(file.end(), bytes.begin(), bytes.end()); }
    void Payload(int stream, const Bytes& es, std::size_t from, std::size_t count);
};

// Each stream's payload searched as one run of bytes, each plain region on its own, and every aspect
// byte found rewritten where it lies in the file, by MPEG-1's rule from the header's own sizes when
// `mpeg1`, else by MPEG-2's.
Bytes ReferenceMuxConversion(const Mux& mux, ConversionMode mode, bool mpeg1 = false);

// A video elementary stream of `headers` GOPs, each a sequence header with `aspect`, a sequence
// extension (MPEG-2) or none (MPEG-1), a GOP and picture start and filler with no start code in it.
Bytes SyntheticVideo(int headers, std::uint8_t aspect, bool mpeg2, std::size_t gopBytes,
                     std::mt19937& random);

// ES offsets of the first byte of every sequence header.
std::vector<std::size_t> HeaderOffsets(const Bytes& es);

// Non-video payload that holds a perfectly good-looking sequence header: the walk must leave it be.
Bytes DecoyPayload(std::size_t size, std::mt19937& random);

struct TransportOptions {
    bool timestamped = false;        // 192-byte packets
    std::set<std::size_t> cuts;      // ES offsets at which a video packet's payload must end
    std::set<std::size_t> pesStarts; // ES offsets at which a new video PES begins
};
// A PMT section, without its CRC, in place of the one that names the video.
struct OtherPmt {
    Bytes section; // empty: the one naming the video
    bool crcWrong = false;
};
// A transport stream (PAT, PMT, video on PID 0x100, decoy audio on 0x101, null packets) carrying
// `es`; after every cut other PIDs' packets come before the continuation, which has an adaptation field.
// The PMT names the video's `streamType` (0x02 MPEG-2, 0x1B H.264, 0x24 HEVC).
Mux BuildTransport(const Bytes& es, const TransportOptions& options, std::mt19937& random,
                   std::uint8_t streamType = 0x02, const OtherPmt& pmt = {});

struct ProgramOptions {
    bool mpeg1 = false;         // MPEG-1 system stream: MPEG-1 pack and packet headers
    std::set<std::size_t> cuts; // ES offsets at which a video PES packet must end
    // A program stream map after the system header naming the video's type (0x02 MPEG-2, 0x1B H.264,
    // 0x24 HEVC); none when 0. `mapCrcBroken` spoils its CRC.
    std::uint8_t streamType = 0;
    bool mapCrcBroken = false;
};
// A program stream of packs with a system header first, video E0, decoys in private stream 2, padding.
Mux BuildProgram(const Bytes& es, const ProgramOptions& options, std::mt19937& random);

// Cuts that split every header after 1, 2, ... 7 of its first eight bytes, in turn.
std::set<std::size_t> CutEveryHeader(const Bytes& es);

// The run's loop over `file` with a buffer of `bufferSize` bytes: what the walk holds back comes again
// at the front of the next call. Each call sees an allocation of exactly the valid bytes, so that a
// read past them trips the address sanitizer.
Bytes WalkInBuffers(const Bytes& file, ConversionMode mode, std::size_t bufferSize,
                    ContainerKind* kind = nullptr);

} // namespace veltrane::test
