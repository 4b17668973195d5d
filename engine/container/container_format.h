// What every container format gives the walk: its own bytes read as structure, its streams' payloads
// handed to their codecs' scanners, and the fix-ups its structure needs when a patch changes it.
#pragma once

#include "container/container_kind.h"
#include "video/codec_scanner.h"
#include "video/conversion_mode.h"
#include "video/patch.h"
#include "video/stream_search.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

namespace io {
class File;
}
class ContainerFormat;

// The walk's services to the format it runs: the buffer-full, the sink, and the plain search that
// takes the bytes wherever the format's structure is lost.
class WalkCore {
public:
    virtual WalkBuffer& Buffer() = 0;
    virtual HeaderSink& Sink() = 0;
    // File offset of data[0] in this call, and the bytes there.
    virtual std::uint64_t Base() const = 0;
    virtual std::uint32_t BufferSize() const = 0;
    // The furthest a structure may be held back in the buffer.
    virtual std::uint32_t HoldLimit() const = 0;
    // Searches data[from, to) as plain bytes, joined to the plain bytes searched before.
    virtual void Plain(std::uint8_t* data, std::uint32_t from, std::uint32_t to) = 0;
    // The same, for the plain bytes before a place where the structure lines up again: the plain
    // search starts afresh after them.
    virtual void PlainUntilResync(std::uint8_t* data, std::uint32_t from, std::uint32_t to) = 0;
    // The plain bytes break here: nothing searched so far joins what comes next.
    virtual void ForgetPlain() = 0;
    // The file itself, for a format that must read its index before its data (MP4's moov may lie at
    // the end); null for a pipe.
    virtual const io::File* Source() const = 0;
    // The mode the walk converts to; nothing when it only reports.
    virtual std::optional<ConversionMode> Mode() const = 0;
    // The file holds what cannot be converted as asked: the walk stops, and the run fails saying why.
    virtual void Refuse(std::string reason) = 0;
    // A patch of the format's own (a display size, a checksum), applied in the buffer where it lies
    // there, or told as behind it; then told to the format's fix-ups, as every patch is.
    virtual void Apply(const Site& site) = 0;
    virtual void ApplyFixUp(Patch patch) = 0;
    // Hands the rest of the file, from where the calling format stopped, to `next`.
    virtual void SwitchTo(std::unique_ptr<ContainerFormat> next) = 0;
    // Whether the output may run on past the source's last byte: a copy, or what a copy would do, but
    // never a fix in place, whose file keeps its size.
    virtual bool MayAppend() const = 0;
    // Bytes the output takes after the source's last byte, which lies at file offset `at`. Patches there
    // are applied to them as patches in the buffer are.
    virtual void Append(std::uint64_t at, std::vector<std::uint8_t> bytes) = 0;
    // The appended bytes at [offset, offset + size), or null where they are not.
    virtual std::uint8_t* Appended(std::uint64_t offset, std::uint64_t size) = 0;

protected:
    ~WalkCore() = default;
};

class ContainerFormat {
public:
    virtual ~ContainerFormat() = default;

    virtual ContainerKind Kind() const = 0;
    // Walks data[from, size): the bytes before `from` were walked by an earlier call. Returns how far
    // it got; the bytes from there (a packet or header cut by the buffer's edge) come again at the
    // front of the next call. `last`: no more bytes will come. A format that calls SwitchTo returns
    // where the next format begins.
    virtual std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                               bool last) = 0;
    // Whether the walk may yet find what cannot be converted as asked (a codec whose rewrite can need
    // more bits, a container that can be damaged past repair): an in-place fix then reads the whole
    // file before it writes a byte.
    virtual bool MayRefuse() const { return false; }
    // Every stream scanner the format keeps, for the walk to settle what waits in them.
    virtual void ForEachStream(const std::function<void(CodecScanner&)>& /*f*/) {}

    // Fix-ups: a patch changed bytes at patch.offset, which lie in the buffer (core.Buffer()) with the
    // patch applied; bytes of the format's own that cover them (a CD sector's EDC) are rewritten there
    // and told to the sink, at once, so that a run stopped at any point leaves them right.
    virtual void Patched(WalkCore& /*core*/, const Patch& /*patch*/, EditSink& /*sink*/) {}
    // Where a hand-back of the buffer may end: never inside a unit whose fix-up may still change.
    virtual std::uint32_t HoldBoundary(WalkCore& /*core*/, std::uint32_t hold) const { return hold; }
    // The file offset of the unit whose fix-up covers the byte at `offset`, if any.
    virtual std::optional<std::uint64_t> FixUpUnit(std::uint64_t /*offset*/) const { return std::nullopt; }
};

// A format recognises its file from the first buffer-full, and gives the walker that reads it.
using Recognise = std::unique_ptr<ContainerFormat> (*)(const std::uint8_t* data, std::uint32_t size);

// The formats' recognisers in the order they are tried; a file none of them takes is read as plain
// bytes.
const Recognise* FormatTable(std::size_t& count);
// A file its format recognises but refuses as a whole (an encrypted track): the walk ends at once.
std::unique_ptr<ContainerFormat> MakeRefusedFormat(ContainerKind kind, std::string reason);
// The walker of a file no format takes: plain bytes, watching for a stream behind leading bytes.
std::unique_ptr<ContainerFormat> MakeElementaryWalk();

} // namespace veltrane
