// The edit both conversions make: each header's aspect code rewritten in the buffer as the walk meets it.
#pragma once

#include "conversion_run.h"
#include "video/conversion_mode.h"
#include "video/stream_search.h"

#include <cstdint>

namespace veltrane {

class CopyWriter;

// Rewrites each header's aspect code where it lies in the buffer and counts. A copy that shares the
// source's blocks is told which bytes now differ from the source's; a stream's copy has none to tell.
class HeaderRewriter final : public HeaderSink {
public:
    HeaderRewriter(ConversionMode mode, RunReport& report, CopyWriter* out = nullptr)
        : m_mode(mode), m_report(report), m_out(out) {}

    void Found(const FoundHeader& header) override;
    void Rewrote(std::uint64_t offset, std::uint32_t size) override;

private:
    ConversionMode m_mode;
    RunReport& m_report;
    CopyWriter* m_out;
};

} // namespace veltrane
