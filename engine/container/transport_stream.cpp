// The walk through a transport stream: 188-byte packets, or 192 with a timestamp before each.
#include "container/container_walk.h"

#include <cstring>

namespace veltrane {

namespace {

constexpr std::uint8_t TS_SYNC = 0x47;
constexpr std::uint32_t NULL_PID = 0x1FFF;
constexpr std::uint32_t PACKET = 188;

} // namespace

// Packets are taken while their own sync byte and the next packet's are right; a packet whose follower
// is not yet in the buffer waits for the next call. Once the rhythm breaks, the bytes are plain until
// three sync bytes in a row at the stride show where packets start again.
std::uint32_t ContainerWalk::WalkTransport(std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                                           bool last) {
    const std::uint32_t stride = m_stride;
    const std::uint32_t prefix = m_prefix;
    std::uint32_t at = from;
    while (at < size) {
        if (!m_synced) {
            std::uint32_t probe = at;
            bool found = false;
            while (probe + prefix + 2 * stride < size) {
                const auto* sync = static_cast<const std::uint8_t*>(
                    std::memchr(data + probe + prefix, TS_SYNC, size - 2 * stride - probe - prefix));
                if (sync == nullptr) {
                    probe = size - 2 * stride - prefix;
                    break;
                }
                probe = static_cast<std::uint32_t>(sync - data) - prefix;
                if (data[probe + prefix + stride] == TS_SYNC &&
                    data[probe + prefix + 2 * stride] == TS_SYNC) {
                    found = true;
                    break;
                }
                ++probe;
            }
            if (!found) {
                // Whatever could still begin a packet waits for more bytes, unless none will come.
                const std::uint32_t plainTo = last ? size : std::max(at, std::min(probe, size));
                Plain(data, at, plainTo);
                return plainTo;
            }
            PlainUntilResync(data, at, probe);
            m_synced = true;
            at = probe;
        }
        if (at + prefix < size && data[at + prefix] != TS_SYNC) {
            m_synced = false;
            continue;
        }
        if (at + stride + prefix < size) {
            if (data[at + stride + prefix] != TS_SYNC) {
                m_synced = false;
                continue;
            }
        } else if (!last) {
            return at;
        }
        const std::uint32_t length = std::min(stride, size - at);
        TransportPacket(data + at, length);
        at += length;
    }
    return at;
}

void ContainerWalk::TransportPacket(std::uint8_t* packet, std::uint32_t size) {
    if (size < m_prefix + 4)
        return; // a stump at the end of the file
    const std::uint8_t* header = packet + m_prefix;
    const std::uint32_t pid = (static_cast<std::uint32_t>(header[1] & 0x1F) << 8) | header[2];
    const bool unitStart = (header[1] & 0x40) != 0;
    const bool scrambled = (header[3] & 0xC0) != 0;
    const std::uint32_t control = (header[3] >> 4) & 0x3;
    if (pid == NULL_PID || (control & 0x1) == 0)
        return;
    std::uint32_t start = m_prefix + 4;
    if ((control & 0x2) != 0) {
        if (size <= start)
            return;
        start += 1 + header[4];
        // An adaptation field longer than the packet leaves no payload.
        if (start > m_prefix + PACKET)
            return;
    }
    if (start >= size)
        return;

    std::uint16_t& slot = m_pidSlot[pid];
    if (slot == 0) {
        m_pids.emplace_back();
        slot = static_cast<std::uint16_t>(m_pids.size());
    }
    Pid& stream = m_pids[slot - 1];
    if (unitStart) {
        stream.pes.StartAtStartCode();
        stream.video = true;
    }
    // Scrambled payload is noise to the search: a start code in it is chance, not a header.
    if (!stream.video || scrambled)
        return;
    if (stream.pes.InHeader()) {
        start += stream.pes.Consume(packet + start, size - start);
        if (stream.pes.NotVideo()) {
            stream.video = false;
            return;
        }
        if (stream.pes.InHeader())
            return;
    }
    stream.search.Search(m_buffer, packet + start, size - start, m_sink, true);
}

} // namespace veltrane
