// Reads a file as the container it is and hands each video stream's payload to its codec's scanner.
#pragma once

#include "container/container_format.h"
#include "container/container_kind.h"
#include "io/chunk_buffer.h"
#include "io/pump.h"
#include "video/conversion_mode.h"
#include "video/patch.h"
#include "video/stream_search.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

// Fed a file buffer-full by buffer-full, it finds every site of every video stream and hands it to
// the sink the moment its bytes are in the buffer, with its patch already applied there. The format
// that reads the file is chosen from the format table by the first buffer-full; it never hands a byte
// of its own structure to a scanner. Where the structure is lost (a damaged packet, garbage between
// packs) the bytes are searched as plain ones until it is found again. A file no format takes is all
// plain bytes: every 00 00 01 B3 with its aspect byte in the file counts, until a transport or program
// stream begins behind leading bytes that hold no sequence header.
//
// Without a mode the walk only reports: every patch leaves its bytes as they are.
class ContainerWalk final : public PumpWalk, private WalkCore {
public:
    // `capacity` is the size of the caller's buffer: what the walk holds back stays well below it.
    explicit ContainerWalk(EditSink& sink, std::optional<ConversionMode> mode = std::nullopt,
                           std::uint32_t capacity = CHUNK_SIZE)
        : m_forwarder(*this, sink, mode), m_sink(sink),
          m_holdLimit(std::min<std::uint32_t>(65536, capacity / 4)) {}
    ContainerWalk(const ContainerWalk&) = delete;
    ContainerWalk& operator=(const ContainerWalk&) = delete;

    // The next bytes of the file at data[0..size): those held back by the previous call, then new
    // ones. Returns how many at the end it holds back (a packet or header cut by the buffer's edge, or
    // a stream's first header until the bytes after it tell its MPEG version): the caller may write
    // out all the others and must give these again at the front of the next call.
    std::uint32_t Walk(std::uint8_t* data, std::uint32_t size) override;
    // The end of the file: data[0..size) is what the last Walk held back. Nothing is held any more.
    void Finish(std::uint8_t* data, std::uint32_t size) override;

    // The file being walked, for formats that read an index first; without it they refuse.
    void ReadsFrom(const io::File& source) { m_source = &source; }
    // The output may run on past the source's end; not for a fix in place.
    void AllowAppending() { m_mayAppend = true; }
    // What the output gets after the source's last byte, once the walk has finished.
    const std::vector<std::uint8_t>& AppendedBytes() const { return m_appended; }

    // Judged from the first bytes walked, or where a stream behind leading bytes begins.
    ContainerKind Kind() const { return m_format ? m_format->Kind() : ContainerKind::Elementary; }
    // The file offset of the unit whose fix-up covers the byte at `offset` (a CD sector and its EDC).
    std::optional<std::uint64_t> FixUpUnit(std::uint64_t offset) const {
        return m_format ? m_format->FixUpUnit(offset) : std::nullopt;
    }
    // Why the file cannot be converted as asked, once the walk has found that.
    const std::optional<std::string>& RefusedBecause() const { return m_refusal; }
    bool Refused() const override { return m_refusal.has_value(); }
    bool MayRefuse() const { return m_format && m_format->MayRefuse(); }

private:
    // Turns each header a scanner finds into a site: the patch the mode calls for, applied in the
    // buffer, told to the format for its fix-ups, then to the sink.
    class Forwarder final : public HeaderSink {
    public:
        Forwarder(ContainerWalk& walk, EditSink& sink, std::optional<ConversionMode> mode)
            : m_walk(walk), m_sink(sink), m_mode(mode) {}
        void Found(const FoundHeader& header) override;
        void FoundParameterSet(const FoundSps& sps) override;
        void FoundAfd() override { m_sink.CarriesAfd(); }
        void StreamLost(VideoCodec codec, std::uint64_t offset) override;
        std::optional<ConversionMode> Mode() const { return m_mode; }

    private:
        ContainerWalk& m_walk;
        EditSink& m_sink;
        std::optional<ConversionMode> m_mode;
    };

    WalkBuffer& Buffer() override { return m_buffer; }
    HeaderSink& Sink() override { return m_forwarder; }
    std::uint64_t Base() const override { return m_base; }
    std::uint32_t BufferSize() const override { return m_bufferSize; }
    std::uint32_t HoldLimit() const override { return m_holdLimit; }
    void Plain(std::uint8_t* data, std::uint32_t from, std::uint32_t to) override;
    void PlainUntilResync(std::uint8_t* data, std::uint32_t from, std::uint32_t to) override;
    void ForgetPlain() override { m_plain.Forget(); }
    std::optional<ConversionMode> Mode() const override { return m_forwarder.Mode(); }
    const io::File* Source() const override { return m_source; }
    void Refuse(std::string reason) override {
        if (!m_refusal)
            m_refusal = std::move(reason);
    }
    void Apply(const Site& site) override;
    void ApplyFixUp(Patch patch) override;
    // Stores the patch where it lies in the buffer, or marks it as behind it.
    bool Store(Patch& patch);
    void SwitchTo(std::unique_ptr<ContainerFormat> next) override { m_next = std::move(next); }
    bool MayAppend() const override { return m_mayAppend && m_source != nullptr; }
    void Append(std::uint64_t at, std::vector<std::uint8_t> bytes) override {
        m_appendAt = at;
        m_appended = std::move(bytes);
    }
    std::uint8_t* Appended(std::uint64_t offset, std::uint64_t size) override;

    std::uint32_t Step(std::uint8_t* data, std::uint32_t size, bool last);
    void Detect(const std::uint8_t* data, std::uint32_t size);

    Forwarder m_forwarder;
    EditSink& m_sink;
    std::uint32_t m_holdLimit;
    std::unique_ptr<ContainerFormat> m_format;
    std::unique_ptr<ContainerFormat> m_next; // asked for by the format during its walk
    std::uint64_t m_base = 0;                // file offset of data[0] in this call
    std::uint32_t m_bufferSize = 0;          // bytes at data in this call
    std::uint64_t m_parsed = 0;              // file offset up to which the walk has read
    StreamSearch m_plain;
    WalkBuffer m_buffer;
    std::optional<std::string> m_refusal;
    const io::File* m_source = nullptr;
    bool m_mayAppend = false;
    std::uint64_t m_appendAt = 0; // file offset of m_appended[0]: the source's size
    std::vector<std::uint8_t> m_appended;
};

} // namespace veltrane
