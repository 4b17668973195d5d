// The edit both conversions make: each header's aspect code rewritten in the buffer as the walk meets it.
#include "header_rewriter.h"

#include "io/copy_writer.h"
#include "video/aspect_rule.h"

namespace veltrane {

void HeaderRewriter::Found(const FoundHeader& header) {
    const std::uint8_t rewritten = RewriteHeader(header, m_mode);
    ++m_report.headersFound;
    if (rewritten == *header.aspect)
        return;
    *header.aspect = rewritten;
    ++m_report.headersRewritten;
    if (m_out != nullptr)
        m_out->NoteRewritten(static_cast<std::int64_t>(header.aspectOffset));
}

void HeaderRewriter::Rewrote(std::uint64_t offset, std::uint32_t size) {
    if (m_out == nullptr)
        return;
    for (std::uint32_t i = 0; i < size; ++i)
        m_out->NoteRewritten(static_cast<std::int64_t>(offset + i));
}

} // namespace veltrane
