// The IFO layout as libdvdread's ifo_types.h documents it: big-endian fields, 2,048-byte sectors.
#include "disc/ifo_attributes.h"

#include "io/file_io.h"

#include <cstring>

namespace veltrane::disc {

namespace {

constexpr std::size_t SECTOR = 2048;
// A table of contents and its attributes never come near this; a bigger file is no IFO.
constexpr std::int64_t MAX_IFO = 16 << 20;
constexpr std::size_t LAST_SECTOR = 0x1C;      // the IFO's own last sector
constexpr std::size_t VERSION = 0x20;          // 0, then the DVD-Video version, 0x1m
constexpr std::size_t TITLE_SETS = 0x3E;       // the video manager's count of title sets
constexpr std::size_t ATTRIBUTE_TABLE = 0xD0;  // its title set attribute table's sector
constexpr std::size_t MENU_ATTRIBUTE = 0x100;  // the menus' video attribute, in either file
constexpr std::size_t TITLE_ATTRIBUTE = 0x200; // a title set's titles' video attribute
// In the attribute table's entry for a title set: its menus' and its titles' video attributes.
constexpr std::size_t ENTRY_MENUS = 8;
constexpr std::size_t ENTRY_TITLES = 0x108;

std::uint32_t Be(const std::vector<std::uint8_t>& b, std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    return v;
}

IfoFault Parse(IfoImage& image) {
    const std::vector<std::uint8_t>& b = image.bytes;
    if (b.size() < SECTOR)
        return b.size() >= 12 && std::memcmp(b.data(), "DVDVIDEO-", 9) == 0 ? IfoFault::Truncated
                                                                            : IfoFault::NotIfo;
    if (std::memcmp(b.data(), image.manager ? "DVDVIDEO-VMG" : "DVDVIDEO-VTS", 12) != 0)
        return IfoFault::NotIfo;
    if (b[VERSION] != 0 || (b[VERSION + 1] & 0xF0) != 0x10)
        return IfoFault::OtherVersion;
    if ((static_cast<std::uint64_t>(Be(b, LAST_SECTOR, 4)) + 1) * SECTOR > b.size())
        return IfoFault::Truncated;
    const auto add = [&](std::size_t at, VobGroup group) {
        image.attributes.push_back({static_cast<std::uint32_t>(at), group, b[at]});
    };
    if (!image.manager) {
        add(MENU_ATTRIBUTE, {image.titleSet, true});
        add(TITLE_ATTRIBUTE, {image.titleSet, false});
        return IfoFault::None;
    }
    add(MENU_ATTRIBUTE, {0, true});
    image.titleSets = static_cast<int>(Be(b, TITLE_SETS, 2));
    const std::size_t table = static_cast<std::size_t>(Be(b, ATTRIBUTE_TABLE, 4)) * SECTOR;
    const auto count = static_cast<std::size_t>(image.titleSets);
    if (count < 1 || count > 99 || table == 0 || table + 8 + 4 * count > b.size() || Be(b, table, 2) != count)
        return IfoFault::Damaged;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = Be(b, table + 8 + 4 * i, 4);
        if (offset < 8 + 4 * count || table + offset + ENTRY_TITLES + 2 > b.size())
            return IfoFault::Damaged;
        add(table + offset + ENTRY_MENUS, {static_cast<int>(i) + 1, true});
        add(table + offset + ENTRY_TITLES, {static_cast<int>(i) + 1, false});
    }
    return IfoFault::None;
}

} // namespace

AttributeAspect VideoAttribute::Aspect() const {
    switch ((first >> 2) & 3) {
    case 0:
        return AttributeAspect::Ratio4x3;
    case 3:
        return AttributeAspect::Ratio16x9;
    default:
        return AttributeAspect::Other;
    }
}

const char* IfoFaultText(IfoFault fault) {
    switch (fault) {
    case IfoFault::None:
        return "ok";
    case IfoFault::Unreadable:
        return "can't read the IFO file";
    case IfoFault::Truncated:
        return "the IFO file is cut short";
    case IfoFault::NotIfo:
        return "not a DVD-Video IFO file";
    case IfoFault::OtherVersion:
        return "an IFO file of a DVD-Video version other than 1.x";
    case IfoFault::Damaged:
        return "the IFO file is damaged (a table points outside it)";
    }
    return "not a DVD-Video IFO file";
}

IfoFault LoadIfo(const std::string& path, bool manager, int titleSet, IfoImage& image) {
    io::FailureReason failure;
    return LoadIfo(path, manager, titleSet, image, failure);
}

IfoFault LoadIfo(const std::string& path, bool manager, int titleSet, IfoImage& image,
                 io::FailureReason& failure) {
    image = IfoImage{};
    image.manager = manager;
    image.titleSet = titleSet;
    io::File file = io::OpenForSequentialRead(path);
    if (!file.IsOpen()) {
        failure = file.Failure();
        return IfoFault::Unreadable;
    }
    const std::optional<std::int64_t> size = file.Size();
    if (!size || *size > MAX_IFO) {
        failure = file.Failure();
        return size ? IfoFault::NotIfo : IfoFault::Unreadable;
    }
    image.bytes.resize(static_cast<std::size_t>(*size));
    if (!file.ReadAllAt(image.bytes.data(), image.bytes.size(), 0)) {
        failure = file.Failure();
        return IfoFault::Unreadable;
    }
    return Parse(image);
}

std::uint8_t WithAspect(std::uint8_t first, AttributeAspect target) {
    if (VideoAttribute{0, {}, first}.Aspect() == target || target == AttributeAspect::Other)
        return first;
    const auto kept = static_cast<std::uint8_t>(first & 0xF0); // MPEG version, TV system
    return target == AttributeAspect::Ratio4x3 ? static_cast<std::uint8_t>(kept | 0x03)
                                               : static_cast<std::uint8_t>(kept | 0x0C);
}

std::vector<std::uint8_t> Retargeted(const IfoImage& image, const std::vector<AttributeTarget>& targets) {
    std::vector<std::uint8_t> bytes = image.bytes;
    for (const VideoAttribute& attribute : image.attributes)
        for (const AttributeTarget& target : targets)
            if (target.group == attribute.group)
                bytes[attribute.offset] = WithAspect(attribute.first, target.aspect);
    return bytes;
}

} // namespace veltrane::disc
