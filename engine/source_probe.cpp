// Reads the head of a file and classifies the aspect code of its first sequence header.
#include "source_probe.h"

#include "container/container_walk.h"
#include "conversion_run.h"
#include "io/chunk_buffer.h"
#include "io/file_io.h"
#include "video/aspect_rule.h"
#include "video/sequence_header.h"

#include <cstring>
#include <new>

namespace veltrane {

namespace {

// Remembers the header that starts first; in a multiplex that need not be the first one found.
class FirstHeader final : public HeaderSink {
public:
    void Found(const FoundHeader& header) override {
        if (header.headerOffset >= PROBE_RANGE || (m_found && header.headerOffset >= m_offset))
            return;
        m_found = true;
        m_offset = header.headerOffset;
        m_aspect = ClassifyHeader(header);
        m_code = *header.aspect >> 4;
    }

    bool m_found = false;
    std::uint64_t m_offset = 0;
    DeclaredAspect m_aspect = DeclaredAspect::Unknown;
    int m_code = -1;
};

ProbeOutcome Probe(const std::string& path, int& aspectCode, FailureReason& failure) {
    const ChunkBuffer buffer = AllocateChunk();
    if (!buffer)
        return ProbeOutcome::OutOfMemory;
    io::File file = io::OpenForSequentialRead(path);
    if (!file.IsOpen()) {
        failure = file.Failure();
        return ProbeOutcome::OpenFailed;
    }

    FirstHeader first;
    ContainerWalk walk(first);
    std::uint8_t* const data = buffer.get();
    std::uint64_t read = 0;
    std::uint32_t carry = 0;
    // A header starting inside the range may have its aspect byte a few packets past it.
    while (read < PROBE_RANGE + PROBE_SLACK) {
        const std::int64_t got = file.ReadSome(data + carry, CHUNK_SIZE - carry);
        if (got <= 0)
            break; // the end of the file, or a read error: what was found counts
        read += static_cast<std::uint64_t>(got);
        const std::uint32_t len = carry + static_cast<std::uint32_t>(got);
        const std::uint32_t keep = walk.Walk(data, len);
        std::memmove(data, data + len - keep, keep);
        carry = keep;
        if (first.m_found)
            break;
    }
    if (!first.m_found)
        walk.Finish(data, carry);
    file.Close();
    if (!first.m_found)
        return ProbeOutcome::HeaderNotFound;
    aspectCode = first.m_code;
    return ProbeOutcomeOf(first.m_aspect);
}

} // namespace

ProbeOutcome ProbeOutcomeOf(DeclaredAspect aspect) {
    switch (aspect) {
    case DeclaredAspect::Ratio4x3:
        return ProbeOutcome::Aspect4x3;
    case DeclaredAspect::Ratio16x9:
        return ProbeOutcome::Aspect16x9;
    case DeclaredAspect::Unknown:
        break;
    }
    return ProbeOutcome::AspectUnknown;
}

ProbeOutcome ProbeSourceAspect(const std::string& path) {
    int aspectCode = -1;
    return ProbeSourceAspect(path, aspectCode);
}

ProbeOutcome ProbeSourceAspect(const std::string& path, int& aspectCode) {
    FailureReason failure;
    return ProbeSourceAspect(path, aspectCode, failure);
}

ProbeOutcome ProbeSourceAspect(const std::string& path, int& aspectCode, FailureReason& failure) {
    aspectCode = -1;
    failure = FailureReason{};
    // As in a run: only the walk's streams can throw, and only when memory runs out.
    try {
        return Probe(path, aspectCode, failure);
    } catch (const std::bad_alloc&) {
        return ProbeOutcome::OutOfMemory;
    }
}

} // namespace veltrane
