// The walk through raw CD sectors: the user data of the Form 2 sectors as one program stream.
#include "container/cd_sector.h"
#include "container/container_format.h"
#include "container/program_stream.h"

#include <algorithm>

namespace veltrane {

namespace {

// A RIFF "CDXA" file (a video CD's .DAT) or a raw image of 2,352-byte sectors (.bin). No byte of a
// sector's sync, header, subheader or EDC is handed over, and a sector is only ever handed back whole:
// every change in it finds the whole sector in the buffer, to give it the EDC its new bytes call for.
class CdSectorFormat final : public ContainerFormat {
public:
    CdSectorFormat(ContainerKind kind, std::uint64_t origin) : m_kind(kind), m_origin(origin) {}

    ContainerKind Kind() const override { return m_kind; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                       bool last) override;
    void ForEachStream(const std::function<void(CodecScanner&)>& f) override { m_program.ForEachStream(f); }

    void Patched(WalkCore& core, const Patch& patch, EditSink& sink) override;
    std::uint32_t HoldBoundary(WalkCore& core, std::uint32_t hold) const override;
    std::optional<std::uint64_t> FixUpUnit(std::uint64_t offset) const override {
        if (offset < m_origin)
            return std::nullopt;
        return offset - (offset - m_origin) % CD_SECTOR;
    }

private:
    ContainerKind m_kind;
    std::uint64_t m_origin; // file offset of the first sector
    ProgramStreamWalk m_program;
};

// Called with `from` on a sector's start (or before the first); walks every whole sector in the buffer
// and stops at the start of the first one that is not.
std::uint32_t CdSectorFormat::Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                                   bool last) {
    core.Buffer().codes.Reset(data + from, size - from);
    const std::uint64_t base = core.Base();
    std::uint32_t at = from;
    if (base + at < m_origin)
        at = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, m_origin - base));
    while (size - at >= CD_SECTOR) {
        if (IsCdForm2(data + at)) {
            const std::uint32_t user = at + CD_FORM2_DATA;
            const std::uint32_t end = user + CD_FORM2_DATA_SIZE;
            const std::uint32_t walked = m_program.Walk(core, data, user, end, false);
            if (walked < end) {
                // A pack or packet start cut by the sector's end: its bytes are searched as plain ones,
                // as anywhere the structure is lost, until the next pack header.
                core.Plain(data, walked, end);
                m_program.LoseSync();
            }
        } else {
            // The stream breaks at a sector that is not part of it.
            m_program.Break();
            core.ForgetPlain();
        }
        at += CD_SECTOR;
    }
    // The stump of a sector at the end of the file is no part of the stream.
    return last ? size : at;
}

void CdSectorFormat::Patched(WalkCore& core, const Patch& patch, EditSink& sink) {
    const std::optional<std::uint64_t> sector = FixUpUnit(patch.offset);
    if (!sector)
        return;
    std::uint8_t* const bytes = core.Buffer().data + (*sector - core.Base());
    Patch edc;
    edc.offset = *sector + CD_FORM2_EDC;
    edc.size = 4;
    std::copy_n(bytes + CD_FORM2_EDC, 4, edc.before.begin());
    // A zero EDC, meaning none, stays zero.
    if (!RefreshCdForm2Edc(bytes))
        return;
    std::copy_n(bytes + CD_FORM2_EDC, 4, edc.after.begin());
    sink.FixedUp(edc);
}

std::uint32_t CdSectorFormat::HoldBoundary(WalkCore& core, std::uint32_t hold) const {
    const std::uint64_t offset = core.Base() + hold;
    if (offset <= m_origin)
        return hold;
    return hold - static_cast<std::uint32_t>((offset - m_origin) % CD_SECTOR);
}

template <ContainerKind KIND, CdLayout LAYOUT>
std::unique_ptr<ContainerFormat> RecogniseCd(const std::uint8_t* data, std::uint32_t size) {
    std::uint32_t origin = 0;
    if (FindCdSectors(data, size, origin) != LAYOUT)
        return nullptr;
    return std::make_unique<CdSectorFormat>(KIND, origin);
}

} // namespace

std::unique_ptr<ContainerFormat> RecogniseCdXaFile(const std::uint8_t* data, std::uint32_t size) {
    return RecogniseCd<ContainerKind::CdXaFile, CdLayout::RiffCdxa>(data, size);
}

std::unique_ptr<ContainerFormat> RecogniseCdImage(const std::uint8_t* data, std::uint32_t size) {
    return RecogniseCd<ContainerKind::CdImage, CdLayout::RawImage>(data, size);
}

} // namespace veltrane
