// The walk through a transport stream: 188-byte packets, or 192 with a timestamp before each.
#include "container/transport_stream.h"

#include "container/pes_header.h"
#include "container/psi_tables.h"
#include "video/stream_search.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace veltrane {

namespace {

constexpr std::uint32_t NULL_PID = 0x1FFF;
constexpr std::uint32_t PACKET = 188;
// How far into the first buffer-full the structure may start: a cut recording begins mid-packet, but
// not tens of kilobytes into junk.
constexpr std::uint32_t DETECT_WINDOW = 65536;

class TransportStreamFormat final : public ContainerFormat {
public:
    explicit TransportStreamFormat(std::uint32_t stride) : m_stride(stride), m_prefix(stride - PACKET) {}

    ContainerKind Kind() const override {
        return m_stride == PACKET ? ContainerKind::TransportStream188 : ContainerKind::TransportStream192;
    }
    // An SPS whose aspect would need more bits refuses the whole file, and a program map may name
    // H.264 or HEVC anywhere, past the first buffer-full or in a new version: an in-place fix must read
    // every transport stream through before it writes.
    bool MayRefuse() const override { return true; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                       bool last) override;
    void ForEachStream(const std::function<void(CodecScanner&)>& f) override {
        for (Pid& pid : m_pids) {
            if (pid.search)
                f(*pid.search);
        }
    }

private:
    struct Pid {
        PesHeader pes;
        VideoCodec codec = VideoCodec::Mpeg12;
        std::unique_ptr<CodecScanner> search; // null: a codec without a scanner, not searched
        StreamSearch* mpeg = nullptr;         // the search, where it is MPEG-1/2's: called directly, as
                                              // most packets of most files are
        bool video = true;                    // until a PES start says otherwise
    };

    void Packet(WalkBuffer& buffer, HeaderSink& sink, std::uint8_t* packet, std::uint32_t size);
    void Learned(std::uint32_t pid, VideoCodec codec);
    Pid& StreamOf(std::uint32_t pid);

    std::uint32_t m_stride;
    std::uint32_t m_prefix;
    bool m_synced = false;
    std::array<std::uint16_t, TS_PID_COUNT> m_pidSlot{}; // 0: not seen yet, else index + 1 into m_pids
    std::vector<Pid> m_pids;
    PsiTables m_tables;
};

} // namespace

// Packets are taken while their own sync byte and the next packet's are right; a packet whose follower
// is not yet in the buffer waits for the next call. Once the rhythm breaks, the bytes are plain until
// three sync bytes in a row at the stride show where packets start again.
std::uint32_t TransportStreamFormat::Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from,
                                          std::uint32_t size, bool last) {
    WalkBuffer& buffer = core.Buffer();
    HeaderSink& sink = core.Sink();
    buffer.codes.Reset(data + from, size - from);
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
                core.Plain(data, at, plainTo);
                return plainTo;
            }
            core.PlainUntilResync(data, at, probe);
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
        Packet(buffer, sink, data + at, length);
        at += length;
    }
    return at;
}

void TransportStreamFormat::Packet(WalkBuffer& buffer, HeaderSink& sink, std::uint8_t* packet,
                                   std::uint32_t size) {
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

    if (pid == TS_PAT_PID || m_tables.IsMap(pid)) {
        if (unitStart && !scrambled)
            m_tables.Read(pid, packet + start, size - start,
                          [this](std::uint32_t stream, VideoCodec codec) { Learned(stream, codec); });
        return;
    }
    Pid& stream = StreamOf(pid);
    if (unitStart) {
        stream.pes.StartAtStartCode();
        stream.video = true;
    }
    // Scrambled payload is noise to the search: a start code in it is chance, not a header.
    if (!stream.video || scrambled || !stream.search)
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
    if (stream.mpeg != nullptr)
        stream.mpeg->Search(buffer, packet + start, size - start, sink, true);
    else
        stream.search->Search(buffer, packet + start, size - start, sink, true);
}

TransportStreamFormat::Pid& TransportStreamFormat::StreamOf(std::uint32_t pid) {
    std::uint16_t& slot = m_pidSlot[pid];
    if (slot == 0) {
        Pid& stream = m_pids.emplace_back();
        stream.codec = m_tables.CodecOf(pid).value_or(VideoCodec::Mpeg12);
        stream.search = MakeCodecScanner(stream.codec);
        stream.mpeg = dynamic_cast<StreamSearch*>(stream.search.get());
        slot = static_cast<std::uint16_t>(m_pids.size());
        m_tables.SeenAsStream(pid);
    }
    return m_pids[slot - 1];
}

// A stream met before its map keeps its search, unless the map names another codec.
void TransportStreamFormat::Learned(std::uint32_t pid, VideoCodec codec) {
    if (m_pidSlot[pid] == 0)
        return;
    Pid& known = m_pids[m_pidSlot[pid] - 1u];
    if (known.codec != codec) {
        known.codec = codec;
        known.search = MakeCodecScanner(codec);
        known.mpeg = dynamic_cast<StreamSearch*>(known.search.get());
    }
}

namespace {

bool TransportAt(const std::uint8_t* data, std::uint32_t size, std::uint32_t at, std::uint32_t stride) {
    int count = 0;
    for (std::uint32_t k = at; k < size && count < TS_DETECT_PACKETS; k += stride, ++count) {
        if (data[k] != TS_SYNC)
            return false;
    }
    // A file too short for five packets is one when every packet it holds, from its first on,
    // begins right, and it holds at least two.
    return count == TS_DETECT_PACKETS || (count >= 2 && at < stride);
}

} // namespace

std::unique_ptr<ContainerFormat> MakeTransportStreamFormat(std::uint32_t stride) {
    return std::make_unique<TransportStreamFormat>(stride);
}

std::unique_ptr<ContainerFormat> RecogniseTransportStream(const std::uint8_t* data, std::uint32_t size) {
    const std::uint32_t window = std::min(size, DETECT_WINDOW);
    for (const std::uint32_t stride : {188u, 192u}) {
        const std::uint32_t prefix = stride - PACKET;
        if (size <= stride)
            continue;
        const std::uint32_t end = std::min(window, size - stride); // the starts that may be tried
        // Only a sync byte can start a packet: the search hops between them.
        for (std::uint32_t at = prefix; at < end; ++at) {
            const void* sync = std::memchr(data + at, TS_SYNC, end - at);
            if (sync == nullptr)
                break;
            at = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(sync) - data);
            if (TransportAt(data, size, at, stride))
                return MakeTransportStreamFormat(stride);
        }
    }
    return nullptr;
}

} // namespace veltrane
