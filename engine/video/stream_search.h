// The sequence header search over one stream's payload, which may arrive in pieces of any size.
#pragma once

#include "video/codec_scanner.h"
#include "video/video_codec.h"

#include <cstdint>
#include <vector>

namespace veltrane {

// A header whose aspect byte is in the buffer and whose stream's MPEG version is known.
struct FoundHeader {
    std::uint8_t* aspect = nullptr; // in the caller's buffer: the one byte a rewrite may store to
    std::uint64_t headerOffset = 0; // file offset of the first byte of the start code
    std::uint64_t aspectOffset = 0; // file offset of *aspect
    std::uint8_t sizes[3] = {};     // header bytes 4..6: horizontal_size_value, vertical_size_value
    bool mpeg1 = false;             // the aspect code is MPEG-1's pel aspect ratio
};

// A whole H.264 or HEVC SPS NAL unit (header first, emulation prevention in place, no start code) whose
// bytes are all in the buffer. In a multiplex its bytes may be spread over several packets, so each
// byte comes with its own place in the buffer and in the file.
struct FoundSps {
    VideoCodec codec = VideoCodec::H264;
    std::uint64_t nalOffset = 0;        // file offset of the NAL header's first byte
    std::vector<std::uint8_t> bytes;    // a contiguous copy of the NAL unit
    std::vector<std::uint8_t*> at;      // for each byte, where it lies in the caller's buffer
    std::vector<std::uint64_t> offsets; // for each byte, its file offset
    // The NAL's end was not seen: the bytes after it are too far away, the stream broke, or the file
    // ended. What was collected is all there is of it.
    bool cut = false;
};

class HeaderSink {
public:
    virtual void Found(const FoundHeader& header) = 0;
    // Every SPS of an H.264 or HEVC stream, once its bytes are all in the buffer.
    virtual void FoundParameterSet(const FoundSps& /*sps*/) {}
    // A length-prefixed stream's NAL lengths stopped adding up at `offset`: its SPSs after it cannot
    // be found, so a conversion could leave some of them behind.
    virtual void StreamLost(VideoCodec /*codec*/, std::uint64_t /*offset*/) {}
    // Bytes the walk itself rewrote in the caller's buffer because an aspect code changed: the EDC of
    // a CD sector. Told before the walk hands the bytes back.
    virtual void Rewrote(std::uint64_t /*offset*/, std::uint32_t /*size*/) {}
    // The stream carries Active Format Description codes, which a flip leaves as they are.
    virtual void FoundAfd() {}

protected:
    ~HeaderSink() = default;
};

// The start codes of one buffer-full, met in order: a multiplex's payloads are searched by looking up
// the next start code in the raw buffer once, instead of searching every packet's payload anew.
class BufferStartCodes {
public:
    void Reset(const std::uint8_t* data, std::uint32_t size);
    // The first 00 00 01 B3 in the buffer at or after `from`, or nullptr. `from` may only grow
    // between calls until the next Reset.
    const std::uint8_t* From(const std::uint8_t* from) {
        if (m_next != nullptr && m_next < from)
            Search(from);
        return m_next;
    }
    // The buffer-full's bytes, and a count of Resets: another search over them (an H.264 or HEVC
    // scanner's) knows when what it found in them is out of date.
    const std::uint8_t* Begin() const { return m_begin; }
    const std::uint8_t* End() const { return m_end; }
    std::uint64_t Generation() const { return m_generation; }

private:
    void Search(const std::uint8_t* from);

    const std::uint8_t* m_begin = nullptr;
    std::uint64_t m_generation = 0;
    const std::uint8_t* m_end = nullptr;
    const std::uint8_t* m_next = nullptr; // the last one found; nullptr when none is left
};

// The buffer-full being walked, and where it lies in the file.
struct WalkBuffer {
    std::uint8_t* data = nullptr;
    std::uint64_t base = 0; // file offset of data[0]
    BufferStartCodes codes; // for a multiplex, whose payloads are pieces of this buffer

