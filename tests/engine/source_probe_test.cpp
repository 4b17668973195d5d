// The probe's answer for the head of a file, and its refusals.
#include "conversion_run.h"
#include "source_probe.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace veltrane {
namespace {

using test::Bytes;

Bytes WithHeaders(std::size_t size, std::initializer_list<std::pair<std::size_t, std::uint8_t>> headers) {
    Bytes bytes(size, 0xFF);
    for (const auto& [offset, aspect] : headers) {
        const Bytes header = test::SequenceHeader(aspect);
        for (std::size_t i = 0; i < header.size() && offset + i < size; ++i)
            bytes[offset + i] = header[i];
    }
    return bytes;
}

struct ProbeCase {
    const char* name;
    Bytes contents;
    ProbeOutcome expected;
};

TEST(ProbeSourceAspect, AnswersFromTheFirstHeaderStartingInTheFirst32MiB) {
    const ProbeCase cases[] = {
        {"FourByThree", WithHeaders(1000, {{10, 0x23}}), ProbeOutcome::Aspect4x3},
        {"SixteenByNine", WithHeaders(1000, {{10, 0x35}}), ProbeOutcome::Aspect16x9},
        {"SquareSamplesBeforeA4x3Header", WithHeaders(1000, {{0, 0x13}, {100, 0x23}}),
         ProbeOutcome::AspectUnknown},
        {"TwoTwentyOneToOne", WithHeaders(1000, {{0, 0x43}}), ProbeOutcome::AspectUnknown},
        {"OnlyTheFirstHeaderCounts", WithHeaders(1000, {{0, 0x33}, {100, 0x23}}), ProbeOutcome::Aspect16x9},
        {"EmptyFile", {}, ProbeOutcome::HeaderNotFound},
        {"NoHeader", Bytes(CHUNK_SIZE, 0x00), ProbeOutcome::HeaderNotFound},
        {"HeaderShortOfItsAspectByte", WithHeaders(7, {{0, 0x23}}), ProbeOutcome::HeaderNotFound},
        {"LastWholeHeaderInTheBuffer", WithHeaders(CHUNK_SIZE + 100, {{CHUNK_SIZE - 8, 0x23}}),
         ProbeOutcome::Aspect4x3},
        {"HeaderCutByTheBuffer", WithHeaders(CHUNK_SIZE + 100, {{CHUNK_SIZE - 7, 0x23}}),
         ProbeOutcome::Aspect4x3},
        {"HeaderBeyondTheFirstBuffer", WithHeaders(2 * CHUNK_SIZE, {{CHUNK_SIZE + 10, 0x33}}),
         ProbeOutcome::Aspect16x9},
        {"HeaderAtOneMiB", WithHeaders(1048576 + 100, {{1048576, 0x23}}), ProbeOutcome::Aspect4x3},
        {"HeaderEndingTheRange", WithHeaders(PROBE_RANGE + 100, {{PROBE_RANGE - 8, 0x33}}),
         ProbeOutcome::Aspect16x9},
        {"HeaderCutByTheEndOfTheRange", WithHeaders(PROBE_RANGE + 100, {{PROBE_RANGE - 4, 0x33}}),
         ProbeOutcome::Aspect16x9},
        {"HeaderJustPastTheRange", WithHeaders(PROBE_RANGE + 100, {{PROBE_RANGE, 0x23}}),
         ProbeOutcome::HeaderNotFound},
        {"HeaderShortOfItsAspectByteAtTheEnd", WithHeaders(CHUNK_SIZE + 5, {{CHUNK_SIZE, 0x23}}),
         ProbeOutcome::HeaderNotFound},
    };
    test::TempDir dir;
    for (const ProbeCase& c : cases) {
        test::WriteAll(dir.File("probe.mpg"), c.contents);
        EXPECT_EQ(ProbeSourceAspect(dir.File("probe.mpg")), c.expected) << c.name;
    }
}

TEST(ProbeSourceAspect, RefusesWhatIsNotAReadableFileWithoutWaiting) {
    test::TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    for (const std::string& path :
         {dir.File("missing.mpg"), dir.Path().string(), dir.File("pipe"), std::string{}})
        EXPECT_EQ(ProbeSourceAspect(path), ProbeOutcome::OpenFailed) << path;
}

TEST(ProbeSourceAspect, TellsTheCodeOfTheHeaderItFoundAndNoneOtherwise) {
    const struct {
        const char* name;
        Bytes contents;
        ProbeOutcome outcome;
        int code;
    } cases[] = {
        {"FourByThree", WithHeaders(100, {{3, 0x23}}), ProbeOutcome::Aspect4x3, 2},
        {"SquareSamples", WithHeaders(100, {{0, 0x1F}, {50, 0x33}}), ProbeOutcome::AspectUnknown, 1},
        {"CodeFifteen", WithHeaders(100, {{0, 0xF3}}), ProbeOutcome::AspectUnknown, 15},
        {"NoHeader", Bytes(100, 0xFF), ProbeOutcome::HeaderNotFound, -1},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        test::WriteAll(dir.File("probe.mpg"), c.contents);
        int code = 99;
        EXPECT_EQ(ProbeSourceAspect(dir.File("probe.mpg"), code), c.outcome) << c.name;
        EXPECT_EQ(code, c.code) << c.name;
    }
    int code = 99;
    EXPECT_EQ(ProbeSourceAspect(dir.File("missing.mpg"), code), ProbeOutcome::OpenFailed);
    EXPECT_EQ(code, -1);
}

} // namespace
} // namespace veltrane
