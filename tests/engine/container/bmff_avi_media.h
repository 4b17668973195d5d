// Helpers of the MP4/MOV and AVI tests: running the field's tools, recording a payload walk, and applying
// a container's sites with the MPEG-2 aspect bytes as the engine will, to judge the copy in the readers.
#pragma once

#include "container/bmff_index.h"
#include "test_support.h"

#include <functional>
#include <string>
#include <vector>

namespace veltrane::test {

std::string DataFile(const std::string& name);
Bytes Cat(std::initializer_list<Bytes> parts);
// Whether `command` runs and succeeds, its output thrown away.
bool HaveTool(const std::string& command);
bool Shell(const std::string& command);
// The command's standard output.
Bytes Capture(const std::string& command);

// Every piece and break a walk handed over, with the bytes as they were then.
struct Walked final : container::PayloadEvents {
    struct Piece {
        std::uint64_t offset = 0;
        Bytes bytes;
    };
    std::vector<Piece> pieces;
    std::vector<std::size_t> breakBefore; // the index of the piece each break came before
    std::size_t breaks = 0;

    void VideoPayload(std::uint32_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t offset) override {
        pieces.push_back({offset, Bytes(piece, piece + size)});
    }
    void StreamBreak(std::uint32_t) override {
        ++breaks;
        breakBefore.push_back(pieces.size());
    }

    // The pieces inside sample extents, or inside configuration extents, joined.
    Bytes Samples(const std::vector<container::PayloadExtent>& extents) const {
        return Joined(extents, false);
    }
    Bytes Config(const std::vector<container::PayloadExtent>& extents) const { return Joined(extents, true); }
    // The pieces between breaks, joined.
    std::vector<Bytes> Segments() const;

private:
    Bytes Joined(const std::vector<container::PayloadExtent>& extents, bool config) const;
};

struct Applied {
    std::size_t headers = 0; // sequence headers found in the payload
    std::size_t sites = 0;   // sites that changed bytes
};
// Runs `walk` over the whole file held in `bytes` (one buffer at offset 0), rewrites the aspect byte
// of every sequence header in the payload it hands over towards `target`, then applies `sites`. With
// `mpeg1` every header is read as MPEG-1, as the container's word says, even one in a configuration
// record that nothing of the stream follows.
Applied ApplyWithHeaders(Bytes& bytes, const std::function<void(container::PayloadEvents&)>& walk,
                         const std::vector<container::AspectSite>& sites, DeclaredAspect target,
                         bool mpeg1 = false);

// The display aspect each reader shows; 0 when it said nothing readable.
struct Readers {
    double ffprobe = 0;
    double mpv = 0;
    double mediainfo = 0;
    std::string mediainfoOriginal; // DisplayAspectRatio_Original: empty when container and stream agree
};
Readers AskReaders(const std::string& path);

} // namespace veltrane::test
