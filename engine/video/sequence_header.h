// What the program knows of MPEG video: where a sequence header starts and where its aspect code sits.
#pragma once

#include "video/conversion_mode.h"

#include <cstdint>
#include <span>

namespace veltrane {

// Byte offset of aspect_ratio_information (upper nibble) and frame_rate_code (lower nibble),
// counted from the first byte of the 00 00 01 B3 start code.
inline constexpr std::uint32_t ASPECT_BYTE_OFFSET = 7;
// A header is usable only once its aspect byte is in the data at hand.
inline constexpr std::uint32_t USABLE_HEADER_SIZE = ASPECT_BYTE_OFFSET + 1;

enum class DeclaredAspect { Ratio4x3, Ratio16x9, Unknown };

// Finds the first 00 00 01 B3 that lies wholly inside [cursor, cursor + remaining).
// On success moves cursor to its first byte, sets remaining to the bytes left from there, returns true.
// On failure leaves both untouched. The last three bytes are never taken as the start of a start code,
// which is what lets a streaming caller hold exactly those back for the next buffer-full.
bool FindSequenceHeader(const std::uint8_t*& cursor, std::uint32_t& remaining);

namespace detail {
// One implementation of FindSequenceHeader, each with exactly the same results.
struct SearchVariant {
    const char* name;
    bool (*find)(const std::uint8_t*& cursor, std::uint32_t& remaining);
};
// The implementations this processor can run, the one FindSequenceHeader uses first; for the tests
// that hold them all to the same results, and for the benchmark that keeps them honest.
std::span<const SearchVariant> RunnableSearches();
} // namespace detail

constexpr std::uint8_t RewriteAspectByte(std::uint8_t b, ConversionMode mode) {
    const std::uint8_t from = mode == ConversionMode::To16x9 ? 0x20 : 0x30;
    const std::uint8_t to = mode == ConversionMode::To16x9 ? 0x30 : 0x20;
    return (b & 0xF0) == from ? static_cast<std::uint8_t>((b & 0x0F) | to) : b;
}

constexpr DeclaredAspect ClassifyAspectByte(std::uint8_t b) {
    switch (b & 0xF0) {
    case 0x20:
        return DeclaredAspect::Ratio4x3;
    case 0x30:
        return DeclaredAspect::Ratio16x9;
    default:
        return DeclaredAspect::Unknown;
    }
}

} // namespace veltrane
