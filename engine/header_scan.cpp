// The scan: the run's walk over a whole file, reporting instead of writing.
#include "header_scan.h"

#include "conversion_run.h"
#include "file_io.h"
#include "sequence_header.h"

#include <cstring>
#include <memory>
#include <new>

namespace veltrane {

RunOutcome ScanFile(const std::string& path, ConversionMode mode, ScanSink& sink) {
    io::File source = io::OpenForSequentialRead(path);
    if (!source.IsOpen())
        return RunOutcome::SourceOpenFailed;
    const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[CHUNK_SIZE]);
    if (!buffer)
        return RunOutcome::OutOfMemory;
    const std::optional<std::int64_t> size = source.Size();
    if (!size)
        return RunOutcome::SizeUnavailable;

    std::uint8_t* const data = buffer.get();
    const std::int64_t total = *size;
    std::int64_t remaining = total;
    std::uint64_t base = 0; // file offset of data[0]
    std::uint32_t carry = 0;
    bool told = false;
    for (;;) {
        const std::int64_t got = remaining > 0 ? source.ReadSome(data + carry, CHUNK_SIZE - carry) : 0;
        if (got < 0)
            return RunOutcome::ReadFailed;
        if (!told) {
            sink.Container(ContainerKind::Elementary);
            told = true;
        }
        if (got == 0)
            break;
        remaining -= got;
        const std::uint32_t len = carry + static_cast<std::uint32_t>(got);
        const std::uint8_t* cursor = data;
        std::uint32_t left = len;
        std::uint32_t keep = len < USABLE_HEADER_SIZE ? len : 3;
        while (left >= USABLE_HEADER_SIZE && FindSequenceHeader(cursor, left)) {
            if (left < USABLE_HEADER_SIZE) {
                keep = left;
                break;
            }
            HeaderSite site;
            site.headerOffset = base + static_cast<std::uint64_t>(cursor - data);
            site.aspectOffset = site.headerOffset + ASPECT_BYTE_OFFSET;
            site.aspectByte = cursor[ASPECT_BYTE_OFFSET];
            site.rewritten = RewriteAspectByte(site.aspectByte, mode);
            sink.Header(site);
            ++cursor;
            --left;
            keep = left < USABLE_HEADER_SIZE ? left : 3;
        }
        sink.Position(ProgressPosition(total, remaining));
        if (sink.StopRequested())
            return RunOutcome::Cancelled;
        std::memmove(data, data + len - keep, keep);
        base += len - keep;
        carry = keep;
    }
    return RunOutcome::Completed;
}

} // namespace veltrane
