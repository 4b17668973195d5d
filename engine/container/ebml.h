// The pieces of EBML (the binary layout Matroska and WebM are written in): element ids, sizes, unsigned
// values and the CRC-32 a master element may carry, every read bounded by the bytes at hand.
#pragma once

#include <cstdint>

namespace veltrane::ebml {

// A size field of all ones: the element runs until something that cannot be its child begins.
inline constexpr std::uint64_t UNKNOWN_SIZE = ~std::uint64_t{0};
// The longest id and size fields Matroska allows.
inline constexpr std::uint32_t MAX_ID_LENGTH = 4;
inline constexpr std::uint32_t MAX_SIZE_LENGTH = 8;
inline constexpr std::uint32_t MAX_HEADER_LENGTH = MAX_ID_LENGTH + MAX_SIZE_LENGTH;

inline constexpr std::uint32_t ID_CRC32 = 0xBF;
inline constexpr std::uint32_t ID_VOID = 0xEC;

enum class ReadResult : std::uint8_t { Ok, NeedMore, Invalid };

struct ElementHeader {
    std::uint32_t id = 0;   // with its length marker, as Matroska's tables write ids
    std::uint64_t size = 0; // of the data; UNKNOWN_SIZE when the field says so
    std::uint8_t idLength = 0;
    std::uint8_t sizeLength = 0;

    std::uint32_t Length() const { return static_cast<std::uint32_t>(idLength) + sizeLength; }
    bool SizeKnown() const { return size != UNKNOWN_SIZE; }
};

// A variable-length integer of at most `maxLength` bytes from `available` bytes at p: its length and
// its value with the marker bit removed. NeedMore when the bytes end inside it; Invalid for a first
// byte of zero or a length above the limit.
ReadResult ReadVint(const std::uint8_t* p, std::uint64_t available, std::uint32_t maxLength,
                    std::uint64_t& value, std::uint8_t& length);
// An element's id and size. A size of all ones (of any length) is UNKNOWN_SIZE. An id of all ones
// or all zeros after the marker is reserved and Invalid.
ReadResult ReadElementHeader(const std::uint8_t* p, std::uint64_t available, ElementHeader& header);
// An unsigned integer element's data: 0 to 8 big-endian bytes. False for a longer one.
bool ReadUnsigned(const std::uint8_t* p, std::uint64_t size, std::uint64_t& value);
// Writes `value` big-endian into exactly `size` bytes, leading zeros included. False when it does not fit.
bool WriteUnsigned(std::uint64_t value, std::uint8_t* p, std::uint32_t size);

// The CRC-32 Matroska stores (IEEE 802.3, reflected, inverted before and after), of `size` bytes.
std::uint32_t Crc32(const std::uint8_t* p, std::uint64_t size);
// The same CRC register without the inversions (starting from zero): the part of a CRC that is
// linear in the bytes, so that a change of some bytes changes the CRC by the register of the change.
std::uint32_t Crc32Linear(const std::uint8_t* p, std::uint64_t size, std::uint32_t reg = 0);
// The register `reg` after `count` zero bytes more, in time logarithmic in the count: how far a
// change's contribution travels to the end of the bytes the CRC covers.
std::uint32_t Crc32ShiftZeros(std::uint32_t reg, std::uint64_t count);

} // namespace veltrane::ebml
