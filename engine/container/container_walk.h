// Reads a file as the multiplex it is and hands each video stream's payload to the header search.
#pragma once

#include "container/container_kind.h"
#include "container/pes_header.h"
#include "io/chunk_buffer.h"
#include "video/stream_search.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace veltrane {

// 00 00 01 BA followed by the marker bits of an MPEG-1 or MPEG-2 pack header; reads five bytes.
bool IsPackHeaderStart(const std::uint8_t* p);

// Fed a file buffer-full by buffer-full, it finds every sequence header of every video stream and
// hands each to the sink the moment its aspect byte is in the buffer. It never hands over a byte of
// a transport packet header, an adaptation field, a pack or system header or a PES header. Where the
// structure is lost (a damaged packet, garbage between packs) it searches plain bytes until it is
// found again. An elementary stream, or any file that is no transport or program stream, is all
// plain bytes: every 00 00 01 B3 with its aspect byte in the file counts, as it always has, until a
// transport or program stream begins behind leading bytes that hold no sequence header.
//
// In raw CD sectors (a RIFF "CDXA" file, a .bin image) the user data of the Form 2 sectors is the
// program stream; no byte of a sector's sync, header, subheader or EDC is handed over, and a sector is
// only ever handed back whole, so that once it is final the walk stores the EDC its new bytes call for.
class ContainerWalk {
public:
    // `capacity` is the size of the caller's buffer: what the walk holds back stays well below it.
    explicit ContainerWalk(HeaderSink& sink, std::uint32_t capacity = CHUNK_SIZE)
        : m_sink(sink, *this), m_holdLimit(std::min<std::uint32_t>(65536, capacity / 4)) {}
    ContainerWalk(const ContainerWalk&) = delete;
    ContainerWalk& operator=(const ContainerWalk&) = delete;

    // The next bytes of the file at data[0..size): those held back by the previous call, then new
    // ones. Returns how many at the end it holds back (a packet or header cut by the buffer's edge, or
    // a stream's first header until the bytes after it tell its MPEG version): the caller may write
    // out all the others and must give these again at the front of the next call.
    std::uint32_t Walk(std::uint8_t* data, std::uint32_t size);
    // The end of the file: data[0..size) is what the last Walk held back. Nothing is held any more.
    void Finish(std::uint8_t* data, std::uint32_t size);

    // Judged from the first bytes walked, or where a stream behind leading bytes begins.
    ContainerKind Kind() const { return m_kind; }
    // The file offset of the CD sector holding the byte at `offset`, whose EDC covers it; nothing when
    // the file is no CD sectors.
    std::optional<std::uint64_t> SectorHolding(std::uint64_t offset) const;

private:
    // Passes every header on, and notes the CD sectors in which the sink changed an aspect byte.
    class Forwarder final : public HeaderSink {
    public:
        Forwarder(HeaderSink& sink, ContainerWalk& walk) : m_sink(sink), m_walk(walk) {}
        void Found(const FoundHeader& header) override;
        void Rewrote(std::uint64_t offset, std::uint32_t size) override { m_sink.Rewrote(offset, size); }

    private:
        HeaderSink& m_sink;
        ContainerWalk& m_walk;
    };

    struct Pid {
        PesHeader pes;
        StreamSearch search;
        bool video = true; // until a PES start says otherwise
    };
    struct Program {
        enum class Phase : std::uint8_t { LostSync, AtStartCode, Skip, VideoPes };
        Phase phase = Phase::LostSync;
        std::uint32_t left = 0; // bytes of the current pack header, system header or packet
        std::uint8_t stream = 0;
        PesHeader pes;
        std::array<StreamSearch, 16> video; // stream ids E0..EF
    };

    std::uint32_t Step(std::uint8_t* data, std::uint32_t size, bool last);
    template <typename F> void ForEachStream(F f);
    void Detect(const std::uint8_t* data, std::uint32_t size);
    void Plain(std::uint8_t* data, std::uint32_t from, std::uint32_t to);
    // The plain bytes before a place where packets or packs line up again, after which the plain
    // search starts afresh.
    void PlainUntilResync(std::uint8_t* data, std::uint32_t from, std::uint32_t to);

    std::uint32_t WalkTransport(std::uint8_t* data, std::uint32_t from, std::uint32_t size, bool last);
    void TransportPacket(std::uint8_t* packet, std::uint32_t size);
    std::uint32_t WalkProgram(std::uint8_t* data, std::uint32_t from, std::uint32_t size, bool last);
    std::uint32_t ProgramStartCode(const std::uint8_t* data, std::uint32_t at, std::uint32_t size, bool last);
    // An elementary stream's bytes, until a transport or program stream shows where it begins.
    std::uint32_t WalkUntilStructure(std::uint8_t* data, std::uint32_t from, std::uint32_t size, bool last);
    std::uint32_t WalkSectors(std::uint8_t* data, std::uint32_t from, std::uint32_t size);
    // The stream breaks at a sector that is not part of it.
    void BreakSectors();
    std::uint32_t SectorStartAtOrBefore(std::uint32_t at) const;
    void SettleSectors(std::uint8_t* data, std::uint32_t upTo);

    Forwarder m_sink;
    std::uint32_t m_holdLimit; // the furthest a waiting first header's aspect byte is held back
    ContainerKind m_kind = ContainerKind::Elementary;
    bool m_detected = false;
    bool m_lookLate = false;    // an elementary stream so far, with no sequence header yet
    std::uint64_t m_base = 0;   // file offset of data[0] in this call
    std::uint64_t m_parsed = 0; // file offset up to which the walk has read
    StreamSearch m_plain;
    WalkBuffer m_buffer;

    // Transport stream: the packet's length, its 4-byte timestamp prefix, and each PID's stream.
    std::uint32_t m_stride = 188;
    std::uint32_t m_prefix = 0;
    bool m_synced = false;
    std::array<std::uint16_t, 8192> m_pidSlot{}; // 0: not seen yet, else index + 1 into m_pids
    std::vector<Pid> m_pids;

    Program m_program;

    // CD sectors: the file offset of the first one, and those with a changed byte, not yet handed back.
    std::uint64_t m_sectorOrigin = 0;
    std::vector<std::uint64_t> m_changedSectors;
};

} // namespace veltrane
