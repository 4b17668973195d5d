// Puts what a run has written on the device while the run goes on, and tells what that cost.
#include "io/write_back.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

namespace veltrane {

std::int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

WriteBack::WriteBack(const io::File& file) : m_clock(SteadyNanoseconds) {
    if (!file.CanWriteBack())
        return;
    m_function = [&file](const Range& range, int& error) {
        return file.WriteBack(range.from, range.to - range.from, error);
    };
    // The thread starts with the first range: a small copy that asks for none costs no thread.
    m_threaded = true;
}

WriteBack::WriteBack(Function function, Clock clock)
    : m_function(std::move(function)), m_clock(std::move(clock)) {}

WriteBack::~WriteBack() {
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_waiting.clear();
    }
    m_changed.notify_all();
    m_thread.join();
}

void WriteBack::Ask(const Range& range) {
    if (!m_function || range.from >= range.to)
        return;
    if (m_threaded && !m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Serve(); });
        } catch (const std::exception&) {
            // No thread (none left, or no memory for one): the commit's sync does it all, as without
            // write-back.
            m_function = nullptr;
            return;
        }
    }
    if (!m_thread.joinable()) {
        if (m_error == 0)
            Count(range, Do(range));
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        if (m_waiting.size() >= MAX_WAITING && range.alone == 0 && m_waiting.back().alone == 0) {
            Range& last = m_waiting.back();
            last.to = range.to;
            last.pieces += range.pieces;
            last.bytes += range.bytes;
        } else {
            m_waiting.push_back(range);
        }
    }
    m_changed.notify_all();
}

// Writes one range back and says how long it took; records the first error, and -1 for it. Called
// with the lock not held.
std::int64_t WriteBack::Do(const Range& range) {
    const std::int64_t start = m_clock();
    int error = 0;
    const bool ok = m_function(range, error);
    const std::int64_t took = m_clock() - start;
    const std::lock_guard lock(m_mutex);
    if (!ok) {
        m_error = error != 0 ? error : EIO;
        return -1;
    }
    return took;
}

void WriteBack::Serve() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        if (m_stopping)
            return;
        const Range range = m_waiting.front();
        m_waiting.pop_front();
        if (m_error == 0) {
            m_busy = true;
            lock.unlock();
            const std::int64_t took = Do(range);
            lock.lock();
            Count(range, took);
            m_busy = false;
        }
        m_changed.notify_all();
    }
}

// Adds a range written back in `took` nanoseconds (-1: it failed) to the costs. The caller holds the
// lock, or there is no thread.
void WriteBack::Count(const Range& range, std::int64_t took) {
    if (took < 0)
        return;
    if (range.alone == 1 || range.alone == 2) {
        m_costs.alone[range.alone - 1] = took;
        return;
    }
    ++m_costs.ranges;
    m_costs.pieces += range.pieces;
    m_costs.bytes += range.bytes;
    m_costs.nanoseconds += took;
}

WriteBack::Costs WriteBack::Measured() const {
    const std::lock_guard lock(m_mutex);
    return m_costs;
}

bool WriteBack::Finish() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_thread.joinable() || (m_waiting.empty() && !m_busy); });
    if (m_error == 0)
        return true;
    m_failure = io::FailureReason{m_error, io::Refusal::None, false};
    return false;
}

} // namespace veltrane
