// Times every header search this processor can run over real stream bytes, the way a run walks a
// buffer-full: find, step one byte past the start code, find again.
// Usage: search_bench <sample> [rounds]   (searches the sample's first 256 MiB, held in memory)
#include "conversion_run.h"
#include "video/sequence_header.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <time.h>
#include <vector>

namespace {

// CPU time of this thread: the machine is shared, and time spent waiting for a core is not the
// search's own.
double ThreadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Start codes found over the whole sample, one CHUNK_SIZE slice at a time. Each slice is first copied
// into one buffer, as a run's read does, so that the search meets the bytes as warm in the caches as
// in a run; only the search is timed, and its CPU seconds are added to `seconds`.
std::uint64_t CountHeaders(const veltrane::detail::SearchVariant& variant,
                           const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& buffer,
                           double& seconds) {
    std::uint64_t found = 0;
    for (std::size_t at = 0; at < data.size(); at += veltrane::CHUNK_SIZE) {
        const std::size_t size = std::min<std::size_t>(veltrane::CHUNK_SIZE, data.size() - at);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), size, buffer.begin());
        const double start = ThreadSeconds();
        const std::uint8_t* cursor = buffer.data();
        auto left = static_cast<std::uint32_t>(size);
        while (variant.find(cursor, left)) {
            ++found;
            ++cursor;
            --left;
        }
        seconds += ThreadSeconds() - start;
    }
    return found;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s <sample> [rounds]\n", argv[0]);
        return 2;
    }
    const int rounds = argc == 3 ? std::atoi(argv[2]) : 7;
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<std::uint8_t> data(256u << 20);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    if (data.empty() || rounds < 1) {
        std::fprintf(stderr, "search_bench: nothing to read in %s, or no rounds\n", argv[1]);
        return 2;
    }
    const double gib = static_cast<double>(data.size()) / (1u << 30);
    const std::size_t b3 = static_cast<std::size_t>(std::count(data.begin(), data.end(), 0xB3));
    std::printf("%s: %zu bytes, a B3 byte every %.0f bytes\n", argv[1], data.size(),
                b3 ? static_cast<double>(data.size()) / static_cast<double>(b3) : 0.0);

    const auto variants = veltrane::detail::RunnableSearches();
    std::vector<std::vector<double>> seconds(variants.size());
    std::vector<std::uint8_t> buffer(veltrane::CHUNK_SIZE);
    double unused = 0;
    const std::uint64_t expected = CountHeaders(variants.back(), data, buffer, unused);
    for (int round = 0; round < rounds; ++round) {
        // Each round starts with a different variant, so that none always runs first.
        for (std::size_t k = 0; k < variants.size(); ++k) {
            const std::size_t v = (k + static_cast<std::size_t>(round)) % variants.size();
            double searching = 0;
            const std::uint64_t found = CountHeaders(variants[v], data, buffer, searching);
            seconds[v].push_back(searching);
            if (found != expected) {
                std::fprintf(stderr, "search_bench: %s found %llu start codes, memchr %llu\n",
                             variants[v].name, static_cast<unsigned long long>(found),
                             static_cast<unsigned long long>(expected));
                return 1;
            }
        }
    }
    const double baseline = Median(seconds.back());
    std::printf("%llu start codes; medians of %d rounds, per GiB searched:\n",
                static_cast<unsigned long long>(expected), rounds);
    for (std::size_t v = 0; v < variants.size(); ++v) {
        const double median = Median(seconds[v]);
        std::printf("  %-7s %.4f s/GiB  ratio to %s %.2f%s\n", variants[v].name, median / gib,
                    variants.back().name, median / baseline, v == 0 ? "  (the one runs use)" : "");
    }
    return 0;
}
