// EBML ids, sizes, values and CRC-32, read only inside the bytes a caller has.
#include "container/ebml.h"

#include <array>

namespace veltrane::ebml {
namespace {

constexpr std::uint32_t CRC_POLY = 0xEDB88320; // IEEE 802.3, bits reversed

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? (c >> 1) ^ CRC_POLY : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> CRC_TABLE = MakeCrcTable();

// a(x) * b(x) modulo the CRC polynomial, both in the reflected order the register keeps.
constexpr std::uint32_t MultiplyModPoly(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if ((a & m) != 0) {
            product ^= b;
            if ((a & (m - 1)) == 0)
                break;
        }
        b = (b & 1) != 0 ? (b >> 1) ^ CRC_POLY : b >> 1;
    }
    return product;
}

// x^(2^n) modulo the polynomial for n = 0..63: any power is a product of at most 64 of them.
constexpr std::array<std::uint32_t, 64> MakePowers() {
    std::array<std::uint32_t, 64> powers{};
    std::uint32_t p = 1u << 30; // x^1
    for (auto& power : powers) {
        power = p;
        p = MultiplyModPoly(p, p);
    }
    return powers;
}
constexpr std::array<std::uint32_t, 64> POWERS = MakePowers();

} // namespace

ReadResult ReadVint(const std::uint8_t* p, std::uint64_t available, std::uint32_t maxLength,
                    std::uint64_t& value, std::uint8_t& length) {
    if (available == 0)
        return ReadResult::NeedMore;
    const std::uint8_t first = p[0];
    if (first == 0)
        return ReadResult::Invalid;
    std::uint32_t n = 1;
    while ((first & (0x80u >> (n - 1))) == 0)
        ++n;
    if (n > maxLength)
        return ReadResult::Invalid;
    if (available < n)
        return ReadResult::NeedMore;
    std::uint64_t v = first & (0xFFu >> n);
    for (std::uint32_t i = 1; i < n; ++i)
        v = (v << 8) | p[i];
    value = v;
    length = static_cast<std::uint8_t>(n);
    return ReadResult::Ok;
}

ReadResult ReadElementHeader(const std::uint8_t* p, std::uint64_t available, ElementHeader& header) {
    std::uint64_t idValue = 0;
    std::uint8_t idLength = 0;
    ReadResult result = ReadVint(p, available, MAX_ID_LENGTH, idValue, idLength);
    if (result != ReadResult::Ok)
        return result;
    const std::uint64_t allOnes = (std::uint64_t{1} << (7 * idLength)) - 1;
    if (idValue == 0 || idValue == allOnes)
        return ReadResult::Invalid;
    std::uint64_t size = 0;
    std::uint8_t sizeLength = 0;
    result = ReadVint(p + idLength, available - idLength, MAX_SIZE_LENGTH, size, sizeLength);
    if (result != ReadResult::Ok)
        return result;
    std::uint32_t id = 0;
    for (std::uint32_t i = 0; i < idLength; ++i)
        id = (id << 8) | p[i];
    header.id = id;
    header.size = size == (std::uint64_t{1} << (7 * sizeLength)) - 1 ? UNKNOWN_SIZE : size;
    header.idLength = idLength;
    header.sizeLength = sizeLength;
    return ReadResult::Ok;
}

bool ReadUnsigned(const std::uint8_t* p, std::uint64_t size, std::uint64_t& value) {
    if (size > 8)
        return false;
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < size; ++i)
        v = (v << 8) | p[i];
    value = v;
    return true;
}

bool WriteUnsigned(std::uint64_t value, std::uint8_t* p, std::uint32_t size) {
    if (size > 8 || (size < 8 && (value >> (8 * size)) != 0))
        return false;
    for (std::uint32_t i = size; i > 0; --i) {
        p[i - 1] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
    return true;
}

std::uint32_t Crc32Linear(const std::uint8_t* p, std::uint64_t size, std::uint32_t reg) {
    for (std::uint64_t i = 0; i < size; ++i)
        reg = CRC_TABLE[(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
    return reg;
}

std::uint32_t Crc32(const std::uint8_t* p, std::uint64_t size) {
    return Crc32Linear(p, size, 0xFFFFFFFF) ^ 0xFFFFFFFF;
}

std::uint32_t Crc32ShiftZeros(std::uint32_t reg, std::uint64_t count) {
    // count zero bytes multiply the register by x^(8 count); 8 = 2^3, hence the powers from the third.
    for (std::uint32_t k = 3; count != 0 && k < POWERS.size(); ++k, count >>= 1)
        if ((count & 1) != 0)
            reg = MultiplyModPoly(POWERS[k], reg);
    return reg;
}

} // namespace veltrane::ebml
