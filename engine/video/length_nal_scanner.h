// The SPS search over one H.264 or HEVC stream whose NAL units lie behind length fields (Matroska, MP4).
#pragma once

#include "video/codec_scanner.h"
#include "video/h26x_scanner.h"
#include "video/stream_search.h"
#include "video/video_codec.h"

#include <cstdint>
#include <string>

namespace veltrane {

// Each NAL unit follows its length in 1, 2 or 4 big-endian bytes, as the codec configuration says.
// There are no start codes to find the way back by: one length misread and every later one is a guess,
// so a length no stream can have loses the chain. The scanner then stops, tells the sink, and searches
// nothing more until the stream breaks (Forget) and starts afresh with a length.
class LengthNalScanner final : public CodecScanner {
public:
    LengthNalScanner(VideoCodec codec, std::uint8_t lengthSize)
        : m_codec(codec), m_lengthSize(lengthSize), m_sps(codec) {}

    void Search(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink,
                bool useCodes) override;
    void Forget() override;
    bool Waiting() const override { return m_sps.Active(); }
    std::uint64_t WaitingOffset() const override { return m_sps.FirstOffset(); }
    void Settle(WalkBuffer& buffer, HeaderSink& sink) override;
    // A unit that runs on past its frame was a length misread: the chain is lost.
    void SampleEnds(HeaderSink& sink) override;

    bool Lost() const { return m_lost; }

    // No NAL unit of a picture is this long; a length past it is a misread, not a unit.
    static constexpr std::uint32_t MAX_NAL_SIZE = 64u << 20;

private:
    bool IsSps(std::uint8_t header) const;
    void Lose(std::uint64_t offset, HeaderSink& sink);

    VideoCodec m_codec;
    std::uint8_t m_lengthSize;
    SpsGathering m_sps;
    std::uint8_t m_lengthRead = 0; // bytes of the next length read so far
    std::uint32_t m_length = 0;
    std::uint32_t m_left = 0; // bytes of the current NAL unit still to come
    bool m_atHeader = false;  // the next byte is a NAL header
    std::uint64_t m_end = 0;  // the file offset after the last byte searched
    bool m_lost = false;
};

// Hands every SPS of a decoder configuration record (avcC or hvcC), which lies whole at
// record[0..size) inside `buffer`, to the sink as the stream's own would be. Returns "" or why the
// record cannot be read; `lengthSize` is set to its NAL length field's size.
std::string SearchConfigRecord(VideoCodec codec, WalkBuffer& buffer, std::uint8_t* record, std::uint32_t size,
                               HeaderSink& sink);
// The NAL length field size a record declares (1, 2 or 4), or 0 with `failure` set.
std::uint8_t NalLengthSizeOf(VideoCodec codec, const std::uint8_t* record, std::uint32_t size,
                             std::string& failure);

} // namespace veltrane