    std::uint64_t OffsetOf(const std::uint8_t* p) const {
        return base + static_cast<std::uint64_t>(p - data);
    }
};

// The pieces of one stream are searched as one run of bytes: a start code may begin in one piece
// and its aspect byte come pieces later, with other streams' packets in between. Only the last
// seven bytes travel from one piece to the next, with the file offset of each.
//
// What an aspect code means depends on the stream's MPEG version, which its first header tells: an
// MPEG-2 sequence header is followed by a sequence extension, an MPEG-1 one by a GOP, user data or
// an extension of another kind. That first header waits, unreported, until those bytes have come;
// the walk keeps its aspect byte in the buffer meanwhile. A follower that is neither, or that does
// not come, leaves the stream MPEG-2, the meaning every header had before MPEG-1 was told apart.
class StreamSearch final : public CodecScanner {
public:
    // The next `size` bytes of the stream, at data[0..size) inside `buffer`. Every header whose
    // aspect byte lies among them is handed to `sink` once its stream's version is known, in stream
    // order. With `useCodes`, start codes are taken from buffer.codes.
    void Search(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink,
                bool useCodes) override;
    // The stream breaks here: nothing seen so far joins what comes next.
    void Forget() override { m_tailSize = 0; }
    // The container names the stream's MPEG version: its headers need not wait for their followers.
    void KnowVersion(bool mpeg1) { m_version = mpeg1 ? Version::Mpeg1 : Version::Mpeg2; }

    // The file offset of the aspect byte of a first header still waiting for its follower.
    bool Waiting() const override { return m_waiting; }
    std::uint64_t WaitingOffset() const override { return m_first.aspectOffset; }
    // Reports the waiting header as MPEG-2 now: its follower is too far away, or the file ended.
    void Settle(WalkBuffer& buffer, HeaderSink& sink) override;

private:
    static constexpr std::uint32_t TAIL = 7; // a start code with its aspect byte still to come

    enum class Version : std::uint8_t { Unknown, Mpeg1, Mpeg2 };
    enum class Verdict : std::uint8_t { Undecided, Mpeg1, Mpeg2, Neither };
    enum class Reading : std::uint8_t { Header, Zeros, Code, ExtensionId };

    void SearchAcrossTheJoin(WalkBuffer& buffer, std::uint8_t* data, std::uint32_t size, HeaderSink& sink);
    void Take(FoundHeader& header, WalkBuffer& buffer, const std::uint8_t* pieceEnd, HeaderSink& sink);
    Verdict Follow(const std::uint8_t* data, std::uint32_t size);
    void Decide(Verdict verdict, WalkBuffer& buffer, HeaderSink& sink);
    void KeepTail(const std::uint8_t* data, std::uint32_t size, std::uint64_t offset);
    bool TailMayStartHeader() const;
    std::uint64_t TailOffset(std::uint32_t i) const {
        return m_tailContiguous ? m_tailStart + i : m_tailOffset[i];
    }

    std::uint8_t m_tail[TAIL + 1] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint32_t m_tailSize = 0;
    // Mostly the tail is the end of one piece; after short pieces each byte keeps its own offset.
    bool m_tailContiguous = true;
    std::uint64_t m_tailStart = 0;
    std::uint64_t m_tailOffset[TAIL] = {};

    Version m_version = Version::Unknown;
    bool m_waiting = false;
    FoundHeader m_first; // the waiting header; its aspect pointer is found again from its offset
    // Reading the bytes after the first header: where in the header they are (counted from its start
    // code), the header's length once its quantiser matrix flags tell it, zero bytes seen after it.
    Reading m_reading = Reading::Header;
    std::uint8_t m_zeros = 0;
    std::uint16_t m_index = 0;
    std::uint16_t m_length = 0;
};

} // namespace veltrane
