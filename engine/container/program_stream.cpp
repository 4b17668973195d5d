// The walk through a program stream: MPEG-2 packs and MPEG-1 system streams alike.
#include "container/program_stream.h"

#include "container/container_walk.h"
#include "container/psi_tables.h"
#include "container/transport_stream.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace veltrane {

namespace {

constexpr std::uint8_t PACK_START = 0xBA;
constexpr std::uint8_t PROGRAM_END = 0xB9;
constexpr std::uint8_t STREAM_MAP = 0xBC;
// The largest program stream map the standard allows; a longer one is not read.
constexpr std::uint32_t MAX_STREAM_MAP = 1024;
// A stream whose first bytes show no code only MPEG-1/2 has and no SPS is MPEG-1/2 after this many:
// a recording cut inside a long H.264 GOP shows its next SPS well before.
constexpr std::uint32_t SNIFF_LIMIT = 32u << 20;

bool IsVideoStream(std::uint8_t id) {
    return (id & 0xF0) == 0xE0;
}

} // namespace

bool IsPackHeaderStart(const std::uint8_t* p) {
    // MPEG-2 packs mark their SCR with '01', MPEG-1 packs with '0010'.
    return p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01 && p[3] == 0xBA &&
           ((p[4] & 0xC0) == 0x40 || (p[4] & 0xF0) == 0x20);
}

// Anything but a pack header, a system header or a packet where a start code belongs means the
// structure is lost: the bytes are plain again until the next pack header.
std::uint32_t ProgramStreamWalk::Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from,
                                      std::uint32_t size, bool last) {
    WalkBuffer& buffer = core.Buffer();
    HeaderSink& sink = core.Sink();
    std::uint32_t at = from;
    while (at < size) {
        switch (m_phase) {
        case Phase::LostSync: {
            std::uint32_t probe = at;
            bool found = false;
            while (probe + 5 <= size) {
                const auto* code = static_cast<const std::uint8_t*>(
                    std::memchr(data + probe + 3, PACK_START, size - 1 - (probe + 3)));
                if (code == nullptr) {
                    probe = size - 4;
                    break;
                }
                probe = static_cast<std::uint32_t>(code - data) - 3;
                if (IsPackHeaderStart(data + probe)) {
                    found = true;
                    break;
                }
                ++probe;
            }
            if (!found) {
                const std::uint32_t plainTo = last ? size : std::max(at, std::min(probe, size));
                core.Plain(data, at, plainTo);
                return plainTo;
            }
            core.PlainUntilResync(data, at, probe);
            m_phase = Phase::AtStartCode;
            at = probe;
            break;
        }
        case Phase::AtStartCode: {
            const std::uint32_t next = StartCode(data, at, size, last, core.HoldLimit());
            if (next == at && m_phase == Phase::AtStartCode)
                return at; // cut by the buffer's edge: wait for the rest
            at = next;
            break;
        }
        case Phase::Skip: {
            const std::uint32_t n = std::min(m_left, size - at);
            at += n;
            m_left -= n;
            if (m_left == 0)
                m_phase = Phase::AtStartCode;
            break;
        }
        case Phase::VideoPes: {
            std::uint32_t n = std::min(m_left, size - at);
            m_left -= n;
            if (m_pes.InHeader()) {
                const std::uint32_t header = m_pes.Consume(data + at, n);
                at += header;
                n -= header;
            }
            if (!m_pes.InHeader())
                Payload(buffer, sink, data + at, n);
            at += n;
            if (m_left == 0)
                m_phase = Phase::AtStartCode;
            break;
        }
        }
    }
    return at;
}

