// A file no format takes: plain bytes, until a transport or program stream begins behind leading bytes.
#include "container/container_format.h"
#include "container/program_stream.h"
#include "container/transport_stream.h"
#include "video/sequence_header.h"

#include <algorithm>
#include <cstring>

namespace veltrane {

namespace {

// What a stream found behind leading bytes may need past its start to be told: five packets' syncs.
constexpr std::uint32_t LATE_MARGIN = (TS_DETECT_PACKETS - 1) * 192 + 8;

// Where a transport stream (five packets in a row) or a program stream (a pack header followed by
// the start code its length points at) begins at or after `from` and before `limit`, told from
// data[from, size); `limit` when none does. `stride` is the packet's length, 0 for a program stream.
std::uint32_t FindLateStructure(const std::uint8_t* data, std::uint32_t from, std::uint32_t limit,
                                std::uint32_t size, std::uint32_t& stride) {
    std::uint32_t found = limit;
    for (std::uint32_t at = from + 3; at < found + 3 && at < size;) {
        const auto* code = static_cast<const std::uint8_t*>(std::memchr(data + at, 0xBA, size - at));
        if (code == nullptr)
            break;
        const auto start = static_cast<std::uint32_t>(code - data) - 3;
        at = start + 4;
        if (start >= found || start + 14 > size || !IsPackHeaderStart(data + start))
            continue;
        const std::uint32_t next =
            start + ((data[start + 4] & 0xC0) == 0x40 ? 14u + (data[start + 13] & 7u) : 12u);
        if (next + 4 <= size && data[next] == 0 && data[next + 1] == 0 && data[next + 2] == 1 &&
            data[next + 3] >= 0xB9) {
            found = start;
            stride = 0;
        }
    }
    for (std::uint32_t at = from; at < found + 4 && at < size;) {
        const auto* sync = static_cast<const std::uint8_t*>(std::memchr(data + at, TS_SYNC, size - at));
        if (sync == nullptr)
            break;
        const auto q = static_cast<std::uint32_t>(sync - data);
        at = q + 1;
        for (const std::uint32_t packet : {188u, 192u}) {
            const std::uint32_t prefix = packet - 188;
            if (q < from + prefix || q - prefix >= found || q + (TS_DETECT_PACKETS - 1) * packet >= size)
                continue;
            int count = 1;
            while (count < TS_DETECT_PACKETS &&
                   data[q + static_cast<std::uint32_t>(count) * packet] == TS_SYNC)
                ++count;
            if (count == TS_DETECT_PACKETS) {
                stride = packet;
                return q - prefix;
            }
        }
    }
    return found;
}

class ElementaryFormat final : public ContainerFormat {
public:
    ContainerKind Kind() const override { return ContainerKind::Elementary; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                       bool last) override {
        if (!m_lookLate) {
            core.Plain(data, from, size);
            return size;
        }
        return WalkUntilStructure(core, data, from, size, last);
    }

private:
    std::uint32_t WalkUntilStructure(WalkCore& core, std::uint8_t* data, std::uint32_t from,
                                     std::uint32_t size, bool last);

    bool m_lookLate = true; // no sequence header yet
};

std::uint32_t ElementaryFormat::WalkUntilStructure(WalkCore& core, std::uint8_t* data, std::uint32_t from,
                                                   std::uint32_t size, bool last) {
    // Only leading bytes without a sequence header can hide a stream: one found first makes the file
    // an elementary stream, whatever follows.
    const std::uint8_t* cursor = data + from;
    std::uint32_t left = size - from;
    const bool hasHeader = FindSequenceHeader(cursor, left);
    const std::uint32_t limit = hasHeader ? static_cast<std::uint32_t>(cursor - data) : size;
    std::uint32_t stride = 0;
    const std::uint32_t start = FindLateStructure(data, from, limit, size, stride);
    if (start == limit) {
        // A stream may begin in the last few bytes, told only by bytes still to come.
        const std::uint32_t margin = std::min({size, LATE_MARGIN, core.HoldLimit()});
        const std::uint32_t plainTo = hasHeader || last ? size : std::max(from, size - margin);
        m_lookLate = !hasHeader;
        core.Plain(data, from, plainTo);
        return plainTo;
    }
    core.PlainUntilResync(data, from, start);
    m_lookLate = false;
    core.SwitchTo(stride == 0 ? MakeProgramStreamFormat() : MakeTransportStreamFormat(stride));
    return start;
}

} // namespace

std::unique_ptr<ContainerFormat> MakeElementaryWalk() {
    return std::make_unique<ElementaryFormat>();
}

} // namespace veltrane
