// Telling the container from the file's first bytes, and keeping track of what has been walked.
#include "container/container_walk.h"

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

void ContainerWalk::Detect(const std::uint8_t* data, std::uint32_t size) {
    m_detected = true;
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

std::uint32_t ContainerWalk::Step(std::uint8_t* data, std::uint32_t size, bool last) {
    if (!m_detected)
        Detect(data, size);
    const auto from = static_cast<std::uint32_t>(m_parsed - m_base);
    m_buffer.data = data;
    m_buffer.base = m_base;
    std::uint32_t reached = size;
    switch (m_kind) {
    case ContainerKind::Elementary:
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
