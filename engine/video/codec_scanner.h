// A codec's search over one stream's payload, and the table that picks one for a stream's codec.
#pragma once

#include "video/video_codec.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace veltrane {

struct WalkBuffer;
class HeaderSink;

// Searches one stream's payload, which may arrive in pieces of any size, for the structures that
// declare its shape, and hands each to the sink once the bytes that change are in the buffer.
class CodecScanner {
public:
    virtual ~CodecScanner() = default;

    // The next `size` bytes of the stream at data[0..size) inside `buffer`. With `useCodes`, start
    // codes may be taken from buffer.codes (a multiplex's payloads are pieces of one buffer).
    virtual void Search(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink,
                        bool useCodes) = 0;
    // The stream breaks here: nothing seen so far joins what comes next.
    virtual void Forget() = 0;
    // A structure found but not yet handed over, whose bytes the walk keeps in the buffer meanwhile.
    virtual bool Waiting() const = 0;
    virtual std::uint64_t WaitingOffset() const = 0;
    // Hands over what waits, as it stands: the bytes that would decide are too far away, or gone.
    virtual void Settle(WalkBuffer& buffer, HeaderSink& sink) = 0;
    // The container's frame or sample ends after the bytes given so far, where a framing that knows
    // its units' lengths must be between two of them.
    virtual void SampleEnds(HeaderSink& /*sink*/) {}
};

// The scanner for `codec`; null where the engine has none yet, and the stream is not searched.
std::unique_ptr<CodecScanner> MakeCodecScanner(VideoCodec codec);
// The same for a stream whose container names its MPEG version (`mpeg1`), where the stream itself may
// not tell: a sequence header in a configuration record is followed by container bytes, not by its
// extension or its GOP.
std::unique_ptr<CodecScanner> MakeCodecScanner(VideoCodec codec, std::optional<bool> mpeg1);

// H.264 or HEVC framed as Matroska and MP4 frame it: each NAL unit behind a big-endian length of
// `size` bytes (1, 2 or 4), as the codec configuration's lengthSizeMinusOne says.
struct NalLengthField {
    std::uint8_t size = 4;
};
// The scanner for `codec` framed so; null for a codec without NAL units or a size no record may name.
std::unique_ptr<CodecScanner> MakeCodecScanner(VideoCodec codec, NalLengthField lengths);

} // namespace veltrane
