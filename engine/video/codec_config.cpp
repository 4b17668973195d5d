// Walking avcC and hvcC records (ISO/IEC 14496-15) to the SPS NAL units they carry.
#include "video/codec_config.h"

namespace veltrane {

namespace {

ConfigSpsList Failure(std::string reason) {
    ConfigSpsList list;
    list.failure = std::move(reason);
    return list;
}

std::uint32_t U16(std::span<const std::uint8_t> record, std::size_t at) {
    return (std::uint32_t{record[at]} << 8) | record[at + 1];
}

} // namespace

ConfigSpsList FindSpsInAvcC(std::span<const std::uint8_t> record) {
    if (record.size() < 7)
        return Failure("the avcC record is cut short");
    if (record[0] != 1)
        return Failure("avcC version " + std::to_string(record[0]) + " is unknown");
    ConfigSpsList list;
    std::size_t at = 5;
    // numOfSequenceParameterSets, then (after them) numOfPictureParameterSets, whose NALs are walked
    // only to find that the record adds up.
    for (int array = 0; array < 2; ++array) {
        if (at >= record.size())
            return Failure("the avcC record is cut short");
        const unsigned count = array == 0 ? (record[at] & 0x1F) : record[at];
        ++at;
        for (unsigned i = 0; i < count; ++i) {
            if (at + 2 > record.size())
                return Failure("the avcC record is cut short");
            const std::uint32_t size = U16(record, at);
            at += 2;
            if (size == 0 || size > record.size() - at)
                return Failure("a parameter set of the avcC record runs past its end");
            if (array == 0 && (record[at] & 0x1F) == 7)
                list.sps.push_back({static_cast<std::uint32_t>(at), size});
            at += size;
        }
    }
    list.ok = true;
    return list;
}

ConfigSpsList FindSpsInHvcC(std::span<const std::uint8_t> record) {
    constexpr std::size_t ARRAYS_AT = 22; // numOfArrays, after the fixed fields
    if (record.size() < ARRAYS_AT + 1)
        return Failure("the hvcC record is cut short");
    if (record[0] != 1)
        return Failure("hvcC version " + std::to_string(record[0]) + " is unknown");
    ConfigSpsList list;
    std::size_t at = ARRAYS_AT + 1;
    for (unsigned array = 0; array < record[ARRAYS_AT]; ++array) {
        if (at + 3 > record.size())
            return Failure("the hvcC record is cut short");
        const unsigned type = record[at] & 0x3F;
        const std::uint32_t count = U16(record, at + 1);
        at += 3;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (at + 2 > record.size())
                return Failure("the hvcC record is cut short");
            const std::uint32_t size = U16(record, at);
            at += 2;
            if (size < 2 || size > record.size() - at)
                return Failure("a NAL unit of the hvcC record runs past its end");
            if (type == 33 && ((record[at] >> 1) & 0x3F) == 33)
                list.sps.push_back({static_cast<std::uint32_t>(at), size});
            at += size;
        }
    }
    list.ok = true;
    return list;
}

} // namespace veltrane
