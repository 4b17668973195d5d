// Matroska and WebM: what the file's head says of its video tracks, the display size a target shape
// asks of them, and the walk that hands their coded bytes, and nothing else, to a codec's scanner.
#pragma once

#include "video/sequence_header.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

// The codec a container names for a track.
enum class ContainerCodec : std::uint8_t { Mpeg1, Mpeg2, H264, Hevc, Other };

// One of the container's own aspect fields: `size` bytes at `offset`, as they are and as the target
// wants them (`before == after` when they already say it).
struct ContainerSite {
    std::uint64_t offset = 0;
    std::uint8_t size = 0;
    std::uint8_t before[8] = {};
    std::uint8_t after[8] = {};
    const char* what = ""; // "DisplayWidth", "DisplayHeight"
    DeclaredAspect declaredBefore = DeclaredAspect::Unknown;
    DeclaredAspect declaredAfter = DeclaredAspect::Unknown;
};

// A change the container makes because another change altered bytes it guards: a CRC-32.
struct ContainerPatch {
    std::uint64_t offset = 0;
    std::uint8_t size = 0;
    std::uint8_t before[8] = {};
    std::uint8_t after[8] = {};
};

// A master element whose first child is a CRC-32: the CRC's four bytes (little-endian) guard the
// parent's data after them, [dataStart, end).
struct CrcScope {
    std::uint64_t crcOffset = 0;
    std::uint64_t dataStart = 0;
    std::uint64_t end = 0;
    std::uint32_t stored = 0;
};

struct FileRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// An unsigned element of a track: where its data lies and what it holds.
struct MatroskaField {
    bool present = false;
    std::uint64_t offset = 0;
    std::uint8_t size = 0;
    std::uint64_t value = 0;
};

struct MatroskaVideoTrack {
    std::uint64_t number = 0;
    ContainerCodec codec = ContainerCodec::Other;
    std::string codecId;
    FileRange codecPrivate;   // size 0 when the track has none
    FileRange strippedPrefix; // ContentCompSettings of header stripping; size 0 without it
    std::vector<std::uint8_t> prefix;
    MatroskaField pixelWidth, pixelHeight;
    MatroskaField cropTop, cropBottom, cropLeft, cropRight;
    MatroskaField displayWidth, displayHeight, displayUnit;
};

struct MatroskaHead {
    bool webm = false;
    std::uint64_t segmentStart = 0;     // file offset of the Segment's data
    std::uint64_t segmentEnd = 0;       // ebml::UNKNOWN_SIZE when it runs to the end of the file
    std::uint64_t segmentSizeField = 0; // file offset of the Segment's size field
    std::uint8_t segmentSizeLength = 0;
    FileRange tracks; // the Tracks element, header included
    // Tracks lies past the first buffer-full (after the Clusters), found through the SeekHead alone:
    // `tracks.offset` is where the SeekHead puts it, and the video tracks are read from the file there.
    bool tracksLate = false;
    std::vector<MatroskaVideoTrack> video;
    std::vector<CrcScope> crcScopes; // inside the Segment's head, Tracks' above all
};

enum class MatroskaVerdict : std::uint8_t { NotMatroska, Refused, Usable };

struct MatroskaAnalysis {
    MatroskaVerdict verdict = MatroskaVerdict::NotMatroska;
    const char* refusal = ""; // what the user reads when Refused
    MatroskaHead head;
};

// An EBML header naming the matroska or webm document type, at the start of the file's first bytes.
bool LooksLikeMatroska(const std::uint8_t* data, std::uint32_t size);

// Reads the file's first bytes (the whole file when it is smaller): the EBML header, the Segment and
// its elements before the first Cluster, Tracks among them. `fileSize` is 0 when the file's end is
// not known (a pipe). Tracks that lie only after the Clusters, named by a Seek entry, are marked late
// with no video track read: the walk has to read them from the file before the first Block. Tracks
// named by no Seek entry are refused.
MatroskaAnalysis AnalyseMatroska(const std::uint8_t* data, std::uint32_t size, std::uint64_t fileSize);

