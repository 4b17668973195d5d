// Walks a whole file without writing anything and tells where every sequence header's aspect byte is.
#pragma once

#include "container/container_kind.h"
#include "outcomes.h"
#include "video/conversion_mode.h"
#include "video/patch.h"
#include "video/sequence_header.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

namespace io {
class File;
}

// One sequence header as a run in the scan's mode would meet it.
struct HeaderSite {
    std::uint64_t headerOffset = 0; // file offset of the first byte of its 00 00 01 B3 start code
    std::uint64_t aspectOffset = 0; // file offset of the byte holding its aspect code; in a multiplex it
                                    // may lie packets away from the start code
    std::uint8_t aspectByte = 0;    // that byte as the file has it
    std::uint8_t rewritten = 0;     // what the run writes there; equal to aspectByte where it leaves it
    bool mpeg1 = false;             // the code is MPEG-1's pel aspect ratio, read against the header's size
    DeclaredAspect declared = DeclaredAspect::Unknown; // the shape the header declares, by the rule of
                                                       // its stream's MPEG-1 or MPEG-2
    // In raw CD sectors, the file offset of the 2,352-byte sector holding the aspect byte: a run that
    // changes the byte also stores the sector's new EDC.
    std::optional<std::uint64_t> sector;

    // An H.264 or HEVC SPS instead of a sequence header: headerOffset is its NAL header's offset, and
    // the fields above tell its first patch. Its sample aspect as coded (idc 0 where it has none) and
    // as the run leaves it, its picture size after cropping, and every byte the run writes.
    SiteKind kind = SiteKind::SequenceHeader;
    VideoCodec codec = VideoCodec::Mpeg12;
    SampleAspect sar;
    SampleAspect sarAfter;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<Patch> patches; // an SPS's; empty for a sequence header
    // A scan without a mode: why a run to each shape (by ConversionMode) would refuse the SPS, if it
    // would, and the bits it would need.
    std::array<AspectRefusal, 2> refusalTo{};
    std::array<std::int16_t, 2> bitsTo{};
};

// Told what the scan finds, on the caller's thread.
class ScanSink {
public:
    virtual ~ScanSink() = default;
    // After the first read, before any header; again if a stream is found behind leading bytes.
    // `mayRefuse`: the walk may yet find what cannot be converted as asked.
    virtual void Container(ContainerKind) {}
    virtual void MayRefuse() {}
    // Every header whose aspect byte is in the file. Within one stream in file order; a multiplex's
    // streams may interleave, and a stream's first header can come a little after other streams'.
    virtual void Header(const HeaderSite& site) = 0;
    // Bytes the run rewrites because an aspect byte changed what they cover: a CD sector's EDC, told
    // once every change in the sector is known.
    virtual void FixUp(const Patch&) {}
    // A container's own aspect field (a display size), and what the run makes of it.
    virtual void Field(const Site&) {}
    // A video stream carries AFD codes, told once per stream that does.
    virtual void CarriesAfd() {}
    // Why the file cannot be converted as asked; the scan then ends as Refused.
    virtual void Refused(const std::string&) {}
    // After every buffer-full, 0..PROGRESS_MAX, as a run reports it.
    virtual void Position(int) {}
    // Asked after every buffer-full: true ends the scan as Cancelled.
    virtual bool StopRequested() { return false; }
    // The scan reads for a fix in place, whose file cannot grow: a format then refuses what only a copy
    // can do (move a Matroska track list to the end).
    virtual bool InPlace() const { return false; }
};

// Completed, SourceOpenFailed, OutOfMemory, SizeUnavailable, ReadFailed or Cancelled; never touches a
// destination. Sites are exactly the bytes RunConversion with the same mode would rewrite or leave.
// Without a mode the scan only reads: nothing is rewritten, nothing refused, and each SPS tells what a
// run either way would make of it.
RunOutcome ScanFile(const std::string& path, std::optional<ConversionMode> mode, ScanSink& sink);
// The same on a file already open for reading, from its present position: the in-place fix reads
// through the one handle it writes through, which some platforms' sharing rules require.
RunOutcome ScanFile(io::File& source, std::optional<ConversionMode> mode, ScanSink& sink);

} // namespace veltrane
