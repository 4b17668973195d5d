// What a transport stream's program association and program map sections say: which PIDs carry
// program maps, and the video codec each map names for a stream.
#pragma once

#include "video/video_codec.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>

namespace veltrane {

inline constexpr std::uint32_t TS_PID_COUNT = 8192;
inline constexpr std::uint32_t TS_PAT_PID = 0;

// The video codec a program map (transport) or stream map (program stream) names for a stream type;
// nothing for a type that names no video codec this engine knows, whose streams are told by their PES
// stream id as when no table is found.
std::optional<VideoCodec> CodecOfStreamType(std::uint8_t type);
// The CRC that closes every PSI section and a program stream map (MPEG-2's, not reflected): zero over
// a whole section whose own CRC is right. A damaged table is not believed.
std::uint32_t SectionCrc(const std::uint8_t* data, std::uint32_t size);

class PsiTables {
public:
    // Reads the section that starts in a packet's payload (pointer field first) on `pid`. A section
    // must start and end in that payload with its CRC right; anything else is passed over. Each
    // stream a map names a known video codec for is told to `learned`.
    void Read(std::uint32_t pid, const std::uint8_t* payload, std::uint32_t size,
              const std::function<void(std::uint32_t stream, VideoCodec codec)>& learned);
    // A PID already met as a stream: a map named on it later is not believed.
    void SeenAsStream(std::uint32_t pid) { m_streamPids.set(pid); }

    bool IsMap(std::uint32_t pid) const { return m_mapPids[pid]; }
    std::optional<VideoCodec> CodecOf(std::uint32_t pid) const { return m_codec[pid]; }
    // A map has named H.264 or HEVC video.
    bool NamesSpsCodec() const { return m_namesSpsCodec; }

private:
    std::bitset<TS_PID_COUNT> m_mapPids;
    std::bitset<TS_PID_COUNT> m_streamPids;
    std::array<std::optional<VideoCodec>, TS_PID_COUNT> m_codec{};
    bool m_namesSpsCodec = false;
};

} // namespace veltrane
