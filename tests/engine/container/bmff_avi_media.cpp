// Helpers of the MP4/MOV and AVI tests; see bmff_avi_media.h.
#include "container/bmff_avi_media.h"

#include "video/aspect_rule.h"
#include "video/stream_search.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace veltrane::test {

std::string DataFile(const std::string& name) {
    return std::string(VELTRANE_TEST_DATA_DIR) + "/" + name;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

bool HaveTool(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

Bytes Capture(const std::string& command) {
    Bytes out;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::uint8_t chunk[65536];
    std::size_t got = 0;
    while (pipe && (got = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
        out.insert(out.end(), chunk, chunk + got);
    return out;
}

namespace {

// Feeds the payload to the engine's own header search, which rewrites in place.
struct HeaderPatcher final : container::PayloadEvents, HeaderSink {
    void VideoPayload(std::uint32_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t) override {
        search.Search(buffer, piece, size, *this, false);
    }
    void StreamBreak(std::uint32_t) override {
        Settle();
        search.Forget();
    }
    void Found(const FoundHeader& header) override {
        ++headers;
        FoundHeader read = header;
        read.mpeg1 = read.mpeg1 || mpeg1;
        *header.aspect = RewriteHeader(read, mode);
    }
    void Settle() {
        if (search.Waiting())
            search.Settle(buffer, *this);
    }
    ConversionMode mode = ConversionMode::To16x9;
    bool mpeg1 = false;
    WalkBuffer buffer;
    StreamSearch search;
    std::size_t headers = 0;
};

// A reader's answer as a number: "16:9", "1.778", or 0 when it said nothing readable.
double Aspect(const std::string& command, const char* after = "") {
    const Bytes out = Capture(command + " 2>/dev/null");
    const std::string text(out.begin(), out.end());
    const auto at = text.find(after);
    if (at == std::string::npos)
        return 0;
    double num = 0;
    double den = 0;
    const char* answer = text.c_str() + at + std::strlen(after);
    if (std::sscanf(answer, "%lf:%lf", &num, &den) == 2 && den > 0)
        return num / den;
    return std::atof(answer);
}

} // namespace

std::size_t ConvertAndJudge(Bytes& bytes, const std::function<void(container::PayloadEvents&)>& walk,
                            const std::vector<container::AspectSite>& sites, DeclaredAspect target,
                            const std::string& path, bool mpeg1, double tolerance) {
    HeaderPatcher patcher;
    patcher.mode = target == DeclaredAspect::Ratio16x9 ? ConversionMode::To16x9 : ConversionMode::To4x3;
    patcher.mpeg1 = mpeg1;
    patcher.buffer.data = bytes.data();
    walk(patcher);
    patcher.Settle();
    for (const container::AspectSite& site : sites)
        for (std::uint8_t i = 0; i < site.size; ++i) {
            EXPECT_EQ(bytes[site.offset + i], site.before[i]) << site.what;
            bytes[site.offset + i] = site.after[i];
        }
    WriteAll(path, bytes);

    const double want = target == DeclaredAspect::Ratio16x9 ? 16.0 / 9 : 4.0 / 3;
    const std::string file = " '" + path + "'";
    EXPECT_NEAR(Aspect("ffprobe -v error -select_streams v:0 -show_entries stream=display_aspect_ratio -of "
                       "csv=p=0" +
                       file),
                want, tolerance);
    EXPECT_NEAR(Aspect("mpv --no-config --vo=null --ao=null --frames=1 "
                       "--term-playing-msg='ASPECT=${video-params/aspect}'" +
                           file,
                       "ASPECT="),
                want, tolerance);
    EXPECT_NEAR(Aspect("mediainfo --Inform='Video;%DisplayAspectRatio%'" + file), want, tolerance);
    const Bytes original = Capture("mediainfo --Inform='Video;%DisplayAspectRatio_Original%'" + file);
    EXPECT_TRUE(original.empty() || original == Bytes{'\n'}) << std::string(original.begin(), original.end());
    return patcher.headers;
}

} // namespace veltrane::test
