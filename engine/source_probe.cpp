// Reads the head of a file and classifies the aspect code of its first sequence header.
#include "source_probe.h"

#include "chunk_buffer.h"
#include "conversion_run.h"
#include "file_io.h"
#include "sequence_header.h"

namespace veltrane {

ProbeOutcome ProbeSourceAspect(const std::string& path) {
    const ChunkBuffer buffer = AllocateChunk();
    if (!buffer)
        return ProbeOutcome::OutOfMemory;
    io::File file = io::OpenForSequentialRead(path);
    if (!file.IsOpen())
        return ProbeOutcome::OpenFailed;
    // One read only: a header beyond the first buffer-full does not count.
    const std::int64_t got = file.ReadSome(buffer.get(), CHUNK_SIZE);
    file.Close();
    if (got <= 0)
        return ProbeOutcome::HeaderNotFound;

    const std::uint8_t* cursor = buffer.get();
    auto left = static_cast<std::uint32_t>(got);
    if (!FindSequenceHeader(cursor, left) || left < USABLE_HEADER_SIZE)
        return ProbeOutcome::HeaderNotFound;
    switch (ClassifyAspectByte(cursor[ASPECT_BYTE_OFFSET])) {
    case DeclaredAspect::Ratio4x3:
        return ProbeOutcome::Aspect4x3;
    case DeclaredAspect::Ratio16x9:
        return ProbeOutcome::Aspect16x9;
    case DeclaredAspect::Unknown:
        break;
    }
    return ProbeOutcome::AspectUnknown;
}

} // namespace veltrane
