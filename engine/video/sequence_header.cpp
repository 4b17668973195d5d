// Locating sequence header start codes in a run of bytes, with vector compares where the processor has them.
#include "video/sequence_header.h"

#include <algorithm>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VELTRANE_X86_VECTOR_SEARCH 1
#include <immintrin.h>
#endif

namespace veltrane {

namespace {

using SearchFunction = bool (*)(const std::uint8_t*&, std::uint32_t&);

bool FindWithMemchr(const std::uint8_t*& cursor, std::uint32_t& remaining) {
    if (remaining < 4)
        return false;
    const std::uint8_t* const end = cursor + remaining;
    // A start code is known by its last byte, which is rare in compressed data: let memchr race to
    // each B3 and look back at the three bytes before it. B3 is searched from the fourth byte on, so
    // a match never starts before `cursor`, and, as with a four-byte window walked from the front,
    // none of the last three bytes is ever taken as the start of one.
    const std::uint8_t* from = cursor + 3;
    while (from < end) {
        const auto* b3 =
            static_cast<const std::uint8_t*>(std::memchr(from, 0xB3, static_cast<std::size_t>(end - from)));
        if (b3 == nullptr)
            return false;
        if (b3[-1] == 0x01 && b3[-2] == 0x00 && b3[-3] == 0x00) {
            cursor = b3 - 3;
            remaining = static_cast<std::uint32_t>(end - cursor);
            return true;
        }
        from = b3 + 1;
    }
    return false;
}

#ifdef VELTRANE_X86_VECTOR_SEARCH

// The vector searches look for the pair 01 B3, the last two bytes of a start code: B3 alone turns up
// every few hundred bytes in compressed video and stops memchr that often, while the pair is rare.
// `third` points at the 01 of a candidate, the third byte of its start code; the two zeros in front
// are checked one candidate at a time. What is too short for a vector is left to memchr.

// The first candidate of `mask` (bit i stands for third + i) with its two zeros in front, or null.
const std::uint8_t* ConfirmedCandidate(const std::uint8_t* third, std::uint64_t mask) {
    for (; mask != 0; mask &= mask - 1) {
        const std::uint8_t* candidate = third + __builtin_ctzll(mask);
        if (candidate[-1] == 0x00 && candidate[-2] == 0x00)
            return candidate;
    }
    return nullptr;
}

// Ends a vector search: at the start code whose 01 is at `found`, or, when the vectors found none,
// by searching the bytes they left from the first start code position that no vector covered.
bool Finish(const std::uint8_t* found, const std::uint8_t* third, const std::uint8_t*& cursor,
            std::uint32_t& remaining, const std::uint8_t* end) {
    const std::uint8_t* start = (found != nullptr ? found : third) - 2;
    auto left = static_cast<std::uint32_t>(end - start);
    if (found == nullptr && !FindWithMemchr(start, left))
        return false;
    cursor = start;
    remaining = left;
    return true;
}

__attribute__((target("avx2"))) std::uint64_t PairMask32(const std::uint8_t* third) {
    const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(third));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(third + 1));
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(at, _mm256_set1_epi8(0x01)),
                                              _mm256_cmpeq_epi8(next, _mm256_set1_epi8(char(0xB3))))));
}

__attribute__((target("avx2"))) bool FindWithAvx2(const std::uint8_t*& cursor, std::uint32_t& remaining) {
    if (remaining < 4)
        return false;
    const std::uint8_t* const end = cursor + remaining;
    const std::uint8_t* third = cursor + 2;
    const std::uint8_t* found = nullptr;
    // Each step reads [third, third + 65): 64 candidates and the byte after the last. Two vectors
    // are tested together because a candidate is rare; one at a time was three times slower.
    while (found == nullptr && end - third >= 65) {
        found = ConfirmedCandidate(third, PairMask32(third) | PairMask32(third + 32) << 32);
        if (found == nullptr)
            third += 64;
    }
    // Fewer than 64 positions left: a vector of 32 at a time, the last one moved back to end at the
    // last position, with the bits of positions already looked at shifted out. Short runs, such as a
    // transport packet's payload, then need no memchr at all.
    while (found == nullptr && remaining >= 33 && third < end - 1) {
        const std::uint8_t* const window = std::min(third, end - 33);
        found = ConfirmedCandidate(third, PairMask32(window) >> (third - window));
        if (found == nullptr)
            third = window + 32;
    }
    return Finish(found, third, cursor, remaining, end);
}

__attribute__((target("sse2"))) std::uint64_t PairMask16(const std::uint8_t* third) {
    const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i*>(third));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(third + 1));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_and_si128(
        _mm_cmpeq_epi8(at, _mm_set1_epi8(0x01)), _mm_cmpeq_epi8(next, _mm_set1_epi8(char(0xB3))))));
}

__attribute__((target("sse2"))) bool FindWithSse2(const std::uint8_t*& cursor, std::uint32_t& remaining) {
    if (remaining < 4)
        return false;
    const std::uint8_t* const end = cursor + remaining;
    const std::uint8_t* third = cursor + 2;
    const std::uint8_t* found = nullptr;
    while (found == nullptr && end - third >= 65) {
        found = ConfirmedCandidate(third, PairMask16(third) | PairMask16(third + 16) << 16 |
                                              PairMask16(third + 32) << 32 | PairMask16(third + 48) << 48);
        if (found == nullptr)
            third += 64;
    }
    return Finish(found, third, cursor, remaining, end);
}

#endif

constexpr detail::SearchVariant PORTABLE{"memchr", FindWithMemchr};

// Best first: the runnable variants of this processor, chosen once per process.
struct Runnable {
    detail::SearchVariant variants[3];
    std::size_t count = 0;
};

Runnable FindRunnable() {
    Runnable runnable{};
#ifdef VELTRANE_X86_VECTOR_SEARCH
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        runnable.variants[runnable.count++] = {"avx2", FindWithAvx2};
    if (__builtin_cpu_supports("sse2"))
        runnable.variants[runnable.count++] = {"sse2", FindWithSse2};
#endif
    runnable.variants[runnable.count++] = PORTABLE;
    return runnable;
}

const Runnable& RunnableSearchList() {
    static const Runnable runnable = FindRunnable();
    return runnable;
}

} // namespace

namespace detail {

std::span<const SearchVariant> RunnableSearches() {
    const Runnable& runnable = RunnableSearchList();
    return {runnable.variants, runnable.count};
}

} // namespace detail

bool FindSequenceHeader(const std::uint8_t*& cursor, std::uint32_t& remaining) {
    static const SearchFunction best = RunnableSearchList().variants[0].find;
    return best(cursor, remaining);
}

} // namespace veltrane
