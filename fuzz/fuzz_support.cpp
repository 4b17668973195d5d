// The scratch folder and the findings of every fuzz target.
#include "fuzz_support.h"

#include "conversion_run.h"
#include "header_scan.h"
#include "in_place_fix.h"
#include "progress_sink.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <unistd.h>

namespace veltrane::fuzz {

namespace {
// A plain array, so that it outlives the exit handler that removes the folder it names.
char g_folder[64] = {};

void RemoveScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
}

std::string ScratchFolder() {
    if (g_folder[0] == '\0') {
        std::snprintf(g_folder, sizeof g_folder, "%s/veltrane-fuzz-XXXXXX",
                      ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (::mkdtemp(g_folder) == nullptr)
            Finding("no scratch folder");
        std::atexit(RemoveScratch);
    }
    return g_folder;
}

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

std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::string path = ScratchFolder() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush())
        Finding("cannot write the scratch file");
    return path;
}

std::vector<std::uint8_t> ReadScratch(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void CheckWholeRun(const std::uint8_t* data, std::size_t size, ConversionMode mode) {
    const std::string in = fuzz::WriteScratch("input", data, size);
    Sites sites;
    if (ScanFile(in, mode, sites) != RunOutcome::Completed)
        return;

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
}

void Finding(const char* what, std::uint64_t at) {
    std::fprintf(stderr, "veltrane fuzz finding: %s (at %llu)\n", what, static_cast<unsigned long long>(at));
    std::abort();
}

} // namespace veltrane::fuzz
