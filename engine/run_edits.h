// What a copy does with the walk's edits: counts them, and tells the block-sharing writer which bytes
// now differ from the source's.
#pragma once

#include "run_report.h"
#include "video/patch.h"

#include <vector>

namespace veltrane {

class CopyWriter;
namespace io {
class File;
}

// The walk has applied every patch in the buffer already; a copy that shares the source's blocks must
// still be told of them, a stream's copy has none to tell.
class RunEdits final : public EditSink {
public:
    explicit RunEdits(RunReport& report, CopyWriter* out = nullptr) : m_report(report), m_out(out) {}

    void Found(const Site& site) override;
    void FixedUp(const Patch& patch) override;
    void CarriesAfd() override { m_report.carriesAfd = true; }

    // Patches of bytes already handed back, in the order met.
    bool AnyBehind() const { return !m_behind.empty(); }
    // Writes them into the finished copy; false when it refused one.
    bool WriteBehind(io::File& copy) const;

private:
    void Tell(const Patch& patch);

    RunReport& m_report;
    CopyWriter* m_out;
    std::vector<Patch> m_behind;
};

} // namespace veltrane
