// The walk's core: choosing the format from the file's first bytes, and holding back what must wait.
#include "container/container_walk.h"

#include "video/aspect_rule.h"
#include "video/nal_rbsp.h"
#include "video/sequence_header.h"
#include "video/sps_rewrite.h"

#include <algorithm>

namespace veltrane {

void ContainerWalk::Forwarder::Found(const FoundHeader& header) {
    Site site;
    site.kind = SiteKind::SequenceHeader;
    site.offset = header.headerOffset;
    site.mpeg1 = header.mpeg1;
    site.declared = ClassifyHeader(header);
    Patch& patch = site.patch;
    patch.offset = header.aspectOffset;
    patch.size = 1;
    patch.before[0] = *header.aspect;
    patch.after[0] = m_mode ? RewriteHeader(header, *m_mode) : patch.before[0];
    site.result = site.declared;
    // A header in bytes the container keeps once for every frame (Matroska's stripped prefix) lies
    // before the buffer: its patch is written there, and the kept copy changed for the frames to come.
    patch.behind = patch.offset < m_walk.m_base;
    const bool changes = patch.after[0] != patch.before[0];
    if (changes) {
        *header.aspect = patch.after[0];
        site.result = ClassifyHeader(header);
    }
    m_sink.Found(site);
    if (changes && m_walk.m_format)
        m_walk.m_format->Patched(m_walk, patch, m_sink);
}

// Without a mode the SPS is read as a flip to 16:9 would read it, only to tell its shape; nothing is
// applied and nothing refused.
void ContainerWalk::Forwarder::FoundParameterSet(const FoundSps& sps) {
    const SpsRewrite rewrite =
        RewriteSpsAspect(sps.codec, sps.bytes, m_mode.value_or(ConversionMode::To16x9));
    Site site;
    site.kind = SiteKind::Sps;
    site.offset = sps.nalOffset;
    site.codec = sps.codec;
    if (rewrite.kind != SpsRewrite::Kind::Refused || rewrite.plan.refusal != AspectRefusal::DamagedSps) {
        const SpsInfo& info = rewrite.sps;
        site.width = info.width;
        site.height = info.height;
        site.sar = info.aspectInfoPresent ? info.aspect : SampleAspect{};
        // Without aspect info players show square pixels.
        site.declared = ClassifySampleAspect(info.aspectInfoPresent ? SarOf(info.aspect) : Ratio{1, 1},
                                             info.width, info.height);
    }
    site.sarAfter = site.sar;
    site.result = site.declared;
    if (!m_mode) {
        // What a run either way would meet: the reading to 16:9 above, and one to 4:3.
        const SpsRewrite to4x3 = RewriteSpsAspect(sps.codec, sps.bytes, ConversionMode::To4x3);
        for (const SpsRewrite* way : {&rewrite, &to4x3}) {
            const auto index =
                static_cast<std::size_t>(way == &rewrite ? ConversionMode::To16x9 : ConversionMode::To4x3);
            if (way->kind == SpsRewrite::Kind::Refused) {
                site.refusalTo[index] = way->plan.refusal;
                site.bitsTo[index] = static_cast<std::int16_t>(way->plan.bitsNeeded);
            }
        }
    }

    // Each changed byte is a patch of its own unless it follows the one before in the file; a rewrite
    // changes at most five bytes, so the patches always fit.
    const bool apply =
        m_mode && rewrite.kind == SpsRewrite::Kind::Changed && rewrite.changes.size() <= Site::MAX_PATCHES;
    std::array<Patch, Site::MAX_PATCHES> patches{};
    std::size_t count = 0;
    if (apply) {
        for (const ByteChange& change : rewrite.changes) {
            const std::uint64_t offset = sps.offsets[change.offset];
            Patch* last = count > 0 ? &patches[count - 1] : nullptr;
            if (last == nullptr || last->offset + last->size != offset || last->size == Patch::MAX_BYTES) {
                last = &patches[count++];
                last->offset = offset;
            }
            last->before[last->size] = change.before;
            last->after[last->size] = change.after;
            ++last->size;
            *sps.at[change.offset] = change.after;
        }
        site.sarAfter = rewrite.plan.to;
        site.result = ClassifySampleAspect(SarOf(rewrite.plan.to), site.width, site.height);
    } else {
        // A patch that changes nothing, on the byte where the aspect begins, or the NAL header.
        const SpsInfo& info = rewrite.sps;
        std::uint32_t at = 0;
        if (info.aspectInfoPresent) {
            const Rbsp rbsp = ExtractRbsp(sps.bytes, sps.codec == VideoCodec::H264 ? 1 : 2);
            if (info.idcBit / 8 < rbsp.nalIndex.size())
                at = rbsp.nalIndex[info.idcBit / 8];
        }
        Patch& patch = patches[count++];
        patch.offset = sps.offsets[at];
        patch.size = 1;
        patch.before[0] = patch.after[0] = sps.bytes[at];
    }
    site.patch = patches[0];
    for (std::size_t i = 1; i < count; ++i)
        site.more[site.moreCount++] = patches[i];

    if (rewrite.kind == SpsRewrite::Kind::Refused && m_mode) {
        // An SPS cut off by the file's end or a break in the stream is not one a decoder shows whole: it
        // stays as it is and the rest of the file is converted.
        if (!(sps.cut && rewrite.plan.refusal == AspectRefusal::DamagedSps))
            m_walk.Refuse(rewrite.reason);
    }
    m_sink.Found(site);
    if (apply && m_walk.m_format)
        site.ForEachPatch([this](const Patch& patch) { m_walk.m_format->Patched(m_walk, patch, m_sink); });
}

std::uint8_t* ContainerWalk::Appended(std::uint64_t offset, std::uint64_t size) {
    if (offset < m_appendAt || offset - m_appendAt > m_appended.size() ||
        size > m_appended.size() - (offset - m_appendAt))
        return nullptr;
    return m_appended.data() + (offset - m_appendAt);
}

// Converting past the loss would leave the SPSs after it as they were, beside flipped ones before it.
void ContainerWalk::Forwarder::StreamLost(VideoCodec codec, std::uint64_t offset) {
    if (m_mode)
        m_walk.Refuse(std::string(codec == VideoCodec::Hevc ? "HEVC" : "H.264") +
                      " NAL unit lengths stop adding up at byte " + std::to_string(offset) +
                      ": the file is damaged");
}

bool ContainerWalk::Store(Patch& patch) {
    // Bytes past the source's end are the walk's own until the driver writes them after the copy.
    if (std::uint8_t* appended = Appended(patch.offset, patch.size); appended != nullptr && patch.size > 0) {
        patch.behind = false;
        std::copy_n(patch.after.begin(), patch.size, appended);
        return true;
    }
    patch.behind = patch.offset < m_base;
    if (patch.behind)
        return true;
    const std::uint64_t at = patch.offset - m_base;
    // A format's patch always lies in what it has been given; anything else is a fault of its own.
    if (at + patch.size > m_bufferSize)
        return false;
    std::copy_n(patch.after.begin(), patch.size, m_buffer.data + at);
    return true;
}

void ContainerWalk::Apply(const Site& site) {
    Site stored = site;
    if (!Store(stored.patch)) {
        Refuse("a container field lies outside the bytes read");
        return;
    }
    m_sink.Found(stored);
    if (stored.patch.Changes() && m_format)
        m_format->Patched(*this, stored.patch, m_sink);
}

void ContainerWalk::ApplyFixUp(Patch patch) {
    if (!Store(patch)) {
        Refuse("a container checksum lies outside the bytes read");
        return;
    }
    m_sink.FixedUp(patch);
}

void ContainerWalk::Detect(const std::uint8_t* data, std::uint32_t size) {
    std::size_t count = 0;
    const Recognise* formats = FormatTable(count);
    for (std::size_t i = 0; i < count; ++i) {
        if ((m_format = formats[i](data, size)))
            return;
    }
    m_format = MakeElementaryWalk();
}

void ContainerWalk::Plain(std::uint8_t* data, std::uint32_t from, std::uint32_t to) {
    if (to > from)
        m_plain.Search(m_buffer, data + from, to - from, m_forwarder, false);
}

void ContainerWalk::PlainUntilResync(std::uint8_t* data, std::uint32_t from, std::uint32_t to) {
    Plain(data, from, to);
    m_plain.Settle(m_buffer, m_forwarder);
    m_plain.Forget();
}

std::uint32_t ContainerWalk::Step(std::uint8_t* data, std::uint32_t size, bool last) {
    if (!m_format)
        Detect(data, size);
    m_buffer.data = data;
    m_buffer.base = m_base;
    m_bufferSize = size;
    if (m_refusal)
        return size;
    std::uint32_t reached =
        m_format->Walk(*this, data, static_cast<std::uint32_t>(m_parsed - m_base), size, last);
    // A stream found behind leading bytes takes the rest of the buffer-full from where it begins.
    while (m_next) {
        m_format = std::move(m_next);
        reached = m_format->Walk(*this, data, reached, size, last);
    }
    m_parsed = m_base + reached;

    // A stream's first header waits in the buffer for the bytes that tell its version, but not for
    // ever: a follower that has not come within the hold limit is not coming as one.
    std::uint32_t hold = reached;
    const auto settle = [&](CodecScanner& stream) {
        if (!stream.Waiting())
            return;
        const std::uint64_t waiting = stream.WaitingOffset();
        if (last || m_base + size - waiting > m_holdLimit)
            stream.Settle(m_buffer, m_forwarder);
        else
            hold = std::min(hold, static_cast<std::uint32_t>(waiting - m_base));
    };
    settle(m_plain);
    m_format->ForEachStream(settle);
    if (!last)
        hold = m_format->HoldBoundary(*this, hold);
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
