// The CD sector functions on any bytes: the layout found stays inside the input, and a refreshed EDC
// changes nothing but the EDC and holds on a second look.
#include "container/cd_sector.h"
#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace veltrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact copy, so that a read past the input's end is one past a heap block of its size.
    std::vector<std::uint8_t> bytes(data, data + size);
    std::uint32_t origin = 0;
    const CdLayout layout = FindCdSectors(bytes.data(), static_cast<std::uint32_t>(bytes.size()), origin);
    if (layout != CdLayout::None && origin + 12 > size)
        fuzz::Finding("sectors that begin past the input", origin);
    // Every whole sector from where the layout says, or from the start.
    for (std::size_t at = origin; at + CD_SECTOR <= size; at += CD_SECTOR) {
        std::uint8_t* sector = bytes.data() + at;
        if (!IsCdSync(sector) || !IsCdForm2(sector))
            continue;
        std::uint8_t before[CD_SECTOR];
        std::memcpy(before, sector, CD_SECTOR);
        const bool changed = RefreshCdForm2Edc(sector);
        for (std::uint32_t i = 0; i < CD_FORM2_EDC; ++i)
            if (sector[i] != before[i])
                fuzz::Finding("a refreshed EDC changed a byte before the field", at + i);
        if (changed != (std::memcmp(sector, before, CD_SECTOR) != 0))
            fuzz::Finding("a refresh says wrongly whether it changed the field", at);
        if (RefreshCdForm2Edc(sector))
            fuzz::Finding("a second refresh changed the field again", at);
    }
    return 0;
}
