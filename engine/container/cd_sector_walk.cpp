// The walk through raw CD sectors: the user data of the Form 2 sectors as one program stream.
#include "container/cd_sector.h"
#include "container/container_walk.h"

#include <algorithm>

namespace veltrane {

// Called with `from` on a sector's start (or before the first); walks every whole sector in the buffer
// and returns the start of the first one that is not.
std::uint32_t ContainerWalk::WalkSectors(std::uint8_t* data, std::uint32_t from, std::uint32_t size) {
    std::uint32_t at = from;
    if (m_base + at < m_sectorOrigin)
        at = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, m_sectorOrigin - m_base));
    while (size - at >= CD_SECTOR) {
        if (IsCdForm2(data + at)) {
            const std::uint32_t user = at + CD_FORM2_DATA;
            const std::uint32_t end = user + CD_FORM2_DATA_SIZE;
            const std::uint32_t walked = WalkProgram(data, user, end, false);
            if (walked < end) {
                // A pack or packet start cut by the sector's end: its bytes are searched as plain ones,
                // as anywhere the structure is lost, until the next pack header.
                Plain(data, walked, end);
                m_program.phase = Program::Phase::LostSync;
            }
        } else {
            BreakSectors();
        }
        at += CD_SECTOR;
    }
    return at;
}

std::uint32_t ContainerWalk::SectorStartAtOrBefore(std::uint32_t at) const {
    const std::uint64_t offset = m_base + at;
    if (offset <= m_sectorOrigin)
        return at;
    return at - static_cast<std::uint32_t>((offset - m_sectorOrigin) % CD_SECTOR);
}

// Sectors wholly before data[upTo] are handed back now and no aspect byte of theirs changes any more.
void ContainerWalk::SettleSectors(std::uint8_t* data, std::uint32_t upTo) {
    std::size_t settled = 0;
    for (const std::uint64_t sector : m_changedSectors) {
        if (sector + CD_SECTOR > m_base + upTo)
            break;
        if (RefreshCdForm2Edc(data + (sector - m_base)))
            m_sink.Rewrote(sector + CD_FORM2_EDC, 4);
        ++settled;
    }
    m_changedSectors.erase(m_changedSectors.begin(),
                           m_changedSectors.begin() + static_cast<std::ptrdiff_t>(settled));
}

std::optional<std::uint64_t> ContainerWalk::SectorHolding(std::uint64_t offset) const {
    if ((m_kind != ContainerKind::CdXaFile && m_kind != ContainerKind::CdImage) || offset < m_sectorOrigin)
        return std::nullopt;
    return offset - (offset - m_sectorOrigin) % CD_SECTOR;
}

void ContainerWalk::Forwarder::Found(const FoundHeader& header) {
    const std::uint8_t before = *header.aspect;
    m_sink.Found(header);
    if (*header.aspect == before)
        return;
    if (const std::optional<std::uint64_t> sector = m_walk.SectorHolding(header.aspectOffset)) {
        std::vector<std::uint64_t>& changed = m_walk.m_changedSectors;
        // Streams' headers may come out of file order; the list stays sorted.
        const auto place = std::lower_bound(changed.begin(), changed.end(), *sector);
        if (place == changed.end() || *place != *sector)
            changed.insert(place, *sector);
    }
}

} // namespace veltrane
