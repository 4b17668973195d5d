// Reads a run's source a buffer-full ahead, on a thread of its own.
#include "io/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace veltrane {

ReadAhead::ReadAhead(io::File& source, std::int64_t total, std::uint8_t* buffer)
    : m_source(source), m_total(total), m_buffer(buffer) {}

ReadAhead::~ReadAhead() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_reader.joinable())
        m_reader.join();
}

void ReadAhead::Fill(io::File& source, Read& read) {
    while (read.got < read.size) {
        const std::int64_t n =
            source.ReadSome(read.into + read.got, static_cast<std::size_t>(read.size - read.got));
        if (n <= 0) {
            read.failed = n < 0;
            return;
        }
        read.got += n;
    }
}

void ReadAhead::Serve() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || m_pending >= 0; });
        if (m_stop)
            return;
        Read& read = m_reads[m_pending];
        lock.unlock();
        Fill(m_source, read);
        lock.lock();
        m_pending = -1;
        m_changed.notify_all();
    }
}

std::uint8_t* ReadAhead::ReadPlace(int slot) const {
    return m_buffer + static_cast<std::size_t>(slot) * (HEAD + CHUNK_SIZE) + HEAD;
}

void ReadAhead::Issue(int slot, std::int64_t size) {
    m_reads[slot].size = size;
    m_asked += size;
    Read& read = m_reads[slot];
    // The first read has nothing to overlap with; a source read in one pass needs no thread at all.
    if (m_current >= 0 && !m_reader.joinable() && !m_inline) {
        // One core would only take turns between the threads, at the cost of switching.
        m_inline = std::thread::hardware_concurrency() == 1;
    }
    if (m_current >= 0 && !m_reader.joinable() && !m_inline) {
        try {
            m_reader = std::thread(&ReadAhead::Serve, this);
        } catch (const std::system_error&) {
            m_inline = true;
        }
    }
    if (m_current < 0 || m_inline) {
        Fill(m_source, read);
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_pending = slot;
    }
    m_changed.notify_all();
}

void ReadAhead::Wait(int slot) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this, slot] { return m_pending != slot; });
}

ReadAhead::Pass ReadAhead::Next(std::uint32_t carry) {
    const std::int64_t want = std::min<std::int64_t>(CHUNK_SIZE - carry, m_total - m_passed);
    int slot = 0;
    std::size_t tail = 0; // the carried bytes and those read ahead of the last pass, moved in front
    if (m_current < 0) {
        m_reads[slot] = Read{ReadPlace(slot)};
        Issue(slot, std::min<std::int64_t>(CHUNK_SIZE, m_total));
    } else {
        const Read& last = m_reads[m_current];
        // The walk never holds back more; were it to, the bytes would not fit in front of the read.
        if (carry > MAX_CARRY)
            return {m_passEnd, -1};
        tail = carry + static_cast<std::size_t>(last.into + last.got - m_passEnd);
        slot = 1 - m_current;
        Wait(slot);
        std::memcpy(m_reads[slot].into - tail, m_passEnd - carry, tail);
    }
    const Read& read = m_reads[slot];
    if (read.got < read.size)
        m_ended = true;
    const std::int64_t available = static_cast<std::int64_t>(tail - carry) + read.got;
    std::int64_t got = std::min(want, available);
    std::uint8_t* const data = read.into - tail;
    m_current = slot;
    m_passEnd = data + carry + std::max<std::int64_t>(got, 0);
    if (got < want && read.failed)
        got = -1;
    else
        m_passed += got;

    // The next pass needs at most CHUNK_SIZE new bytes after this one's; read them meanwhile into the
    // buffer the last pass has just given up.
    const std::int64_t next = std::min(m_passed + CHUNK_SIZE, m_total) - m_asked;
    m_reads[1 - slot] = Read{ReadPlace(1 - slot)};
    if (got > 0 && !m_ended && next > 0)
        Issue(1 - slot, next);
    return {data, got};
}

} // namespace veltrane
