// A NAL unit's payload without its emulation prevention bytes, and the way back to the NAL's own bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace veltrane {

// The payload of a NAL unit as its syntax is written (the RBSP), with, for each of its bytes, the index
// of the NAL byte it came from: the way an edit found by parsing finds its place in the stream.
struct Rbsp {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> nalIndex; // same length as bytes
};

// Removes every emulation prevention byte (the 03 of 00 00 03) from nal[headerSize..], as a decoder
// does. The NAL header itself is not part of the RBSP.
Rbsp ExtractRbsp(std::span<const std::uint8_t> nal, std::size_t headerSize);

// The NAL bytes an encoder writes for `header` and `rbsp`: an 03 after every 00 00 that is followed by
// 00, 01, 02 or 03, and after a final 00 00.
std::vector<std::uint8_t> AddEmulationPrevention(std::span<const std::uint8_t> header,
                                                 std::span<const std::uint8_t> rbsp);

// Whether `nal`, read from headerSize on, breaks a rule of emulation prevention within
// [from, to): a 00 00 00, 00 00 01 or 00 00 02, or an 00 00 03 followed by a byte above 03.
bool BreaksEmulationPrevention(std::span<const std::uint8_t> nal, std::size_t headerSize, std::size_t from,
                               std::size_t to);

// Sets `count` bits at RBSP bit `bitOffset` to the low bits of `value`, most significant first.
void PutBits(std::vector<std::uint8_t>& bytes, std::size_t bitOffset, unsigned count, std::uint32_t value);

} // namespace veltrane
