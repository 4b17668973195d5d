// What a copy does with the walk's edits.
#include "run_edits.h"

#include "io/copy_writer.h"
#include "io/file_io.h"

namespace veltrane {

void RunEdits::Found(const Site& site) {
    const bool changes = site.Changes();
    if (site.kind == SiteKind::ContainerField) {
        m_report.fieldsRewritten += changes ? 1 : 0;
    } else {
        ++m_report.headersFound;
        m_report.spsFound += site.kind == SiteKind::Sps ? 1 : 0;
        m_report.headersRewritten += changes ? 1 : 0;
    }
    if (changes)
        site.ForEachPatch([this](const Patch& patch) { Tell(patch); });
}

bool RunEdits::WriteBehind(io::File& copy) const {
    for (const Patch& patch : m_behind) {
        if (!copy.WriteAllAt(patch.after.data(), patch.size, static_cast<std::int64_t>(patch.offset)))
            return false;
    }
    return true;
}

void RunEdits::FixedUp(const Patch& patch) {
    Tell(patch);
}

void RunEdits::Tell(const Patch& patch) {
    if (patch.behind) {
        m_behind.push_back(patch);
        return;
    }
    if (m_out == nullptr)
        return;
    for (std::uint8_t i = 0; i < patch.size; ++i)
        m_out->NoteRewritten(static_cast<std::int64_t>(patch.offset + i));
}

} // namespace veltrane
