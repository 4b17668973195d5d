// Locating sequence header start codes in a run of bytes.
#include "sequence_header.h"

#include <cstring>

namespace veltrane {

bool FindSequenceHeader(const std::uint8_t*& cursor, std::uint32_t& remaining) {
    if (remaining < 4)
        return false;
    const std::uint8_t* const end = cursor + remaining;
    // A start code is known by its last byte, which is rare in compressed data: let memchr race to
    // each B3 and look back at the three bytes before it. B3 is searched from the fourth byte on, so
    // a match never starts before `cursor`, and, as with a four-byte window walked from the front,
    // none of the last three bytes is ever taken as the start of one.
    const std::uint8_t* from = cursor + 3;
    while (from < end) {
        const auto* b3 =
            static_cast<const std::uint8_t*>(std::memchr(from, 0xB3, static_cast<std::size_t>(end - from)));
        if (b3 == nullptr)
            return false;
        if (b3[-1] == 0x01 && b3[-2] == 0x00 && b3[-3] == 0x00) {
            cursor = b3 - 3;
            remaining = static_cast<std::uint32_t>(end - cursor);
            return true;
        }
        from = b3 + 1;
    }
    return false;
}

} // namespace veltrane
