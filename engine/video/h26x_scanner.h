// The SPS search over one H.264 or HEVC stream's payload, which may arrive in pieces of any size.
#pragma once

#include "video/codec_scanner.h"
#include "video/stream_search.h"
#include "video/video_codec.h"

#include <cstdint>
#include <vector>

namespace veltrane {

// The bytes of one SPS NAL unit as they arrive, each with its file offset, and the hand-over to the
// sink once its end is known: shared by every framing of NAL units, start codes or length fields.
class SpsGathering {
public:
    explicit SpsGathering(VideoCodec codec) : m_codec(codec) {}

    // Longer than any real SPS: one that runs on past it is not one, and is let go.
    static constexpr std::uint32_t MAX_SPS_SIZE = 4096;

    bool Active() const { return m_active; }
    std::uint64_t FirstOffset() const { return m_offsets.empty() ? 0 : m_offsets.front(); }
    void Begin();
    // data[from, to) lies at file offset base + from. `slack` bytes past the longest SPS may be taken
    // (a start code's zeros); past that the unit is let go.
    void Gather(const std::uint8_t* data, std::uint32_t from, std::uint32_t to, std::uint64_t base,
                std::uint32_t slack);
    // Hands what was gathered to the sink, trailing zero bytes dropped, if its first byte is still in
    // the buffer; `cut`: its end was not seen.
    void Hand(WalkBuffer& buffer, HeaderSink& sink, bool cut);
    void Drop();
    // The stream breaks: a unit being gathered is handed over, cut, at the next chance.
    void Break() { m_broken = m_broken || m_active; }
    bool Broken() const { return m_broken; }
    void HandIfBroken(WalkBuffer& buffer, HeaderSink& sink);
    // Hands over what is being gathered as it stands: the bytes that would end it are too far away.
    void Settle(WalkBuffer& buffer, HeaderSink& sink);

private:
    VideoCodec m_codec;
    bool m_active = false;
    bool m_broken = false;
    std::vector<std::uint8_t> m_bytes;
    std::vector<std::uint64_t> m_offsets;
};

// Every NAL unit starts after a 00 00 01 start code, which may be cut by a piece's end; an SPS ends where
// the next start code begins, which may come pieces later, with other streams' packets in between.
// The SPS's bytes are gathered as they come, each with its file offset, and the walk keeps them in the
// buffer meanwhile: a rewrite has to read the whole unit before it may change any of it.
class H26xScanner : public CodecScanner {
public:
    explicit H26xScanner(VideoCodec codec)
        : m_codec(codec), m_sps(codec), m_spsMask(codec == VideoCodec::Hevc ? 0xF2 : 0x96),
          m_spsValue(codec == VideoCodec::Hevc ? 0x42 : 0x06) {}

    void Search(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink,
                bool useCodes) override;
    // A break in the stream ends an SPS being gathered: it is handed over, cut, at the next chance.
    void Forget() override;
    bool Waiting() const override { return m_sps.Active(); }
    std::uint64_t WaitingOffset() const override { return m_sps.FirstOffset(); }
    void Settle(WalkBuffer& buffer, HeaderSink& sink) override;

    static constexpr std::uint32_t MAX_SPS_SIZE = SpsGathering::MAX_SPS_SIZE;

private:
    bool IsSps(std::uint8_t header) const;

    VideoCodec m_codec;
    bool IsSei(std::uint8_t header) const;
    // In a multiplex, whether a piece can be passed over: no SPS or SEI starts in it, by one search of
    // the raw buffer-full for all pieces, and no start code is cut by its front.
    bool NothingIn(const WalkBuffer& buffer, const std::uint8_t* data, std::uint32_t size);
    // Looks for AFD in an SEI's bytes that are in this piece; tells the sink the first time.
    void LookForAfd(const std::uint8_t* sei, std::uint32_t size, HeaderSink& sink);

    SpsGathering m_sps;
    // A NAL header that may be an SPS's or an SEI's: H.264 types 6, 7, 14 and 15, HEVC types 33, 35,
    // 37 and 39, forbidden bit clear. The other types pass the search's first test and fail the next.
    std::uint8_t m_spsMask;
    std::uint8_t m_spsValue;
    // Zero bytes at the end of what came so far (at most 2 counted): a start code may be cut there.
    std::uint32_t m_zeros = 0;
    // The last piece ended with a start code's 01: its NAL header is the next piece's first byte.
    bool m_headerNext = false;
    bool m_afdTold = false;
    // The raw buffer-full's next SPS or SEI start code (its 01), and the Reset it was found after.
    const std::uint8_t* m_candidate = nullptr;
    std::uint64_t m_generation = 0;
};

class H264Scanner final : public H26xScanner {
public:
    H264Scanner() : H26xScanner(VideoCodec::H264) {}
};

class HevcScanner final : public H26xScanner {
public:
    HevcScanner() : H26xScanner(VideoCodec::Hevc) {}
};

} // namespace veltrane
