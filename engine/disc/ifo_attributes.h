// The video attributes a DVD-Video's IFO files keep for the VOBs they describe, read and rewritten.
#pragma once

#include "io/failure_reason.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::disc {

// The VOBs one video attribute describes.
struct VobGroup {
    int titleSet = 0;  // 0: the video manager (VIDEO_TS.VOB); 1..99: a title set
    bool menus = true; // a title set's menus (VTS_nn_0.VOB), or its titles (VTS_nn_1.VOB on)
    auto operator<=>(const VobGroup&) const = default;
};

enum class AttributeAspect { Ratio4x3, Ratio16x9, Other };

// One video attribute in an IFO file.
struct VideoAttribute {
    std::uint32_t offset = 0; // of its first byte, which holds the aspect and the display modes
    VobGroup group;
    std::uint8_t first = 0;
    AttributeAspect Aspect() const;
};

enum class IfoFault { None, Unreadable, Truncated, NotIfo, OtherVersion, Damaged };
// What the fault is, in the words a refusal names the file with.
const char* IfoFaultText(IfoFault fault);

// An IFO or BUP file as read: the video manager's (VIDEO_TS.IFO), whose title set attribute table
// copies each title set's attributes, or a title set's (VTS_nn_0.IFO).
struct IfoImage {
    bool manager = true;
    int titleSet = 0;  // a title set's number, from its name
    int titleSets = 0; // the video manager's count of them
    std::vector<std::uint8_t> bytes;
    std::vector<VideoAttribute> attributes;
};

// Reads and checks the whole file: its identifier, version 1.x, and that every attribute and table
// the file points at lies inside it.
IfoFault LoadIfo(const std::string& path, bool manager, int titleSet, IfoImage& image);
// The same, also telling the system's reason when the file could not be read (Unreadable).
IfoFault LoadIfo(const std::string& path, bool manager, int titleSet, IfoImage& image,
                 io::FailureReason& failure);

// The attribute's first byte declaring `target`, as an authoring tool marks it: a 4:3 picture permits
// neither automatic pan-scan nor letterbox; a 16:9 one that was 4:3 permits both. One that declares
// `target` already is kept as it is.
std::uint8_t WithAspect(std::uint8_t first, AttributeAspect target);

// The file's bytes with the attributes of the groups in `targets` declaring their target.
struct AttributeTarget {
    VobGroup group;
    AttributeAspect aspect = AttributeAspect::Other;
};
std::vector<std::uint8_t> Retargeted(const IfoImage& image, const std::vector<AttributeTarget>& targets);

} // namespace veltrane::disc
