// Helpers of the MP4/MOV and AVI tests; see bmff_avi_media.h.
#include "container/bmff_avi_media.h"

#include "video/aspect_rule.h"
#include "video/stream_search.h"

#include <cstdio>
#include <cstdlib>
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

std::vector<Bytes> Walked::Segments() const {
    std::vector<Bytes> segments(1);
    std::size_t nextBreak = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        while (nextBreak < breakBefore.size() && breakBefore[nextBreak] == i) {
            if (!segments.back().empty())
                segments.emplace_back();
            ++nextBreak;
        }
        segments.back().insert(segments.back().end(), pieces[i].bytes.begin(), pieces[i].bytes.end());
    }
    return segments;
}

Bytes Walked::Joined(const std::vector<container::PayloadExtent>& extents, bool config) const {
    Bytes joined;
    for (const Piece& piece : pieces)
        for (const container::PayloadExtent& extent : extents)
            if (extent.config == config && piece.offset >= extent.offset &&
                piece.offset + piece.bytes.size() <= extent.offset + extent.size)
                joined.insert(joined.end(), piece.bytes.begin(), piece.bytes.end());
    return joined;
}

namespace {

// Feeds the payload to the engine's own header search, which rewrites in place.
class HeaderPatcher final : public container::PayloadEvents, public HeaderSink {
public:
    HeaderPatcher(Bytes& bytes, ConversionMode mode, bool mpeg1) : m_mode(mode), m_mpeg1(mpeg1) {
        m_buffer.data = bytes.data();
        m_buffer.base = 0;
    }
    void VideoPayload(std::uint32_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t) override {
        m_search.Search(m_buffer, piece, size, *this, false);
    }
    void StreamBreak(std::uint32_t) override {
        Settle();
        m_search.Forget();
    }
    void Found(const FoundHeader& header) override {
        ++m_headers;
        FoundHeader read = header;
        read.mpeg1 = read.mpeg1 || m_mpeg1;
        *header.aspect = RewriteHeader(read, m_mode);
    }
    void Settle() {
        if (m_search.Waiting())
            m_search.Settle(m_buffer, *this);
    }
    std::size_t Headers() const { return m_headers; }

private:
    ConversionMode m_mode;
    bool m_mpeg1;
    WalkBuffer m_buffer;
    StreamSearch m_search;
    std::size_t m_headers = 0;
};

std::string Run(const std::string& command) {
    const Bytes out = Capture(command);
    return std::string(out.begin(), out.end());
}

double ParseRatio(const std::string& text) {
    double num = 0;
    double den = 0;
    if (std::sscanf(text.c_str(), "%lf:%lf", &num, &den) == 2 && den > 0)
        return num / den;
    return std::atof(text.c_str());
}

} // namespace

Applied ApplyWithHeaders(Bytes& bytes, const std::function<void(container::PayloadEvents&)>& walk,
                         const std::vector<container::AspectSite>& sites, DeclaredAspect target, bool mpeg1) {
    HeaderPatcher patcher(
        bytes, target == DeclaredAspect::Ratio16x9 ? ConversionMode::To16x9 : ConversionMode::To4x3, mpeg1);
    walk(patcher);
    patcher.Settle();
    Applied applied;
    applied.headers = patcher.Headers();
    for (const container::AspectSite& site : sites) {
        if (!site.Changes())
            continue;
        ++applied.sites;
        for (std::uint8_t i = 0; i < site.size; ++i) {
            EXPECT_EQ(bytes[site.offset + i], site.before[i]) << site.what;
            bytes[site.offset + i] = site.after[i];
        }
    }
    return applied;
}

Readers AskReaders(const std::string& path) {
    Readers readers;
    const std::string quoted = "'" + path + "'";
    readers.ffprobe =
        ParseRatio(Run("ffprobe -v error -select_streams v:0 -show_entries stream=display_aspect_ratio "
                       "-of csv=p=0 " +
                       quoted + " 2>/dev/null"));
    const std::string mpv = Run("mpv --no-config --vo=null --ao=null --frames=1 "
                                "--term-playing-msg='ASPECT=${video-params/aspect}' " +
                                quoted + " 2>/dev/null");
    if (const auto at = mpv.find("ASPECT="); at != std::string::npos)
        readers.mpv = std::atof(mpv.c_str() + at + 7);
    std::string info =
        Run("mediainfo --Inform='Video;%DisplayAspectRatio%|%DisplayAspectRatio_Original%' " + quoted);
    while (!info.empty() && (info.back() == '\n' || info.back() == '\r'))
        info.pop_back();
    const auto bar = info.find('|');
    readers.mediainfo = std::atof(info.substr(0, bar).c_str());
    if (bar != std::string::npos)
        readers.mediainfoOriginal = info.substr(bar + 1);
    return readers;
}

} // namespace veltrane::test