// Reads the start code at `at` and sets the phase for what it begins. Returns where the walk goes
// on: `at` itself when the bytes that tell are not all in the buffer yet.
std::uint32_t ProgramStreamWalk::StartCode(const std::uint8_t* data, std::uint32_t at, std::uint32_t size,
                                           bool last, std::uint32_t holdLimit) {
    const std::uint32_t have = size - at;
    const auto wait = [&](std::uint32_t need) {
        if (have >= need)
            return false;
        if (last) {
            // The file ends inside it: step over the stump.
            m_phase = Phase::Skip;
            m_left = have;
        }
        return true;
    };
    if (wait(4))
        return at;
    const std::uint8_t* p = data + at;
    if (p[0] != 0x00 || p[1] != 0x00 || p[2] != 0x01 || p[3] < PROGRAM_END) {
        m_phase = Phase::LostSync;
        return at;
    }
    if (p[3] == PROGRAM_END)
        return at + 4;
    if (p[3] == PACK_START) {
        if (wait(5))
            return at;
        if ((p[4] & 0xC0) == 0x40) {
            if (wait(14))
                return at;
            m_left = 14u + (p[13] & 0x07u);
        } else if ((p[4] & 0xF0) == 0x20) {
            m_left = 12;
        } else {
            m_phase = Phase::LostSync;
            return at;
        }
        m_phase = Phase::Skip;
        return at;
    }
    if (wait(6))
        return at;
    const std::uint32_t length = (static_cast<std::uint32_t>(p[4]) << 8) | p[5];
    if (p[3] == STREAM_MAP && 6 + length <= std::min(MAX_STREAM_MAP, holdLimit)) {
        if (wait(6 + length))
            return at;
        StreamMap(p, 6 + length);
    }
    if (IsVideoStream(p[3])) {
        m_phase = Phase::VideoPes;
        m_stream = static_cast<std::uint8_t>(p[3] & 0x0F);
        m_left = length;
        m_pes.StartAfterLength();
        if (length == 0)
            m_phase = Phase::AtStartCode;
        return at + 6;
    }
    m_phase = Phase::Skip;
    m_left = 6 + length;
    return at;
}

void ProgramStreamWalk::Break() {
    m_phase = Phase::LostSync;
    for (Video& video : m_video) {
        video.mpeg.Forget();
        if (video.nal)
            video.nal->Forget();
        video.zeros = 0;
        video.headerNext = false;
    }
}

// The map's entries name a type for each elementary stream id; only a whole map whose CRC is right
// is believed.
void ProgramStreamWalk::StreamMap(const std::uint8_t* packet, std::uint32_t size) {
    if (size < 16 || SectionCrc(packet, size) != 0)
        return;
    const std::uint32_t end = size - 4;
    std::uint32_t at = 10 + ((static_cast<std::uint32_t>(packet[8]) << 8) | packet[9]);
    if (at + 2 > end)
        return;
    const std::uint32_t mapEnd =
        std::min(end, at + 2 + ((static_cast<std::uint32_t>(packet[at]) << 8) | packet[at + 1]));
    for (at += 2; at + 4 <= mapEnd;) {
        const std::optional<VideoCodec> codec = CodecOfStreamType(packet[at]);
        if (codec && IsVideoStream(packet[at + 1]))
            Name(m_video[packet[at + 1] & 0x0F], *codec);
        at += 4 + ((static_cast<std::uint32_t>(packet[at + 2]) << 8) | packet[at + 3]);
    }
}

// A stream already searched keeps its scanner unless the map names another codec.
void ProgramStreamWalk::Name(Video& video, VideoCodec codec) {
    video.decided = true;
    if (codec == VideoCodec::Mpeg12) {
        video.nal.reset();
        return;
    }
    if (!video.nal || video.codec != codec)
        video.nal = MakeCodecScanner(codec);
    video.codec = codec;
}

void ProgramStreamWalk::Payload(WalkBuffer& buffer, HeaderSink& sink, std::uint8_t* data,
                                std::uint32_t size) {
    Video& video = m_video[m_stream];
    if (video.nal) {
        video.nal->Search(buffer, data, size, sink, true);
        return;
    }
    video.mpeg.Search(buffer, data, size, sink, true);
    if (!video.decided)
        Sniff(video, buffer, sink, data, size);
}

