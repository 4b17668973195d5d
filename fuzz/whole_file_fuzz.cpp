// The whole pipeline on a whole file: the scan, the copy and the in-place fix of any bytes. The copy
// differs from the input only at the patches the scan reports (aspect bytes and SPS bytes, a container's
// own fields, and the fix-ups that follow: a CD sector's EDC, a Matroska CRC-32), and the file fixed in
// place is that copy.
#include "conversion_run.h"
#include "fuzz_support.h"
#include "header_scan.h"
#include "in_place_fix.h"
#include "progress_sink.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

using namespace veltrane;

namespace {

class Sites : public ScanSink {
public:
    void Header(const HeaderSite& site) override { found.push_back(site); }
    void Field(const Site& site) override { fields.push_back(site.patch); }
    void FixUp(const Patch& patch) override { fixUps.push_back(patch); }
    std::vector<HeaderSite> found;
    std::vector<Patch> fields;
    std::vector<Patch> fixUps;
};

class Quiet : public ProgressSink {
public:
    void Begin() override {}
    void Position(int) override {}
    void End() override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The last byte picks the direction, so that both are fuzzed without a byte set apart for it.
    const ConversionMode mode =
        size > 0 && (data[size - 1] & 1) != 0 ? ConversionMode::To4x3 : ConversionMode::To16x9;
    const std::string in = fuzz::WriteScratch("input", data, size);
    Sites sites;
    if (ScanFile(in, mode, sites) != RunOutcome::Completed)
        return 0;

    // Each byte the copy may change, with what it must become; an EDC byte may become anything.
    constexpr int ANY = -1;
    std::map<std::uint64_t, int> allowed;
    for (const HeaderSite& site : sites.found) {
        if (site.aspectOffset >= size || site.headerOffset >= size ||
            data[site.aspectOffset] != site.aspectByte)
            fuzz::Finding("a site that is not in the input", site.aspectOffset);
        if (site.rewritten != site.aspectByte)
            allowed[site.aspectOffset] = site.rewritten;
        if (site.sector && site.rewritten != site.aspectByte)
            for (std::uint64_t at = *site.sector + 2348; at < *site.sector + 2352; ++at)
                allowed.emplace(at, ANY);
        for (const Patch& patch : site.patches)
            for (std::uint8_t i = 0; i < patch.size; ++i)
                allowed[patch.offset + i] = patch.after[i];
    }
    for (const Patch& patch : sites.fields) {
        if (patch.offset + patch.size > size)
            fuzz::Finding("a container field that is not in the input", patch.offset);
        for (std::uint8_t i = 0; i < patch.size; ++i)
            if (patch.before[i] != patch.after[i])
                allowed[patch.offset + i] = patch.after[i];
    }
    // A fix-up may be made again as further patches change what it covers: its bytes may be anything.
    for (const Patch& patch : sites.fixUps) {
        if (patch.offset + patch.size > size)
            fuzz::Finding("a fix-up that is not in the input", patch.offset);
        for (std::uint8_t i = 0; i < patch.size; ++i)
            allowed.emplace(patch.offset + i, ANY);
    }

    Quiet quiet;
    RunReport report;
    const std::string out = fuzz::WriteScratch("copy", nullptr, 0);
    if (RunConversion(in, out, mode, quiet, report) != RunOutcome::Completed)
        fuzz::Finding("a copy of a file the scan read whole did not complete");
    const std::vector<std::uint8_t> copy = fuzz::ReadScratch(out);
    if (copy.size() != size)
        fuzz::Finding("the copy has another size", copy.size());
    for (std::size_t at = 0; at < size; ++at) {
        const auto site = allowed.find(at);
        if (site == allowed.end() ? copy[at] != data[at] : site->second != ANY && copy[at] != site->second)
            fuzz::Finding("the copy differs from what the scan reported", at);
    }

    RunReport fixReport;
    const std::string fixed = fuzz::WriteScratch("fixed", data, size);
    if (FixInPlace(fixed, mode, quiet, fixReport) != RunOutcome::Completed)
        fuzz::Finding("an in-place fix of a file the scan read whole did not complete");
    if (fuzz::ReadScratch(fixed) != copy)
        fuzz::Finding("the file fixed in place is not the copy");
    return 0;
}
