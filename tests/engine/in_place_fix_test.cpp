// The in-place fix against a copy by RunConversion: the same bytes, whole or after an interruption.
#include "conversion_run.h"
#include "in_place_fix.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace veltrane {
namespace {

using test::Bytes;

// Stops the fix after the given number of buffer-fulls.
class StoppingSink : public test::RecordingSink {
public:
    explicit StoppingSink(std::size_t after) : m_after(after) {}
    bool StopRequested() override { return positions.size() >= m_after; }

private:
    std::size_t m_after;
};

// Headers of both aspects, and one of neither, around the first buffer edge and beyond it.
Bytes ManyBuffers() {
    Bytes bytes(3 * CHUNK_SIZE + 100, 0x55);
    const std::size_t offsets[] = {
        0, 1000, CHUNK_SIZE - 8, CHUNK_SIZE - 3, CHUNK_SIZE + 5000, 2 * CHUNK_SIZE, 3 * CHUNK_SIZE + 90};
    const std::uint8_t aspects[] = {0x23, 0x33, 0x24, 0x13, 0x23, 0x35, 0x23};
    for (std::size_t i = 0; i < std::size(offsets); ++i) {
        const Bytes header = test::SequenceHeader(aspects[i]);
        std::copy(header.begin(), header.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offsets[i]));
    }
    return bytes;
}

struct FixCase {
    const char* name;
    Bytes contents;
};

TEST(FixInPlace, WritesWhatACopyWouldChangeAndNothingOnASecondPass) {
    const FixCase cases[] = {
        {"ManyBuffers", ManyBuffers()},
        {"Elementary", test::ReadAll(std::string(VELTRANE_TEST_DATA_DIR) + "/mpeg2_4x3.m2v")},
        {"ProgramStream", test::ReadAll(std::string(VELTRANE_TEST_DATA_DIR) + "/mpeg2_ps_4x3.mpg")},
        {"TransportStream", test::ReadAll(std::string(VELTRANE_TEST_DATA_DIR) + "/mpeg2_ts_16x9.ts")},
        {"Empty", {}},
    };
    test::TempDir dir;
    for (const FixCase& c : cases) {
        for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
            test::WriteAll(dir.File("source.mpg"), c.contents);
            test::RecordingSink copySink;
            RunReport copied;
            ASSERT_EQ(RunConversion(dir.File("source.mpg"), dir.File("copy.mpg"), mode, copySink, copied),
                      RunOutcome::Completed);

            test::RecordingSink sink;
            RunReport fixed;
            ASSERT_EQ(FixInPlace(dir.File("source.mpg"), mode, sink, fixed), RunOutcome::Completed) << c.name;
            EXPECT_TRUE(
                test::SameBytes(test::ReadAll(dir.File("source.mpg")), test::ReadAll(dir.File("copy.mpg"))))
                << c.name;
            EXPECT_EQ(fixed.headersFound, copied.headersFound) << c.name;
            EXPECT_EQ(fixed.headersRewritten, copied.headersRewritten) << c.name;
            EXPECT_EQ(sink.begins, 1) << c.name;
            EXPECT_EQ(sink.ends, 1) << c.name;

            EXPECT_EQ(FixInPlace(dir.File("source.mpg"), mode, sink, fixed), RunOutcome::Completed) << c.name;
            EXPECT_EQ(fixed.headersRewritten, 0u) << c.name;
            EXPECT_TRUE(
                test::SameBytes(test::ReadAll(dir.File("source.mpg")), test::ReadAll(dir.File("copy.mpg"))))
                << c.name;
        }
    }
}

TEST(FixInPlace, AnInterruptedFixIsCompletedByTheNextOne) {
    test::TempDir dir;
    const Bytes original = ManyBuffers();
    test::WriteAll(dir.File("source.mpg"), original);
    test::RecordingSink copySink;
    ASSERT_EQ(RunConversion(dir.File("source.mpg"), dir.File("copy.mpg"), ConversionMode::To16x9, copySink),
              RunOutcome::Completed);
    const Bytes whole = test::ReadAll(dir.File("copy.mpg"));

    StoppingSink stopping(1);
    RunReport report;
    EXPECT_EQ(FixInPlace(dir.File("source.mpg"), ConversionMode::To16x9, stopping, report),
              RunOutcome::Cancelled);
    const Bytes half = test::ReadAll(dir.File("source.mpg"));
    EXPECT_NE(half, original) << "the first buffer-full's headers are written at once";
    EXPECT_NE(half, whole) << "the rest are not";
    EXPECT_EQ(stopping.ends, 0);

    test::RecordingSink sink;
    EXPECT_EQ(FixInPlace(dir.File("source.mpg"), ConversionMode::To16x9, sink, report),
              RunOutcome::Completed);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("source.mpg")), whole));
}

TEST(FixInPlace, RefusesWhatIsNotARegularFileWithoutWaiting) {
    test::TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    for (const std::string& path : {dir.File("missing.mpg"), dir.Path().string(), dir.File("pipe")}) {
        test::RecordingSink sink;
        RunReport report;
        EXPECT_EQ(FixInPlace(path, ConversionMode::To16x9, sink, report), RunOutcome::SourceOpenFailed)
            << path;
        EXPECT_EQ(sink.begins, 0) << path;
    }
}

} // namespace
} // namespace veltrane
