// Helpers of the MP4/MOV and AVI tests: running the field's tools, recording a payload walk, and a copy
// converted as the engine will (container sites plus the MPEG aspect bytes) judged by every reader.
#pragma once

#include "container/bmff_common.h"
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

// The payload a walk handed over, one run of bytes for each stretch between stream breaks.
struct Walked final : container::PayloadEvents {
    std::vector<Bytes> segments = {{}};
    void VideoPayload(std::uint32_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t) override {
        segments.back().insert(segments.back().end(), piece, piece + size);
    }
    void StreamBreak(std::uint32_t) override {
        if (!segments.back().empty())
            segments.emplace_back();
    }
};

// Rewrites in `bytes` (the whole file, walked as one buffer at offset 0 by `walk`) the aspect byte of
// every sequence header in the payload towards `target`, applies the changing `sites`, writes the file
// to `path` and checks that ffprobe, mpv and MediaInfo show the target within `tolerance`, MediaInfo
// with no differing original. With `mpeg1` every header is read as MPEG-1, as the container's word
// says, even one in a configuration record that nothing of the stream follows. Returns the headers found.
std::size_t ConvertAndJudge(Bytes& bytes, const std::function<void(container::PayloadEvents&)>& walk,
                            const std::vector<container::AspectSite>& sites, DeclaredAspect target,
                            const std::string& path, bool mpeg1 = false, double tolerance = 0.01);

} // namespace veltrane::test
