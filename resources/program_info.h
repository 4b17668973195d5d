// What `veltrane --help` and `veltrane --version` print, the same for both programs.
#pragma once

#include <string_view>

namespace veltrane::res {

// VELTRANE_VERSION comes from the build, as the project's version.
inline constexpr const char* PROGRAM_VERSION_TEXT = "veltrane " VELTRANE_VERSION "\n";
inline constexpr const char* PROGRAM_HELP_TEXT =
    "Usage: veltrane [FILE]\n"
    "Opens the Veltrane window, which switches the display aspect ratio that MPEG-1 and MPEG-2\n"
    "videos declare between 4:3 and 16:9 without re-encoding. FILE, when given, is opened as the\n"
    "source, whatever it looks like.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "veltrane-cli does the same from a shell, for many files at once.\n";

// The text that an argument asks to be printed instead of opening the window, or nullptr.
// Only these two exact words: every other argument, even one that begins with a dash, is a file.
inline const char* ProgramInfoFor(std::string_view argument) {
    if (argument == "--help")
        return PROGRAM_HELP_TEXT;
    if (argument == "--version")
        return PROGRAM_VERSION_TEXT;
    return nullptr;
}

} // namespace veltrane::res