// The video tracks of the Tracks element at data[0..size), as the head's reading finds them, every offset
// moved by `at` (where those bytes lie in the output). False when it is damaged; `refusal` names a video
// track the walk cannot convert (encrypted, compressed), "" otherwise.
bool ReadMatroskaTracks(const std::uint8_t* data, std::uint64_t size, std::uint64_t at, MatroskaHead& head,
                        const char** refusal = nullptr);
// Tracks as the file's head names it in a SeekHead's entry: the file offset, or nothing without one.
std::optional<std::uint64_t> MatroskaSeekTracks(const std::uint8_t* data, std::uint32_t size,
                                                const MatroskaHead& head);

// The display size a track must declare to show `target` (4:3 or 16:9), as sites over its existing
// DisplayWidth and DisplayHeight, keeping its DisplayUnit. Unit 0: the height is the cropped height
// and the width the height times the shape, rounded; units 1 to 3: the shape's own small integers.
// Returns "" or the refusal: an element that is absent, or too small for the value (for both of which
// PlanMatroskaGrowth may find room), or a DisplayUnit of no known meaning.
const char* MatroskaDisplaySites(const MatroskaVideoTrack& track, DeclaredAspect target,
                                 std::vector<ContainerSite>& sites);
// The shape a track's display size declares now (the pixel size when it has none).
DeclaredAspect MatroskaDeclaredAspect(const MatroskaVideoTrack& track);

// A same-length rewrite of the head's bytes from Tracks to the end of the Void that follows it: Tracks
// grown by the display size a track lacks, the Void shrunk by as much, every CRC-32 inside recomputed.
struct MatroskaGrowth {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> before, after;
};

// Plans the growth that gives `track` the display size of `target`, when a Void directly after Tracks
// has room for it. The caller applies it to the file's first bytes before anything else, analyses them
// again, and walks the grown file: every offset after it (CodecPrivate, the stripped prefix, the
// sites) is then the grown one's. Returns "" or the refusal.
const char* PlanMatroskaGrowth(const std::uint8_t* data, std::uint32_t size, const MatroskaHead& head,
                               std::uint64_t trackNumber, DeclaredAspect target, MatroskaGrowth& growth);

// Tracks moved behind the Segment's last byte, as a careful property editor moves it, for a copy whose
// head has no room for the display size a track lacks: the new Tracks follows the file's last byte,
// the old one becomes a Void of its own length, the SeekHead points to the new one and the Segment's
// size grows by it.
struct MatroskaMove {
    // Same-length rewrites of the head: the old Tracks' header made a Void's, every Seek entry's
    // position of Tracks.
    std::vector<MatroskaGrowth> patches;
    // The Segment's size, grown by the new Tracks; empty when it is unknown. The walk reads the source's
    // size first: it walks the file as the source has it, which ends where the Segment did.
    MatroskaGrowth segmentSize;
    // The new Tracks, its display sizes zero until the walk sets them as sites.
    std::vector<std::uint8_t> tracks;
    // The head as the walk reads the copy: Tracks, its video tracks and their CRC-32 scopes lie in the
    // appended bytes, the SeekHead's CRC-32 scope is added, the old Tracks' scopes are gone.
    MatroskaHead head;
};

// Plans the move that gives every video track of `head` lacking room for the display size of
// `target` one, in a copy of a file of `fileSize` bytes whose head is data[0..size). Returns "" or
// the refusal: a Segment not last in the file, no Seek entry for Tracks (players would not find it),
// a Seek position or Segment size too short for the new value, a CRC-32 over the whole Segment.
const char* PlanMatroskaMove(const std::uint8_t* data, std::uint32_t size, std::uint64_t fileSize,
                             const MatroskaHead& head, DeclaredAspect target, MatroskaMove& move);

