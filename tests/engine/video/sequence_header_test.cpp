// The start code search and the aspect byte rules, the ground every conversion stands on.
#include "video/sequence_header.h"

#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace veltrane {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct SearchCase {
    std::string name;
    Bytes data;
    std::uint32_t from;              // where the cursor starts
    std::optional<std::uint32_t> at; // where the start code is found, if it is
};

// The slow and obvious search: a four-byte window walked one byte at a time.
std::optional<std::uint32_t> NaiveFind(const Bytes& data, std::uint32_t from, std::uint32_t count) {
    for (std::uint32_t i = from; i + 3 < from + count; ++i) {
        if (data[i] == 0x00 && data[i + 1] == 0x00 && data[i + 2] == 0x01 && data[i + 3] == 0xB3)
            return i;
    }
    return std::nullopt;
}

class FindSequenceHeaderTest : public testing::TestWithParam<SearchCase> {};

TEST_P(FindSequenceHeaderTest, FindsTheFirstWholeStartCodeOrLeavesTheCursorAlone) {
    const SearchCase& c = GetParam();
    // An exact-size heap copy, so that a read past the end trips the address sanitizer.
    const Bytes data = c.data;
    const std::uint8_t* cursor = data.data() + c.from;
    auto remaining = static_cast<std::uint32_t>(data.size() - c.from);
    const std::uint8_t* const before = cursor;
    const std::uint32_t remainingBefore = remaining;

    const bool found = FindSequenceHeader(cursor, remaining);

    ASSERT_EQ(found, c.at.has_value());
    if (found) {
        EXPECT_EQ(cursor - data.data(), *c.at);
        EXPECT_EQ(remaining, data.size() - *c.at);
    } else {
        EXPECT_EQ(cursor, before);
        EXPECT_EQ(remaining, remainingBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindSequenceHeaderTest,
    testing::Values(
        SearchCase{"Empty", {}, 0, std::nullopt}, SearchCase{"OneByte", {0x00}, 0, std::nullopt},
        SearchCase{"ThreeBytesOfStartCode", {0x00, 0x00, 0x01}, 0, std::nullopt},
        SearchCase{"ExactlyAStartCode", {0x00, 0x00, 0x01, 0xB3}, 0, 0u},
        SearchCase{"FourthByteNotYetPresent", {0xFF, 0xFF, 0x00, 0x00, 0x01}, 0, std::nullopt},
        SearchCase{"LeadingZeroSkipped", {0x00, 0x00, 0x00, 0x01, 0xB3}, 0, 1u},
        SearchCase{"OtherStartCodesIgnored", {0x00, 0x00, 0x01, 0xB5, 0x00, 0x00, 0x01, 0xB3}, 0, 4u},
        SearchCase{"FirstOfSeveralWins", {0x00, 0x00, 0x01, 0xB3, 0x00, 0x00, 0x01, 0xB3}, 0, 0u},
        SearchCase{"NextFoundFromOnePast", {0x00, 0x00, 0x01, 0xB3, 0x00, 0x00, 0x01, 0xB3}, 1, 4u},
        SearchCase{"StartCodeBeganBeforeTheCursor", {0x00, 0x00, 0x01, 0xB3, 0xFF}, 1, std::nullopt},
        SearchCase{
            "B3WithoutPrefix", {0xB3, 0x01, 0xB3, 0x00, 0x01, 0xB3, 0x00, 0x00, 0xB3}, 0, std::nullopt}),
    [](const testing::TestParamInfo<SearchCase>& row) { return row.param.name; });

// Data drawn mostly from the bytes a start code is made of, so that near-misses and overlaps abound,
// searched from many places by every implementation this processor can run (the vector ones take
// whole vectors and leave the tail to another walk, so lengths run past several vector widths): each
// must agree with the obvious walk everywhere, and leave the cursor alone when it finds nothing.
TEST(FindSequenceHeaderAgreement, EveryRunnableSearchMatchesTheByteByByteWalk) {
    const auto variants = detail::RunnableSearches();
    ASSERT_FALSE(variants.empty());
    const std::uint8_t alphabet[] = {0x00, 0x00, 0x00, 0x01, 0xB3, 0xB3, 0x20, 0xFF};
    for (const detail::SearchVariant& variant : variants) {
        SCOPED_TRACE(variant.name);
        std::mt19937 random(20261207);
        for (int round = 0; round < 300; ++round) {
            // Mostly filler with sparse start code bytes now and then, so that whole vectors pass
            // with no candidate as well as with several.
            const bool sparse = round % 3 == 0;
            Bytes data(random() % (round % 10 == 0 ? 2000 : 300));
            for (auto& b : data)
                b = sparse && random() % 16 != 0 ? 0x47 : alphabet[random() % std::size(alphabet)];
            for (std::uint32_t from = 0; from <= data.size(); from += 1 + random() % 7) {
                const auto count = static_cast<std::uint32_t>(data.size() - from);
                const std::optional<std::uint32_t> expected = NaiveFind(data, from, count);
                const std::uint8_t* cursor = data.data() + from;
                std::uint32_t remaining = count;
                ASSERT_EQ(variant.find(cursor, remaining), expected.has_value()) << "round " << round;
                ASSERT_EQ(cursor - data.data(), expected.value_or(from)) << "round " << round;
                ASSERT_EQ(remaining, data.size() - expected.value_or(from)) << "round " << round;
            }
        }
    }
}

TEST(RewriteAspectByte, ChangesOnlyTheChosenCodeAndKeepsTheFrameRate) {
    EXPECT_EQ(RewriteAspectByte(0x23, ConversionMode::To16x9), 0x33);
    EXPECT_EQ(RewriteAspectByte(0x35, ConversionMode::To4x3), 0x25);
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
            const std::uint8_t from = mode == ConversionMode::To16x9 ? 0x20 : 0x30;
            const std::uint8_t rewritten = RewriteAspectByte(byte, mode);
            EXPECT_EQ(rewritten & 0x0F, byte & 0x0F) << "byte " << b;
            if ((byte & 0xF0) != from)
                EXPECT_EQ(rewritten, byte) << "byte " << b;
            else
                EXPECT_EQ(ClassifyAspectByte(rewritten), mode == ConversionMode::To16x9
                                                             ? DeclaredAspect::Ratio16x9
                                                             : DeclaredAspect::Ratio4x3);
        }
    }
}

} // namespace
} // namespace veltrane
