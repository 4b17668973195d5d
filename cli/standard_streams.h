// What veltrane-cli needs to know of its standard input and output when they carry video.
#pragma once

#include <string>

namespace veltrane::cli {

bool StdinIsTerminal();
bool StdoutIsTerminal();

// Whether `path` names what standard output already is: /dev/stdout, /dev/fd/1, or the very file or
// pipe it goes to. Written by name, such a destination would get the reports mixed into the video.
bool IsStandardOutput(const std::string& path);

// Whether the reader of standard output has gone: a pipe or socket nobody reads any more.
bool StdoutReaderGone();

// The C runtime's standard input and output in binary mode (Windows; nothing elsewhere), so that no
// byte of a video is ever translated.
void UseBinaryStandardStreams();

} // namespace veltrane::cli
