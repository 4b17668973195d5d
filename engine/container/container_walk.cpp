// Telling the container from the file's first bytes, and keeping track of what has been walked.
#include "container/container_walk.h"

#include "container/cd_sector.h"
#include "video/sequence_header.h"

#include <algorithm>
#include <cstring>

namespace veltrane {

namespace {

constexpr std::uint8_t TS_SYNC = 0x47;
// How far into the first buffer-full the structure may start: a cut recording begins mid-packet or
// mid-pack, but not tens of kilobytes into junk.
constexpr std::uint32_t DETECT_WINDOW = 65536;
// Sync bytes in a row at the packet stride that make a transport stream.
constexpr int DETECT_PACKETS = 5;
// What a stream found behind leading bytes may need past its start to be told: five packets' syncs.
constexpr std::uint32_t LATE_MARGIN = (DETECT_PACKETS - 1) * 192 + 8;

bool TransportAt(const std::uint8_t* data, std::uint32_t size, std::uint32_t at, std::uint32_t stride) {
    int count = 0;
    for (std::uint32_t k = at; k < size && count < DETECT_PACKETS; k += stride, ++count) {
        if (data[k] != TS_SYNC)
            return false;
    }
    // A file too short for five packets is one when every packet it holds, from its first on,
    // begins right, and it holds at least two.
    return count == DETECT_PACKETS || (count >= 2 && at < stride);
}

} // namespace

bool IsPackHeaderStart(const std::uint8_t* p) {
    // MPEG-2 packs mark their SCR with '01', MPEG-1 packs with '0010'.
    return p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01 && p[3] == 0xBA &&
           ((p[4] & 0xC0) == 0x40 || (p[4] & 0xF0) == 0x20);
}

namespace {

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
            if (q < from + prefix || q - prefix >= found || q + (DETECT_PACKETS - 1) * packet >= size)
                continue;
            int count = 1;
            while (count < DETECT_PACKETS && data[q + static_cast<std::uint32_t>(count) * packet] == TS_SYNC)
                ++count;
            if (count == DETECT_PACKETS) {
                stride = packet;
                return q - prefix;
            }
        }
    }
    return found;
}

} // namespace

void ContainerWalk::Detect(const std::uint8_t* data, std::uint32_t size) {
    m_detected = true;
    std::uint32_t origin = 0;
    switch (FindCdSectors(data, size, origin)) {
    case CdLayout::RiffCdxa:
        m_kind = ContainerKind::CdXaFile;
        m_sectorOrigin = origin;
        return;
    case CdLayout::RawImage:
        m_kind = ContainerKind::CdImage;
        m_sectorOrigin = origin;
        return;
    case CdLayout::None:
        break;
    }
    const std::uint32_t window = std::min(size, DETECT_WINDOW);
    for (const std::uint32_t stride : {188u, 192u}) {
        const std::uint32_t prefix = stride - 188;
        for (std::uint32_t at = prefix; at < window && at + stride < size; ++at) {
            if (data[at] == TS_SYNC && TransportAt(data, size, at, stride)) {
                m_kind =
                    stride == 188 ? ContainerKind::TransportStream188 : ContainerKind::TransportStream192;
                m_stride = stride;
                m_prefix = prefix;
                return;
            }
        }
    }
    for (std::uint32_t at = 0; at + 5 <= size && at < window; ++at) {
        if (IsPackHeaderStart(data + at)) {
            m_kind = ContainerKind::ProgramStream;
            return;
        }
    }
    m_kind = ContainerKind::Elementary;
    m_lookLate = true;
}

std::uint32_t ContainerWalk::WalkUntilStructure(std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                                                bool last) {
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
        const std::uint32_t margin = std::min({size, LATE_MARGIN, m_holdLimit});
        const std::uint32_t plainTo = hasHeader || last ? size : std::max(from, size - margin);
        m_lookLate = !hasHeader;
        Plain(data, from, plainTo);
        return plainTo;
    }
    PlainUntilResync(data, from, start);
    m_lookLate = false;
    m_buffer.codes.Reset(data + start, size - start);
    if (stride == 0) {
        m_kind = ContainerKind::ProgramStream;
        return WalkProgram(data, start, size, last);
    }
    m_kind = stride == 188 ? ContainerKind::TransportStream188 : ContainerKind::TransportStream192;
    m_stride = stride;
    m_prefix = stride - 188;
    return WalkTransport(data, start, size, last);
}

void ContainerWalk::Plain(std::uint8_t* data, std::uint32_t from, std::uint32_t to) {
    if (to > from)
        m_plain.Search(m_buffer, data + from, to - from, m_sink, false);
}

void ContainerWalk::PlainUntilResync(std::uint8_t* data, std::uint32_t from, std::uint32_t to) {
    Plain(data, from, to);
    m_plain.Settle(m_buffer, m_sink);
    m_plain.Forget();
}

template <typename F> void ContainerWalk::ForEachStream(F f) {
    f(m_plain);
    for (Pid& pid : m_pids)
        f(pid.search);
    for (StreamSearch& video : m_program.video)
        f(video);
}

void ContainerWalk::BreakSectors() {
    m_program.phase = Program::Phase::LostSync;
    ForEachStream([](StreamSearch& stream) { stream.Forget(); });
}

std::uint32_t ContainerWalk::Step(std::uint8_t* data, std::uint32_t size, bool last) {
    if (!m_detected)
        Detect(data, size);
    const auto from = static_cast<std::uint32_t>(m_parsed - m_base);
    m_buffer.data = data;
    m_buffer.base = m_base;
    std::uint32_t reached = size;
    switch (m_kind) {
    case ContainerKind::Elementary:
        if (m_lookLate)
            reached = WalkUntilStructure(data, from, size, last);
        else
            Plain(data, from, size);
        break;
    case ContainerKind::TransportStream188:
    case ContainerKind::TransportStream192:
        m_buffer.codes.Reset(data + from, size - from);
        reached = WalkTransport(data, from, size, last);
        break;
    case ContainerKind::ProgramStream:
        m_buffer.codes.Reset(data + from, size - from);
        reached = WalkProgram(data, from, size, last);
        break;
    case ContainerKind::CdXaFile:
    case ContainerKind::CdImage:
        m_buffer.codes.Reset(data + from, size - from);
        reached = WalkSectors(data, from, size);
        // The stump of a sector at the end of the file is no part of the stream.
        if (last)
            reached = size;
        break;
    }
    m_parsed = m_base + reached;

    // A stream's first header waits in the buffer for the bytes that tell its version, but not for
    // ever: a follower that has not come within the hold limit is not coming as one.
    std::uint32_t hold = reached;
    ForEachStream([&](StreamSearch& stream) {
        if (!stream.Waiting())
            return;
        const std::uint64_t waiting = stream.WaitingOffset();
        if (last || m_base + size - waiting > m_holdLimit)
            stream.Settle(m_buffer, m_sink);
        else
            hold = std::min(hold, static_cast<std::uint32_t>(waiting - m_base));
    });
    if (m_kind == ContainerKind::CdXaFile || m_kind == ContainerKind::CdImage) {
        if (!last)
            hold = SectorStartAtOrBefore(hold);
        SettleSectors(data, hold);
    }
    m_base += hold;
    return size - hold;
}

std::uint32_t ContainerWalk::Walk(std::uint8_t* data, std::uint32_t size) {
    return Step(data, size, false);
}

void ContainerWalk::Finish(std::uint8_t* data, std::uint32_t size) {
    Step(data, size, true);
}

} // namespace veltrane