void ProgramStreamWalk::Sniff(Video& video, WalkBuffer& buffer, HeaderSink& sink, std::uint8_t* data,
                              std::uint32_t size) {
    // Index of the NAL header (or MPEG start code value) after each 01 of a start code, the zeros of
    // which may have come at the end of the payload before.
    for (std::uint32_t i = 0; i < size; ++i) {
        std::uint32_t zeros = video.zeros;
        if (video.headerNext) {
            video.headerNext = false;
        } else if (data[i] == 0x00) {
            video.zeros = std::min<std::uint8_t>(2, video.zeros + 1);
            continue;
        } else {
            video.zeros = 0;
            if (data[i] != 0x01 || zeros < 2)
                continue;
            if (i + 1 == size) {
                video.headerNext = true;
                break;
            }
            ++i;
        }
        video.zeros = 0;
        const std::uint8_t code = data[i];
        const int second = i + 1 < size ? data[i + 1] : -1;
        std::optional<VideoCodec> codec;
        if (code >= 0x80) {
            // A sequence header, extension, GOP or high slice: a NAL header never has its top bit set.
            video.decided = true;
            return;
        }
        // An H.264 SPS or subset SPS carries nal_ref_idc; HEVC's has layer 0 and temporal id 1.
        if ((code & 0x1F) == 7 || (code & 0x1F) == 15) {
            if ((code & 0x60) != 0)
                codec = VideoCodec::H264;
        } else if (code == 0x42 && (second < 0 || second == 0x01)) {
            codec = VideoCodec::Hevc;
        }
        if (codec) {
            Name(video, *codec);
            video.mpeg.Forget();
            // The start code, whole, then the stream from its NAL header on.
            std::uint8_t startCode[3] = {0x00, 0x00, 0x01};
            WalkBuffer alone;
            alone.data = startCode;
            video.nal->Search(alone, startCode, 3, sink, false);
            video.nal->Search(buffer, data + i, size - i, sink, true);
            return;
        }
    }
    video.looked += size;
    if (video.looked >= SNIFF_LIMIT)
        video.decided = true;
}

namespace {

class ProgramStreamFormat final : public ContainerFormat {
public:
    ContainerKind Kind() const override { return ContainerKind::ProgramStream; }
    // Any video stream may turn out to be H.264 or HEVC, from a stream map or its first SPS, however
    // far into the file: an in-place fix must read it all before it writes.
    bool MayRefuse() const override { return true; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                       bool last) override {
        core.Buffer().codes.Reset(data + from, size - from);
        return m_walk.Walk(core, data, from, size, last);
    }
    void ForEachStream(const std::function<void(CodecScanner&)>& f) override { m_walk.ForEachStream(f); }

private:
    ProgramStreamWalk m_walk;
};

// How far into the first buffer-full the structure may start: a cut recording begins mid-pack, but
// not tens of kilobytes into junk.
constexpr std::uint32_t DETECT_WINDOW = 65536;

} // namespace

std::unique_ptr<ContainerFormat> MakeProgramStreamFormat() {
    return std::make_unique<ProgramStreamFormat>();
}

std::unique_ptr<ContainerFormat> RecogniseProgramStream(const std::uint8_t* data, std::uint32_t size) {
    if (size < 5)
        return nullptr;
    const std::uint32_t end = std::min(size - 4, DETECT_WINDOW); // the starts that may be tried
    // Only where the start code ends in the pack's byte can a pack start: the search hops between those.
    for (std::uint32_t at = 0; at < end; ++at) {
        const void* code = std::memchr(data + at + 3, PACK_START, end - at);
        if (code == nullptr)
            break;
        at = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(code) - data) - 3;
        if (IsPackHeaderStart(data + at))
            return MakeProgramStreamFormat();
    }
    return nullptr;
}

} // namespace veltrane
