// Walks an AVI file (RIFF, OpenDML AVIX included) buffer by buffer and hands over only its video
// streams' frames and the sequence header stored after their BITMAPINFOHEADER; vprp's frame aspect is
// the container's own aspect site.
#pragma once

#include "container/bmff_common.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::container {

// "RIFF" ???? "AVI " at the start of the file.
bool LooksLikeAvi(const std::uint8_t* data, std::uint32_t size);

// A video stream as its strh / strf describe it.
struct AviVideo {
    std::uint32_t stream = 0; // its number, as the NNdc chunk ids name it
    TrackCodec codec = TrackCodec::Other;
    Mpeg12Version version = Mpeg12Version::Unknown;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool vprp = false; // it has a frame aspect of its own; without one the stream governs
};

class AviWalk {
public:
    explicit AviWalk(DeclaredAspect target) : m_target(target) {}

    // data[0..size) lies at file offset `base`; walking starts at `from`. Returns how far it got: the
    // bytes from there on (a chunk header, or a header chunk wanted whole, cut by the buffer's edge; never
    // more than 64 KiB) must come again at the front of the next call. `last`: nothing follows.
    std::uint32_t Walk(std::uint8_t* data, std::uint32_t from, std::uint32_t size, std::uint64_t base,
                       bool last, PayloadEvents& events);

    bool Refused() const { return !m_refusal.empty(); }
    // The text the user reads; empty while the walk goes on.
    const std::string& Refusal() const { return m_refusal; }
    // The file ended inside a chunk (a recording cut short): what came before was handed over.
    bool Cut() const { return m_cut; }
    const std::vector<AviVideo>& Videos() const { return m_videos; }
    const std::vector<AspectSite>& Sites() const { return m_sites; }

private:
    static constexpr std::uint32_t HOLD_LIMIT = 65536; // the largest header chunk read whole
    static constexpr std::size_t MAX_DEPTH = 6;

    struct Level {
        std::uint64_t end = 0;
        std::uint32_t type = 0; // the list's form: hdrl, strl, movi, rec
    };

    std::uint32_t Damaged(const char* what, std::uint32_t size);
    void HeaderChunk(std::uint32_t id, std::uint8_t* body, std::uint32_t bodySize, std::uint64_t bodyOffset,
                     PayloadEvents& events);
    const AviVideo* VideoOf(std::uint32_t id) const;
    bool InList(std::uint32_t type) const { return !m_levels.empty() && m_levels.back().type == type; }

    DeclaredAspect m_target;
    std::vector<Level> m_levels;
    std::uint64_t m_skip = 0;    // bytes of a chunk passed over unread
    std::uint64_t m_payload = 0; // bytes of a video chunk still to hand over
    std::uint32_t m_payloadStream = 0;
    bool m_payloadPad = false; // an odd-sized video chunk: one pad byte follows
    bool m_started = false;    // the first RIFF was met
    bool m_done = false;       // past the last RIFF: nothing more is read
    bool m_cut = false;
    bool m_afterConfig = false; // a configuration record was the last thing handed over
    std::int32_t m_stream = -1; // the strl being read
    bool m_streamIsVideo = false;
    std::vector<AviVideo> m_videos;
    std::vector<AspectSite> m_sites;
    std::string m_refusal;
};

} // namespace veltrane::container
