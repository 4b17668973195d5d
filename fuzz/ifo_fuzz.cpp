// The IFO reader on any bytes: a file it accepts is rewritten only in its attributes' first bytes.
#include "disc/ifo_attributes.h"
#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>

using namespace veltrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::WriteScratch("input.ifo", data, size);
    // Both kinds of IFO read the same bytes; the identifier picks the one that can accept them.
    for (const bool manager : {true, false}) {
        disc::IfoImage image;
        if (disc::LoadIfo(path, manager, 1, image) != disc::IfoFault::None)
            continue;
        if (image.bytes.size() != size)
            fuzz::Finding("the image is not the whole file", image.bytes.size());
        std::vector<disc::AttributeTarget> targets;
        for (const disc::VideoAttribute& attribute : image.attributes) {
            if (attribute.offset >= size)
                fuzz::Finding("an attribute outside the file", attribute.offset);
            targets.push_back({attribute.group, (attribute.offset & 1) != 0
                                                    ? disc::AttributeAspect::Ratio16x9
                                                    : disc::AttributeAspect::Ratio4x3});
        }
        const std::vector<std::uint8_t> rewritten = disc::Retargeted(image, targets);
        if (rewritten.size() != size)
            fuzz::Finding("the rewritten file has another size", rewritten.size());
        for (std::size_t at = 0; at < size; ++at) {
            if (rewritten[at] == data[at])
                continue;
            bool site = false;
            for (const disc::VideoAttribute& attribute : image.attributes)
                site = site || attribute.offset == at;
            if (!site)
                fuzz::Finding("a byte changed outside the attributes", at);
        }
    }
    return 0;
}
