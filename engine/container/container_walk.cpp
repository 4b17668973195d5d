// The walk's core: choosing the format from the file's first bytes, and holding back what must wait.
#include "container/container_walk.h"

#include "video/aspect_rule.h"
#include "video/sequence_header.h"

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

bool ContainerWalk::Store(Patch& patch) {
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
