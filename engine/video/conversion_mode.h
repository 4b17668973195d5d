// The direction of a conversion: which declared aspect becomes which.
#pragma once

namespace veltrane {

enum class ConversionMode {
    To16x9, // aspect code 2 (4:3) becomes 3 (16:9)
    To4x3,  // aspect code 3 (16:9) becomes 2 (4:3)
};

} // namespace veltrane
