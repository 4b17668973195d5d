// Emulation prevention: taking it out of a NAL unit to parse it, putting it back to write it.
#include "video/nal_rbsp.h"

#include <algorithm>

namespace veltrane {

Rbsp ExtractRbsp(std::span<const std::uint8_t> nal, std::size_t headerSize) {
    Rbsp rbsp;
    if (nal.size() <= headerSize)
        return rbsp;
    rbsp.bytes.reserve(nal.size() - headerSize);
    rbsp.nalIndex.reserve(nal.size() - headerSize);
    unsigned zeros = 0;
    for (std::size_t i = headerSize; i < nal.size(); ++i) {
        if (zeros >= 2 && nal[i] == 0x03) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        rbsp.bytes.push_back(nal[i]);
        rbsp.nalIndex.push_back(static_cast<std::uint32_t>(i));
    }
    return rbsp;
}

std::vector<std::uint8_t> AddEmulationPrevention(std::span<const std::uint8_t> header,
                                                 std::span<const std::uint8_t> rbsp) {
    std::vector<std::uint8_t> nal(header.begin(), header.end());
    nal.reserve(header.size() + rbsp.size() + rbsp.size() / 2 + 1);
    unsigned zeros = 0;
    for (const std::uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 0x03) {
            nal.push_back(0x03);
            zeros = 0;
        }
        nal.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    if (zeros >= 2)
        nal.push_back(0x03);
    return nal;
}

bool BreaksEmulationPrevention(std::span<const std::uint8_t> nal, std::size_t headerSize, std::size_t from,
                               std::size_t to) {
    from = std::max(from, headerSize);
    to = std::min(to, nal.size());
    for (std::size_t i = from; i + 2 < to; ++i) {
        if (nal[i] != 0 || nal[i + 1] != 0)
            continue;
        if (nal[i + 2] <= 0x02)
            return true;
        if (nal[i + 2] == 0x03 && i + 3 < nal.size() && nal[i + 3] > 0x03)
            return true;
    }
    return false;
}

void PutBits(std::vector<std::uint8_t>& bytes, std::size_t bitOffset, unsigned count, std::uint32_t value) {
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t at = bitOffset + i;
        if (at / 8 >= bytes.size())
            return;
        const auto mask = static_cast<std::uint8_t>(0x80u >> (at % 8));
        if ((value >> (count - 1 - i)) & 1u)
            bytes[at / 8] |= mask;
        else
            bytes[at / 8] = static_cast<std::uint8_t>(bytes[at / 8] & ~mask);
    }
}

} // namespace veltrane
