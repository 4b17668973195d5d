// What a copy does with the walk's edits.
#include "run_edits.h"

#include "io/copy_writer.h"

namespace veltrane {

void RunEdits::Found(const Site& site) {
    ++m_report.headersFound;
    if (!site.Changes())
        return;
    ++m_report.headersRewritten;
    site.ForEachPatch([this](const Patch& patch) { Tell(patch); });
}

void RunEdits::FixedUp(const Patch& patch) {
    Tell(patch);
}

void RunEdits::Tell(const Patch& patch) {
    if (m_out == nullptr)
        return;
    for (std::uint8_t i = 0; i < patch.size; ++i)
        m_out->NoteRewritten(static_cast<std::int64_t>(patch.offset + i));
}

} // namespace veltrane
