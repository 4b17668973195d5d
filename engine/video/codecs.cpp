// The codec table: one line a codec, naming the scanner that searches its streams.
#include "video/codec_scanner.h"
#include "video/h26x_scanner.h"
#include "video/length_nal_scanner.h"
#include "video/stream_search.h"

namespace veltrane {

namespace {

// A codec in one framing: behind start codes, or behind length fields of the size given to `make`.
struct CodecEntry {
    VideoCodec codec;
    bool lengthFields;
    std::unique_ptr<CodecScanner> (*make)(std::uint8_t lengthSize);
};

template <typename Scanner> std::unique_ptr<CodecScanner> Make(std::uint8_t) {
    return std::make_unique<Scanner>();
}

template <VideoCodec Codec> std::unique_ptr<CodecScanner> MakeLengthNal(std::uint8_t lengthSize) {
    return std::make_unique<LengthNalScanner>(Codec, lengthSize);
}

constexpr CodecEntry CODECS[] = {
    {VideoCodec::Mpeg12, false, &Make<StreamSearch>},
    {VideoCodec::H264, false, &Make<H264Scanner>},
    {VideoCodec::Hevc, false, &Make<HevcScanner>},
    {VideoCodec::H264, true, &MakeLengthNal<VideoCodec::H264>},
    {VideoCodec::Hevc, true, &MakeLengthNal<VideoCodec::Hevc>},
};

std::unique_ptr<CodecScanner> Find(VideoCodec codec, bool lengthFields, std::uint8_t lengthSize) {
    for (const CodecEntry& entry : CODECS) {
        if (entry.codec == codec && entry.lengthFields == lengthFields)
            return entry.make(lengthSize);
    }
    return nullptr;
}

} // namespace

std::unique_ptr<CodecScanner> MakeCodecScanner(VideoCodec codec) {
    return Find(codec, false, 0);
}

std::unique_ptr<CodecScanner> MakeCodecScanner(VideoCodec codec, NalLengthField lengths) {
    if (lengths.size != 1 && lengths.size != 2 && lengths.size != 4)
        return nullptr;
    return Find(codec, true, lengths.size);
}

std::unique_ptr<CodecScanner> MakeCodecScanner(VideoCodec codec, std::optional<bool> mpeg1) {
    if (codec != VideoCodec::Mpeg12 || !mpeg1)
        return MakeCodecScanner(codec);
    auto search = std::make_unique<StreamSearch>();
    search->KnowVersion(*mpeg1);
    return search;
}

} // namespace veltrane
