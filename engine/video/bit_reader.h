// Reads the fields of a parameter set, most significant bit first, without ever stepping outside its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace veltrane {

// A read that would pass the end yields 0 and sets the failure flag, which stays set: a parser may read
// a whole structure and look at Failed() once, and a cut or damaged input still costs no more than its
// own length.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    // u(n) for n up to 32.
    std::uint32_t Bits(unsigned count) {
        if (count > 32 || count > Left()) {
            Fail();
            return 0;
        }
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i, ++m_position)
            value = (value << 1) | ((m_bytes[m_position / 8] >> (7 - m_position % 8)) & 1u);
        return value;
    }
    bool Flag() { return Bits(1) != 0; }

    // ue(v). More than 31 leading zeros is no value any field here may take: a failure, not a wrap.
    std::uint32_t Ue() {
        unsigned zeros = 0;
        while (!m_failed && Bits(1) == 0) {
            if (++zeros > 31) {
                Fail();
                return 0;
            }
        }
        if (m_failed)
            return 0;
        const std::uint64_t value = (std::uint64_t{1} << zeros) - 1 + Bits(zeros);
        return m_failed ? 0 : static_cast<std::uint32_t>(value);
    }

    // se(v): 1, 2, 3, 4 ... read as 1, -1, 2, -2 ...
    std::int32_t Se() {
        const std::uint32_t code = Ue();
        const auto magnitude = static_cast<std::int32_t>((code + 1) / 2);
        return code % 2 != 0 ? magnitude : -magnitude;
    }

    void Skip(std::size_t count) {
        if (count > Left())
            Fail();
        else
            m_position += count;
    }

    std::size_t Position() const { return m_position; }
    std::size_t Left() const { return m_failed ? 0 : m_bytes.size() * 8 - m_position; }
    bool Failed() const { return m_failed; }
    void Fail() { m_failed = true; }

    // True when what is left is exactly rbsp_stop_one_bit and zero bits: the structure ended where its
    // bytes say it does. Trailing zero bytes after the stop bit are the byte stream's, not a fault.
    bool AtStopBit() const {
        if (m_failed || Left() == 0)
            return false;
        std::size_t at = m_position;
        if (((m_bytes[at / 8] >> (7 - at % 8)) & 1u) == 0)
            return false;
        for (++at; at % 8 != 0; ++at) {
            if (((m_bytes[at / 8] >> (7 - at % 8)) & 1u) != 0)
                return false;
        }
        for (std::size_t i = at / 8; i < m_bytes.size(); ++i) {
            if (m_bytes[i] != 0)
                return false;
        }
        return true;
    }

    // Moves to the last 1 bit, the stop bit of data that runs to it whatever it holds (extension data).
    void SkipToStopBit() {
        std::size_t last = m_bytes.size();
        while (last > 0 && m_bytes[last - 1] == 0)
            --last;
        if (last == 0) {
            Fail();
            return;
        }
        std::size_t at = last * 8 - 1;
        while (((m_bytes[at / 8] >> (7 - at % 8)) & 1u) == 0)
            --at;
        if (m_failed || at < m_position)
            Fail();
        else
            m_position = at;
    }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_position = 0;
    bool m_failed = false;
};

} // namespace veltrane
