// Reads the head of a file and classifies the aspect code of its first sequence header.
#include "source_probe.h"

#include "container/container_walk.h"
#include "io/chunk_buffer.h"
#include "io/file_io.h"
#include "io/pump.h"
#include "video/sequence_header.h"

#include <optional>

namespace veltrane {

namespace {

// Remembers the header that starts first; in a multiplex that need not be the first one found.
class FirstHeader final : public EditSink {
public:
    void Found(const Site& site) override {
        // Players take a container's own display size first.
        if (site.kind == SiteKind::ContainerField) {
            if (!m_container)
                m_container = site.declared;
            return;
        }
        if (site.offset >= PROBE_RANGE || (m_found && site.offset >= m_offset))
            return;
        m_found = true;
        m_offset = site.offset;
        m_aspect = site.declared;
        m_code = site.kind == SiteKind::Sps ? site.sar.idc : site.patch.before[0] >> 4;
    }

    bool m_found = false;
    std::uint64_t m_offset = 0;
    DeclaredAspect m_aspect = DeclaredAspect::Unknown;
    int m_code = -1;
    std::optional<DeclaredAspect> m_container;
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
    walk.ReadsFrom(file);
    // A header starting inside the range may have its aspect byte a few packets past it. The end of
    // the file, or a read error, ends the probe: what was found counts.
    SequentialSource::Rules rules;
    rules.errorEnds = true;
    rules.limit = PROBE_RANGE + PROBE_SLACK;
    SequentialSource reads(file, buffer.get(), std::move(rules));
    Pump(reads, walk, nullptr, [&] { return !first.m_found; });
    file.Close();
    if (!first.m_found)
        return ProbeOutcome::HeaderNotFound;
    aspectCode = first.m_code;
    return ProbeOutcomeOf(first.m_container.value_or(first.m_aspect));
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
    return UnlessMemoryRunsOut(ProbeOutcome::OutOfMemory, [&] { return Probe(path, aspectCode, failure); });
}

} // namespace veltrane
