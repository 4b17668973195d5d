// The file types the engine reads, as the file dialogs of both programs offer them.
#pragma once

namespace veltrane::res {

// Program streams (MPEG-1 system streams among them), DVD and VCD files, transport streams,
// elementary streams, the containers MPEG video lives in today, and raw H.264/HEVC; the first is the
// destination's extension when the source's is none of these.
// clang-format off
inline constexpr const char* MPEG_EXTENSIONS[] = {"mpg", "mpeg", "m2p", "vob", "dat",  "ts",   "m2ts", "mts",
                                                  "m2t", "m1v",  "m2v", "mpv", "mkv",  "webm", "mp4",  "m4v",
                                                  "mov", "avi",  "264", "h264", "avc", "265",  "hevc"};
// clang-format on
inline constexpr const char* MPEG_FILTER_NAME = "MPEG Files";
inline constexpr const char* ALL_FILES_FILTER_NAME = "All Files (*.*)";
// The destination's suggested name, before its extension.
inline constexpr const char* DEST_BASE_NAME = "out";

} // namespace veltrane::res
