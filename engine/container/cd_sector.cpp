// Raw CD sectors: the sync pattern, the subheader's form bit, the EDC, the RIFF "CDXA" wrapper.
#include "container/cd_sector.h"

#include <array>
#include <cstring>

namespace veltrane {

namespace {

constexpr std::uint8_t SYNC[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr std::uint8_t SUBMODE_FORM2 = 0x20;
// A raw image is told by sectors in a row, not by one pattern that any file could hold.
constexpr std::uint32_t SYNCED_SECTORS = 3;

// The EDC is a CRC-32 over the polynomial x^32 + x^31 + x^16 + x^15 + x^4 + x^3 + x + 1, least
// significant bit first.
constexpr std::array<std::uint32_t, 256> EdcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t edc = i;
        for (int bit = 0; bit < 8; ++bit)
            edc = (edc >> 1) ^ ((edc & 1) != 0 ? 0xD8018001u : 0u);
        table[i] = edc;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> EDC_TABLE = EdcTable();

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

} // namespace

bool IsCdSync(const std::uint8_t* p) {
    return std::memcmp(p, SYNC, sizeof SYNC) == 0;
}

bool IsCdForm2(const std::uint8_t* sector) {
    // Byte 15 is the mode; the subheader's submode is written twice, and both copies must agree.
    return IsCdSync(sector) && sector[15] == 2 && sector[18] == sector[22] &&
           (sector[18] & SUBMODE_FORM2) != 0;
}

std::uint32_t CdForm2Edc(const std::uint8_t* sector) {
    std::uint32_t edc = 0;
    for (std::uint32_t i = 16; i < CD_FORM2_EDC; ++i)
        edc = (edc >> 8) ^ EDC_TABLE[(edc ^ sector[i]) & 0xFF];
    return edc;
}

bool RefreshCdForm2Edc(std::uint8_t* sector) {
    std::uint8_t* const field = sector + CD_FORM2_EDC;
    const std::uint32_t stored = Le32(field);
    if (stored == 0)
        return false;
    const std::uint32_t edc = CdForm2Edc(sector);
    if (edc == stored)
        return false;
    for (int i = 0; i < 4; ++i)
        field[i] = static_cast<std::uint8_t>(edc >> (8 * i));
    return true;
}

CdLayout FindCdSectors(const std::uint8_t* data, std::uint32_t size, std::uint32_t& origin) {
    if (size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "CDXA", 4) == 0) {
        // Chunks follow the form type; the sectors are the "data" chunk's body.
        std::uint64_t at = 12;
        while (at + 8 <= size) {
            if (std::memcmp(data + at, "data", 4) == 0) {
                if (at + 8 + 12 > size || !IsCdSync(data + at + 8))
                    break;
                origin = static_cast<std::uint32_t>(at + 8);
                return CdLayout::RiffCdxa;
            }
            const std::uint32_t length = Le32(data + at + 4);
            at += 8 + static_cast<std::uint64_t>(length) + (length & 1);
        }
        return CdLayout::None;
    }
    std::uint32_t synced = 0;
    for (std::uint32_t at = 0; at + 12 <= size && synced < SYNCED_SECTORS; at += CD_SECTOR, ++synced) {
        if (!IsCdSync(data + at))
            return CdLayout::None;
    }
    // A file of fewer sectors is an image when every one it holds starts right.
    if (size < CD_SECTOR)
        return CdLayout::None;
    origin = 0;
    return CdLayout::RawImage;
}

} // namespace veltrane
