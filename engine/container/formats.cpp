// The format table: one line a container format, tried in this order on a file's first buffer-full.
#include "container/container_format.h"
#include "container/program_stream.h"
#include "container/transport_stream.h"

namespace veltrane {

std::unique_ptr<ContainerFormat> RecogniseCdXaFile(const std::uint8_t* data, std::uint32_t size);
std::unique_ptr<ContainerFormat> RecogniseCdImage(const std::uint8_t* data, std::uint32_t size);
std::unique_ptr<ContainerFormat> RecogniseAnnexBStream(const std::uint8_t* data, std::uint32_t size);
std::unique_ptr<ContainerFormat> RecogniseMatroska(const std::uint8_t* data, std::uint32_t size);
std::unique_ptr<ContainerFormat> RecogniseAvi(const std::uint8_t* data, std::uint32_t size);
std::unique_ptr<ContainerFormat> RecogniseBmff(const std::uint8_t* data, std::uint32_t size);

namespace {

class RefusedFormat final : public ContainerFormat {
public:
    RefusedFormat(ContainerKind kind, std::string reason) : m_kind(kind), m_reason(std::move(reason)) {}
    ContainerKind Kind() const override { return m_kind; }
    bool MayRefuse() const override { return true; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t*, std::uint32_t, std::uint32_t size, bool) override {
        core.Refuse(m_reason);
        return size;
    }

private:
    ContainerKind m_kind;
    std::string m_reason;
};

} // namespace

std::unique_ptr<ContainerFormat> MakeRefusedFormat(ContainerKind kind, std::string reason) {
    return std::make_unique<RefusedFormat>(kind, std::move(reason));
}

namespace {

// Sectors first: their user data hold packs a program stream's test would take. A raw H.264/HEVC
// stream only after the transport stream, whose 192-byte packets' timestamps may read as a start code.
// A file none of these take is read as plain bytes (an elementary stream), with a stream behind leading
// bytes still found.
// clang-format off
constexpr Recognise FORMATS[] = {
    &RecogniseMatroska,
    &RecogniseAvi,
    &RecogniseCdXaFile,
    &RecogniseCdImage,
    &RecogniseTransportStream,
    &RecogniseAnnexBStream,
    &RecogniseProgramStream,
    &RecogniseBmff,
};
// clang-format on

} // namespace

const Recognise* FormatTable(std::size_t& count) {
    count = std::size(FORMATS);
    return FORMATS;
}

} // namespace veltrane
