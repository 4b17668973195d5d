// A raw H.264 or HEVC elementary stream (.264, .h264, .265, .hevc): NAL units after start codes.
#include "container/container_format.h"
#include "video/sequence_header.h"

#include <algorithm>
#include <optional>

namespace veltrane {

namespace {

// How far into the file the first start code may be: encoders put at most a few zero bytes before it.
constexpr std::uint32_t LEADING_ZEROS = 8;
// How far an MPEG-1/2 sequence header is looked for: an Annex B stream never has one, as 0xB3 is no
// NAL header.
constexpr std::uint32_t MPEG_WINDOW = 65536;

class AnnexBFormat final : public ContainerFormat {
public:
    explicit AnnexBFormat(VideoCodec codec) : m_scanner(MakeCodecScanner(codec)) {}

    ContainerKind Kind() const override { return ContainerKind::Elementary; }
    // An SPS whose aspect would need more bits refuses the whole file.
    bool MayRefuse() const override { return true; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                       bool /*last*/) override {
        if (size > from)
            m_scanner->Search(core.Buffer(), data + from, size - from, core.Sink(), false);
        return size;
    }
    void ForEachStream(const std::function<void(CodecScanner&)>& f) override { f(*m_scanner); }

private:
    std::unique_ptr<CodecScanner> m_scanner;
};

// The first NAL units of a stream: an access unit delimiter, a parameter set or an SEI. An HEVC
// header's second byte has nuh_layer_id 0 and a temporal id; H.264's one byte forbids nal_ref_idc on
// an AUD or SEI. No HEVC header of these reads as one of them in H.264.
std::optional<VideoCodec> CodecOfFirstNal(std::uint8_t first, std::uint8_t second) {
    if ((first & 0x80) != 0)
        return std::nullopt;
    const std::uint8_t hevcType = (first >> 1) & 0x3F;
    if ((first & 0x01) == 0 && (second & 0xF8) == 0 && (second & 0x07) != 0 &&
        (hevcType == 32 || hevcType == 33 || hevcType == 35 || hevcType == 39))
        return VideoCodec::Hevc;
    const std::uint8_t type = first & 0x1F;
    if (first == 0x09 || first == 0x06 || (type == 7 && (first & 0x60) != 0))
        return VideoCodec::H264;
    return std::nullopt;
}

// Whether a NAL header may stand in a stream of `codec`: forbidden_zero_bit clear, a type the codec
// defines; in H.264 the slices of an IDR picture and the parameter sets carry nal_ref_idc and an SEI,
// AUD or filler never does; in HEVC the base layer with a temporal id. An MPEG-1/2 start code fails at
// once: its picture start (00) and its slices 07 and 08 read as headers no encoder writes.
bool PlausibleNal(VideoCodec codec, std::uint8_t first, std::uint8_t second) {
    if ((first & 0x80) != 0)
        return false;
    if (codec == VideoCodec::Hevc)
        return ((first >> 1) & 0x3F) <= 40 && (first & 0x01) == 0 && (second & 0xF8) == 0 &&
               (second & 0x07) != 0;
    const std::uint8_t type = first & 0x1F;
    const bool referenced = (first & 0x60) != 0;
    switch (type) {
    case 5:
    case 7:
    case 8:
    case 15:
        return referenced;
    case 6:
    case 9:
    case 10:
    case 11:
    case 12:
        return !referenced;
    default:
        return (type >= 1 && type <= 14) || type == 19 || type == 20;
    }
}

} // namespace

// The file starts with a start code and an AUD, parameter set or SEI; every start code in its first
// 64 KiB is followed by a header that codec allows, an SPS among them, and no sequence header is there.
std::unique_ptr<ContainerFormat> RecogniseAnnexBStream(const std::uint8_t* data, std::uint32_t size) {
    std::uint32_t at = 0;
    while (at < size && at < LEADING_ZEROS && data[at] == 0)
        ++at;
    if (at < 2 || at + 3 > size || data[at] != 0x01)
        return nullptr;
    const std::optional<VideoCodec> codec = CodecOfFirstNal(data[at + 1], data[at + 2]);
    if (!codec)
        return nullptr;
    const std::uint32_t window = std::min(size, MPEG_WINDOW);
    bool sps = false;
    for (std::uint32_t i = at; i + 2 < window; ++i) {
        if (data[i] != 0x01 || data[i - 1] != 0x00 || data[i - 2] != 0x00)
            continue;
        if (!PlausibleNal(*codec, data[i + 1], data[i + 2]))
            return nullptr;
        sps = sps ||
              (*codec == VideoCodec::Hevc ? ((data[i + 1] >> 1) & 0x3F) == 33 : (data[i + 1] & 0x1F) == 7);
    }
    const std::uint8_t* cursor = data;
    std::uint32_t left = window;
    if (!sps || FindSequenceHeader(cursor, left))
        return nullptr;
    return std::make_unique<AnnexBFormat>(*codec);
}

} // namespace veltrane
