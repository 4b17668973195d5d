// The Matroska element ids this program reads, as Matroska's tables write them (length marker kept).
#pragma once

#include <cstdint>

namespace veltrane::mkv {

inline constexpr std::uint32_t EBML_HEADER = 0x1A45DFA3;
inline constexpr std::uint32_t DOC_TYPE = 0x4282;
inline constexpr std::uint32_t SEGMENT = 0x18538067;

// The Segment's own children: one of them begins where a Cluster of unknown size ends.
inline constexpr std::uint32_t SEEK_HEAD = 0x114D9B74;
inline constexpr std::uint32_t INFO = 0x1549A966;
inline constexpr std::uint32_t TRACKS = 0x1654AE6B;
inline constexpr std::uint32_t CLUSTER = 0x1F43B675;
inline constexpr std::uint32_t CUES = 0x1C53BB6B;
inline constexpr std::uint32_t TAGS = 0x1254C367;
inline constexpr std::uint32_t ATTACHMENTS = 0x1941A469;
inline constexpr std::uint32_t CHAPTERS = 0x1043A770;

inline constexpr std::uint32_t SEEK = 0x4DBB;
inline constexpr std::uint32_t SEEK_ID = 0x53AB;
inline constexpr std::uint32_t SEEK_POSITION = 0x53AC;

inline constexpr std::uint32_t SIMPLE_BLOCK = 0xA3;
inline constexpr std::uint32_t BLOCK_GROUP = 0xA0;
inline constexpr std::uint32_t BLOCK = 0xA1;

inline constexpr std::uint32_t TRACK_ENTRY = 0xAE;
inline constexpr std::uint32_t TRACK_NUMBER = 0xD7;
inline constexpr std::uint32_t TRACK_TYPE = 0x83;
inline constexpr std::uint32_t CODEC_ID = 0x86;
inline constexpr std::uint32_t CODEC_PRIVATE = 0x63A2;
inline constexpr std::uint32_t VIDEO = 0xE0;
inline constexpr std::uint32_t PIXEL_WIDTH = 0xB0;
inline constexpr std::uint32_t PIXEL_HEIGHT = 0xBA;
inline constexpr std::uint32_t PIXEL_CROP_BOTTOM = 0x54AA;
inline constexpr std::uint32_t PIXEL_CROP_TOP = 0x54BB;
inline constexpr std::uint32_t PIXEL_CROP_LEFT = 0x54CC;
inline constexpr std::uint32_t PIXEL_CROP_RIGHT = 0x54DD;
inline constexpr std::uint32_t DISPLAY_WIDTH = 0x54B0;
inline constexpr std::uint32_t DISPLAY_HEIGHT = 0x54BA;
inline constexpr std::uint32_t DISPLAY_UNIT = 0x54B2;

inline constexpr std::uint32_t CONTENT_ENCODINGS = 0x6D80;
inline constexpr std::uint32_t CONTENT_ENCODING = 0x6240;
inline constexpr std::uint32_t CONTENT_ENCODING_SCOPE = 0x5032;
inline constexpr std::uint32_t CONTENT_ENCODING_TYPE = 0x5033;
inline constexpr std::uint32_t CONTENT_COMPRESSION = 0x5034;
inline constexpr std::uint32_t CONTENT_COMP_ALGO = 0x4254;
inline constexpr std::uint32_t CONTENT_COMP_SETTINGS = 0x4255;
inline constexpr std::uint32_t CONTENT_ENCRYPTION = 0x5035;

inline constexpr bool IsSegmentChild(std::uint32_t id) {
    return id == SEEK_HEAD || id == INFO || id == TRACKS || id == CLUSTER || id == CUES || id == TAGS ||
           id == ATTACHMENTS || id == CHAPTERS;
}

} // namespace veltrane::mkv
