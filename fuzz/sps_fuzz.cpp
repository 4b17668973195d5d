// The H.264 and HEVC SPS rewrite on any bytes: it changes at most five bytes, all inside the NAL, keeps
// its length, and a second flip to the same shape changes nothing.
#include "fuzz_support.h"
#include "video/sps_rewrite.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using namespace veltrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> nal(data, data + size);
    for (const VideoCodec codec : {VideoCodec::H264, VideoCodec::Hevc}) {
        for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
            const SpsRewrite result = RewriteSpsAspect(codec, nal, mode);
            if (result.kind != SpsRewrite::Kind::Changed)
                continue;
            if (result.changes.empty() || result.changes.size() > 5)
                fuzz::Finding("a flip that changes no byte or more than five", result.changes.size());
            std::vector<std::uint8_t> flipped = nal;
            for (const ByteChange& change : result.changes) {
                if (change.offset >= size || nal[change.offset] != change.before)
                    fuzz::Finding("a change outside the NAL or of a byte it does not hold", change.offset);
                flipped[change.offset] = change.after;
            }
            if (RewriteSpsAspect(codec, flipped, mode).kind != SpsRewrite::Kind::Unchanged)
                fuzz::Finding("a flipped SPS does not read as flipped");
        }
    }
    return 0;
}
