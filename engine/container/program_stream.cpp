// The walk through a program stream: MPEG-2 packs and MPEG-1 system streams alike.
#include "container/container_walk.h"

#include <algorithm>
#include <cstring>

namespace veltrane {

namespace {

constexpr std::uint8_t PACK_START = 0xBA;
constexpr std::uint8_t PROGRAM_END = 0xB9;

bool IsVideoStream(std::uint8_t id) {
    return (id & 0xF0) == 0xE0;
}

} // namespace

// From a pack header on, every start code begins a pack header, a system header or a packet whose
// length says where the next one starts. Anything else means the structure is lost: the bytes are
// plain again until the next pack header.
std::uint32_t ContainerWalk::WalkProgram(std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                                         bool last) {
    Program& ps = m_program;
    std::uint32_t at = from;
    while (at < size) {
        switch (ps.phase) {
        case Program::Phase::LostSync: {
            std::uint32_t probe = at;
            bool found = false;
            while (probe + 5 <= size) {
                const auto* code = static_cast<const std::uint8_t*>(
                    std::memchr(data + probe + 3, PACK_START, size - 1 - (probe + 3)));
                if (code == nullptr) {
                    probe = size - 4;
                    break;
                }
                probe = static_cast<std::uint32_t>(code - data) - 3;
                if (IsPackHeaderStart(data + probe)) {
                    found = true;
                    break;
                }
                ++probe;
            }
            if (!found) {
                const std::uint32_t plainTo = last ? size : std::max(at, std::min(probe, size));
                Plain(data, at, plainTo);
                return plainTo;
            }
            PlainUntilResync(data, at, probe);
            ps.phase = Program::Phase::AtStartCode;
            at = probe;
            break;
        }
        case Program::Phase::AtStartCode: {
            const std::uint32_t next = ProgramStartCode(data, at, size, last);
            if (next == at && ps.phase == Program::Phase::AtStartCode)
                return at; // cut by the buffer's edge: wait for the rest
            at = next;
            break;
        }
        case Program::Phase::Skip: {
            const std::uint32_t n = std::min(ps.left, size - at);
            at += n;
            ps.left -= n;
            if (ps.left == 0)
                ps.phase = Program::Phase::AtStartCode;
            break;
        }
        case Program::Phase::VideoPes: {
            std::uint32_t n = std::min(ps.left, size - at);
            ps.left -= n;
            if (ps.pes.InHeader()) {
                const std::uint32_t header = ps.pes.Consume(data + at, n);
                at += header;
                n -= header;
            }
            if (!ps.pes.InHeader())
                ps.video[ps.stream].Search(m_buffer, data + at, n, m_sink, true);
            at += n;
            if (ps.left == 0)
                ps.phase = Program::Phase::AtStartCode;
            break;
        }
        }
    }
    return at;
}

// Reads the start code at `at` and sets the phase for what it begins. Returns where the walk goes
// on: `at` itself when the bytes that tell are not all in the buffer yet.
std::uint32_t ContainerWalk::ProgramStartCode(const std::uint8_t* data, std::uint32_t at, std::uint32_t size,
                                              bool last) {
    Program& ps = m_program;
    const std::uint32_t have = size - at;
    const auto wait = [&](std::uint32_t need) {
        if (have >= need)
            return false;
        if (last) {
            // The file ends inside it: step over the stump.
            ps.phase = Program::Phase::Skip;
            ps.left = have;
        }
        return true;
    };
    if (wait(4))
        return at;
    const std::uint8_t* p = data + at;
    if (p[0] != 0x00 || p[1] != 0x00 || p[2] != 0x01 || p[3] < PROGRAM_END) {
        ps.phase = Program::Phase::LostSync;
        return at;
    }
    if (p[3] == PROGRAM_END)
        return at + 4;
    if (p[3] == PACK_START) {
        if (wait(5))
            return at;
        if ((p[4] & 0xC0) == 0x40) {
            if (wait(14))
                return at;
            ps.left = 14u + (p[13] & 0x07u);
        } else if ((p[4] & 0xF0) == 0x20) {
            ps.left = 12;
        } else {
            ps.phase = Program::Phase::LostSync;
            return at;
        }
        ps.phase = Program::Phase::Skip;
        return at;
    }
    if (wait(6))
        return at;
    const std::uint32_t length = (static_cast<std::uint32_t>(p[4]) << 8) | p[5];
    if (IsVideoStream(p[3])) {
        ps.phase = Program::Phase::VideoPes;
        ps.stream = static_cast<std::uint8_t>(p[3] & 0x0F);
        ps.left = length;
        ps.pes.StartAfterLength();
        if (length == 0)
            ps.phase = Program::Phase::AtStartCode;
        return at + 6;
    }
    ps.phase = Program::Phase::Skip;
    ps.left = 6 + length;
    return at;
}

} // namespace veltrane
