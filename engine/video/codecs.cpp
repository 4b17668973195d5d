// The codec table: one line a codec, naming the scanner that searches its streams.
#include "video/codec_scanner.h"
#include "video/h26x_scanner.h"
#include "video/stream_search.h"

namespace veltrane {

namespace {

struct CodecEntry {
    VideoCodec codec;
    std::unique_ptr<CodecScanner> (*make)();
};

template <typename Scanner> std::unique_ptr<CodecScanner> Make() {
    return std::make_unique<Scanner>();
}

constexpr CodecEntry CODECS[] = {
    {VideoCodec::Mpeg12, &Make<StreamSearch>},
    {VideoCodec::H264, &Make<H264Scanner>},
    {VideoCodec::Hevc, &Make<HevcScanner>},
};

} // namespace

std::unique_ptr<CodecScanner> MakeCodecScanner(VideoCodec codec) {
    for (const CodecEntry& entry : CODECS) {
        if (entry.codec == codec)
            return entry.make();
    }
    return nullptr;
}

std::unique_ptr<CodecScanner> MakeCodecScanner(VideoCodec codec, std::optional<bool> mpeg1) {
    if (codec != VideoCodec::Mpeg12 || !mpeg1)
        return MakeCodecScanner(codec);
    auto search = std::make_unique<StreamSearch>();
    search->KnowVersion(*mpeg1);
    return search;
}

} // namespace veltrane
