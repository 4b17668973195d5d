// The one read-walk-write loop, and the sources that end it each by its own rule.
#include "io/pump.h"

#include <algorithm>
#include <cstring>

namespace veltrane {

PumpEnd Pump(PumpSource& source, PumpWalk& walk, PumpOutput* output, const std::function<bool()>& afterPass) {
    std::uint32_t carry = 0;
    for (;;) {
        const PumpSource::Pass pass = source.Next(carry);
        switch (pass.state) {
        case PumpSource::State::Data:
            break;
        case PumpSource::State::End:
            walk.Finish(pass.data, carry);
            if (walk.Refused())
                return PumpEnd::Refused;
            if (output != nullptr && !output->Put(pass.data, carry))
                return PumpEnd::WriteFailed;
            return PumpEnd::Completed;
        case PumpSource::State::Failed:
            return PumpEnd::ReadFailed;
        case PumpSource::State::CutShort:
            return PumpEnd::CutShort;
        case PumpSource::State::Stopped:
            return PumpEnd::Stopped;
        }
        const std::uint32_t length = carry + pass.got;
        // What the walk holds back (a header or packet cut by the buffer's edge) is walked next pass.
        const std::uint32_t keep = walk.Walk(pass.data, length);
        if (walk.Refused())
            return PumpEnd::Refused;
        if (output != nullptr && !output->Put(pass.data, length - keep))
            return PumpEnd::WriteFailed;
        if (!afterPass())
            return PumpEnd::Stopped;
        carry = keep;
    }
}

PumpSource::Pass ReadAheadSource::Next(std::uint32_t carry) {
    // Never past the size taken at the start: a source that grows meanwhile is copied as it was then.
    if (m_read >= m_total)
        return {m_tail - carry, 0, State::End};
    const ReadAhead::Pass pass = m_reads.Next(carry);
    // An end before that size means the source was cut while it was read: the copy would be short.
    if (pass.got <= 0)
        return {pass.data, 0, pass.got < 0 ? State::Failed : State::CutShort};
    m_read += pass.got;
    const auto got = static_cast<std::uint32_t>(pass.got);
    m_tail = pass.data + carry + got;
    return {pass.data, got, State::Data};
}

PumpSource::Pass SequentialSource::Next(std::uint32_t carry) {
    std::memmove(m_buffer, m_buffer + m_length - carry, carry);
    std::uint32_t want = CHUNK_SIZE - carry;
    if (m_rules.total) {
        if (m_read >= *m_rules.total)
            return {m_buffer, 0, State::End};
        want = static_cast<std::uint32_t>(std::min<std::int64_t>(want, *m_rules.total - m_read));
    }
    if (m_rules.limit >= 0 && m_read >= m_rules.limit)
        return {m_buffer, 0, State::End};
    std::uint32_t got = 0;
    while (got < want) {
        if (m_rules.waitFirst && !m_file.WaitUntilReadable()) {
            if (m_rules.stop && m_rules.stop())
                return {m_buffer, 0, State::Stopped};
            continue;
        }
        const std::int64_t n = m_file.ReadSome(m_buffer + carry + got, want - got);
        if (n < 0 && !m_rules.errorEnds)
            return {m_buffer, 0, State::Failed};
        if (n <= 0)
            break;
        got += static_cast<std::uint32_t>(n);
        if (!m_rules.fill)
            break;
    }
    if (got == 0) {
        // A file that ends before its size was cut while it was read.
        if (m_rules.total)
            return {m_buffer, 0, State::CutShort};
        return {m_buffer, 0, State::End};
    }
    m_read += got;
    m_length = carry + got;
    return {m_buffer, got, State::Data};
}

} // namespace veltrane
