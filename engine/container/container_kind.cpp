// The names reports give each kind of file.
#include "container/container_kind.h"

namespace veltrane {

ContainerKindNames NamesOf(ContainerKind kind) {
    switch (kind) {
    case ContainerKind::Elementary:
        break;
    case ContainerKind::ProgramStream:
        return {"program", "program stream"};
    case ContainerKind::TransportStream188:
        return {"transport", "transport stream"};
    case ContainerKind::TransportStream192:
        return {"transport-192", "transport stream (192-byte packets)"};
    case ContainerKind::CdXaFile:
        return {"cd-xa", "CD-XA program stream"};
    case ContainerKind::CdImage:
        return {"cd-image", "CD image program stream (2,352-byte sectors)"};
    case ContainerKind::Matroska:
        return {"matroska", "Matroska"};
    case ContainerKind::Avi:
        return {"avi", "AVI"};
    case ContainerKind::Mp4:
        return {"mp4", "MP4/QuickTime"};
    }
    return {"elementary", "elementary stream"};
}

} // namespace veltrane
