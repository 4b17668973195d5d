// What every fuzz target shares: a scratch folder in memory, where the engine's file entry points read
// and write the input as a file of its own.
#pragma once

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
// Stops the process with a message libFuzzer reports as a finding, with the input that caused it.
[[noreturn]] void Finding(const char* what, std::uint64_t at = 0);

} // namespace veltrane::fuzz
