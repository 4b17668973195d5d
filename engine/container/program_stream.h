// The walk through a program stream: MPEG-2 packs and MPEG-1 system streams alike.
#pragma once

#include "container/container_format.h"
#include "container/pes_header.h"
#include "video/stream_search.h"

#include <array>
#include <cstdint>
#include <memory>

namespace veltrane {

// 00 00 01 BA followed by the marker bits of an MPEG-1 or MPEG-2 pack header; reads five bytes.
bool IsPackHeaderStart(const std::uint8_t* p);

// From a pack header on, every start code begins a pack header, a system header or a packet whose
// length says where the next one starts; the video packets' payloads go to their streams' searches.
// Also the walk inside CD sectors, whose user data make a program stream.
class ProgramStreamWalk {
public:
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size, bool last);
    // The structure is lost here: the bytes are plain until the next pack header.
    void LoseSync() { m_phase = Phase::LostSync; }
    // The stream breaks: nothing walked so far joins what comes next.
    void Break();
    template <typename F> void ForEachStream(F f) {
        for (Video& video : m_video) {
            if (video.nal)
                f(*video.nal);
            else
                f(video.mpeg);
        }
    }

private:
    enum class Phase : std::uint8_t { LostSync, AtStartCode, Skip, VideoPes };

    // One video stream. Its codec comes from the stream map where there is one; without, its first
    // start codes tell: a code only MPEG-1/2 has, or the NAL header of an SPS. Until one of them comes
    // its bytes are searched as MPEG-1/2's, as they always were.
    struct Video {
        StreamSearch mpeg;
        std::unique_ptr<CodecScanner> nal; // the stream's scanner once it is known as H.264 or HEVC
        VideoCodec codec = VideoCodec::Mpeg12;
        bool decided = false;
        std::uint32_t looked = 0; // payload bytes looked at without a decision
        std::uint8_t zeros = 0;   // zero bytes at the end of the payload so far, at most 2 counted
        bool headerNext = false;  // the payload so far ended with a start code's 01
    };

    std::uint32_t StartCode(const std::uint8_t* data, std::uint32_t at, std::uint32_t size, bool last,
                            std::uint32_t holdLimit);
    void StreamMap(const std::uint8_t* packet, std::uint32_t size);
    void Name(Video& video, VideoCodec codec);
    void Payload(WalkBuffer& buffer, HeaderSink& sink, std::uint8_t* data, std::uint32_t size);
    // Looks for the start code that tells the stream's codec; where it is H.264 or HEVC, the bytes from
    // that start code's NAL header on go to the new scanner.
    void Sniff(Video& video, WalkBuffer& buffer, HeaderSink& sink, std::uint8_t* data, std::uint32_t size);

    Phase m_phase = Phase::LostSync;
    std::uint32_t m_left = 0; // bytes of the current pack header, system header or packet
    std::uint8_t m_stream = 0;
    PesHeader m_pes;
    std::array<Video, 16> m_video; // stream ids E0..EF
};

std::unique_ptr<ContainerFormat> MakeProgramStreamFormat();
std::unique_ptr<ContainerFormat> RecogniseProgramStream(const std::uint8_t* data, std::uint32_t size);

} // namespace veltrane
