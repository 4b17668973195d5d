// What every fuzz target shares: a scratch folder in memory, where the engine's file entry points read
// and write the input as a file of its own.
#pragma once

#include "video/conversion_mode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::fuzz {

// A file named `name` in the process's scratch folder (on /dev/shm where there is one, so that the
// syncs a committed copy makes cost nothing), holding `size` bytes of `data`. Returns its path.
std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size);
// The whole file, or nothing when it cannot be read.
std::vector<std::uint8_t> ReadScratch(const std::string& path);
// Scans `size` bytes of `data` as a file, copies it and fixes it in place, all to `mode`: the copy
// differs from the input only at the patches the scan reports (aspect bytes and SPS bytes, a
// container's own fields, and the fix-ups that follow: a CD sector's EDC, a Matroska CRC-32), and the
// file fixed in place is that copy. A file the scan refuses is left there.
void CheckWholeRun(const std::uint8_t* data, std::size_t size, ConversionMode mode);
// Stops the process with a message libFuzzer reports as a finding, with the input that caused it.
[[noreturn]] void Finding(const char* what, std::uint64_t at = 0);

} // namespace veltrane::fuzz
