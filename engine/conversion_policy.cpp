// The decisions every front end makes alike.
#include "conversion_policy.h"

#include "header_scan.h"
#include "source_probe.h"

namespace veltrane {

std::optional<ConversionMode> ChooseMode(AspectTarget target, ProbeOutcome probed) {
    switch (target) {
    case AspectTarget::To16x9:
        return ConversionMode::To16x9;
    case AspectTarget::To4x3:
        return ConversionMode::To4x3;
    case AspectTarget::Flip:
        break;
    }
    if (probed == ProbeOutcome::Aspect4x3)
        return ConversionMode::To16x9;
    if (probed == ProbeOutcome::Aspect16x9)
        return ConversionMode::To4x3;
    return std::nullopt;
}

namespace {

class FirstHeader final : public ScanSink {
public:
    explicit FirstHeader(const std::function<bool()>& stop) : m_stop(stop) {}
    void Header(const HeaderSite& site) override {
        if (m_found)
            return;
        m_found = site;
    }
    bool StopRequested() override { return m_found.has_value() || (m_stop && m_stop()); }

    std::optional<HeaderSite> m_found;

private:
    const std::function<bool()>& m_stop;
};

} // namespace

ProbeOutcome ProbeForConversion(const std::string& path, int& aspectCode, FailureReason& failure,
                                const std::function<bool()>& stop) {
    const ProbeOutcome head = ProbeSourceAspect(path, aspectCode, failure);
    if (head != ProbeOutcome::HeaderNotFound)
        return head;
    FirstHeader first(stop);
    ScanFile(path, ConversionMode::To16x9, first);
    if (!first.m_found)
        return ProbeOutcome::HeaderNotFound;
    aspectCode =
        first.m_found->kind == SiteKind::Sps ? first.m_found->sar.idc : first.m_found->aspectByte >> 4;
    return ProbeOutcomeOf(first.m_found->declared);
}

} // namespace veltrane