class MatroskaEvents {
public:
    // The next bytes of a video track's coded stream. `piece` may be written to: the bytes a rewrite
    // stores there belong at `fileOffset`. The header-stripping prefix comes before every frame as a
    // piece of its own, at its offset in ContentCompSettings, from a copy the walker keeps (so that a
    // rewrite of it holds for every following frame too).
    virtual void VideoPayload(std::uint64_t track, std::uint8_t* piece, std::uint32_t size,
                              std::uint64_t fileOffset) = 0;
    // The track's bytes so far do not continue into what comes next.
    virtual void StreamBreak(std::uint64_t /*track*/) {}
    // A frame of the track ends with the bytes handed so far.
    virtual void FrameEnd(std::uint64_t /*track*/) {}
    // A CRC-32 that a noted patch made wrong, and its new bytes; possibly behind the walk.
    virtual void FixUp(const ContainerPatch& patch) = 0;
    // The structure is broken here; the walk hands nothing more.
    virtual void Damaged(const char* reason) = 0;

protected:
    ~MatroskaEvents() = default;
};

// Walks a Matroska file from its first byte, fed consecutive windows of it.
class MatroskaWalker {
public:
    MatroskaWalker(const MatroskaHead& head, std::uint64_t fileSize);

    // data[0..size) lies at file offset `base`; walking starts at data[from]. Returns how far it got:
    // the bytes from there on (an element or block header cut by the window's edge, never more than
    // 64 KiB) must come again at the front of the next window. `last` says the file ends with them.
    std::uint32_t Walk(std::uint8_t* data, std::uint32_t from, std::uint32_t size, std::uint64_t base,
                       bool last, MatroskaEvents& events);
    // A patch was, or will be, applied at [offset, offset + size): every CRC-32 guarding those bytes
    // changes with them. Its fix-up comes once the walk leaves the guarded element, or at once when it
    // already has. The walker's own fix-ups are not to be noted again.
    void NotePatched(std::uint64_t offset, std::uint32_t size, const std::uint8_t* before,
                     const std::uint8_t* after, MatroskaEvents& events);

    bool Stopped() const { return m_mode == Mode::Stopped; }

private:
    enum class Mode : std::uint8_t { Elements, Skip, Frames, Stopped };
    struct Open {
        std::uint32_t id;
        std::uint64_t end; // ebml::UNKNOWN_SIZE until something not its child begins
        bool firstChild;
        int scope; // index in m_scopes, or -1
    };
    struct Scope {
        CrcScope crc;
        bool endKnown = true;
        bool closed = false;
        bool fromHead = false;
        std::uint32_t acc = 0; // the linear CRC change, as of accPoint
        std::uint64_t accPoint = 0;
    };

    bool Step(std::uint8_t* data, std::uint64_t base, std::uint64_t windowEnd, bool last,
              MatroskaEvents& events, bool& needMore);
    bool StartBlock(const std::uint8_t* p, std::uint64_t have, std::uint64_t at, std::uint64_t end, bool last,
                    MatroskaEvents& events, bool& needMore);
    void Run(std::uint8_t* data, std::uint64_t base, std::uint64_t windowEnd, MatroskaEvents& events);
    void Close(std::uint64_t end, MatroskaEvents& events);
    void CloseScope(Scope& scope, MatroskaEvents& events);
    void CloseHeadScopesUpTo(std::uint64_t pos, MatroskaEvents& events);
    void Fail(const char* reason, MatroskaEvents& events);
    const MatroskaVideoTrack* VideoTrack(std::uint64_t number) const;

    MatroskaHead m_head;
    std::uint64_t m_fileSize;
    Mode m_mode = Mode::Elements;
    std::uint64_t m_pos = 0;
    std::uint64_t m_runEnd = 0;
    std::vector<Open> m_open;
    std::vector<Scope> m_scopes;
    bool m_segmentSeen = false;
    std::uint64_t m_forgottenUpTo = 0; // the end of the last Cluster whose CRC-32 scope was let go
    std::uint64_t m_firstCluster = ~std::uint64_t{0};
    // The block being handed over: its track, the file offsets where its frames end, the next frame.
    const MatroskaVideoTrack* m_track = nullptr;
    std::vector<std::uint64_t> m_frameEnds;
    std::size_t m_frame = 0;
    bool m_prefixSent = false;
    std::vector<std::vector<std::uint8_t>> m_prefixes; // one per video track, as the walk hands them
};

} // namespace veltrane
