// The format table: one line a container format, tried in this order on a file's first buffer-full.
#include "container/container_format.h"
#include "container/program_stream.h"
#include "container/transport_stream.h"

namespace veltrane {

std::unique_ptr<ContainerFormat> RecogniseCdXaFile(const std::uint8_t* data, std::uint32_t size);
std::unique_ptr<ContainerFormat> RecogniseCdImage(const std::uint8_t* data, std::uint32_t size);
std::unique_ptr<ContainerFormat> RecogniseAnnexBStream(const std::uint8_t* data, std::uint32_t size);

namespace {

// Sectors first: their user data hold packs a program stream's test would take. A raw H.264/HEVC
// stream only after the transport stream, whose 192-byte packets' timestamps may read as a start code. A file
// none of these take is read as plain bytes (an elementary stream), with a stream behind leading bytes still
// found.
constexpr Recognise FORMATS[] = {
    &RecogniseCdXaFile,     &RecogniseCdImage,       &RecogniseTransportStream,
    &RecogniseAnnexBStream, &RecogniseProgramStream,
};

} // namespace

const Recognise* FormatTable(std::size_t& count) {
    count = std::size(FORMATS);
    return FORMATS;
}

} // namespace veltrane
