// The whole pipeline on a whole file: the scan, the copy and the in-place fix of any bytes, each of which
// changes only what the scan reports.
#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>

using namespace veltrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The last byte picks the direction, so that both are fuzzed without a byte set apart for it.
    const ConversionMode mode =
        size > 0 && (data[size - 1] & 1) != 0 ? ConversionMode::To4x3 : ConversionMode::To16x9;
    fuzz::CheckWholeRun(data, size, mode);
    return 0;
}
