// Where the SPSs lie in an H.264 or HEVC decoder configuration record (avcC, hvcC).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veltrane {

// One NAL unit inside a record: its first byte (the NAL header) and its length.
struct NalSpan {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    friend bool operator==(const NalSpan&, const NalSpan&) = default;
};

struct ConfigSpsList {
    bool ok = false;
    std::vector<NalSpan> sps;
    std::string failure;
};

// `record` is the decoder configuration record itself: Matroska's CodecPrivate, or the payload of an
// MP4 avcC or hvcC box after its eight-byte header. Every length is checked against the record; a
// record that does not add up is refused with the reason, as its copies could not be patched safely.
ConfigSpsList FindSpsInAvcC(std::span<const std::uint8_t> record);
ConfigSpsList FindSpsInHvcC(std::span<const std::uint8_t> record);

} // namespace veltrane
