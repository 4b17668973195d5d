// The in-place fix against a copy by RunConversion: the same bytes, whole or after an interruption.
#include "conversion_run.h"
#include "in_place_fix.h"
#include "process_start.h"
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// A transport stream over more than one buffer-full: a format the walk may refuse, so read through first.
Bytes LongTransportStream() {
    const Bytes once = test::ReadAll(std::string(VELTRANE_TEST_DATA_DIR) + "/mpeg2_ts_16x9.ts");
    Bytes bytes;
    while (bytes.size() <= CHUNK_SIZE)
        bytes.insert(bytes.end(), once.begin(), once.end());
    return bytes;
}

// Writes `contents` to the folder's source.mpg and returns its copy by RunConversion.
Bytes SourceAndCopy(const test::TempDir& dir, const Bytes& contents, ConversionMode mode, RunReport& report) {
    test::WriteAll(dir.File("source.mpg"), contents);
    test::RecordingSink sink;
    EXPECT_EQ(RunConversion(dir.File("source.mpg"), dir.File("copy.mpg"), mode, sink, report),
              RunOutcome::Completed);
    return test::ReadAll(dir.File("copy.mpg"));
}

TEST(FixInPlace, WritesWhatACopyWouldChangeAndNothingOnASecondPass) {
    const std::string data = VELTRANE_TEST_DATA_DIR;
    const std::pair<const char*, Bytes> cases[] = {
        {"ManyBuffers", ManyBuffers()},
        {"Elementary", test::ReadAll(data + "/mpeg2_4x3.m2v")},
        {"ProgramStream", test::ReadAll(data + "/mpeg2_ps_4x3.mpg")},
        {"TransportStream", test::ReadAll(data + "/mpeg2_ts_16x9.ts")},
        {"LongTransportStream", LongTransportStream()},
        {"Empty", {}},
    };
    test::TempDir dir;
    for (const auto& [name, contents] : cases) {
        // Kept and written after the one read, or kept no further than one record and read again.
        for (const auto& [mode, keepLimit] : {std::pair{ConversionMode::To16x9, IN_PLACE_KEEP_LIMIT},
                                              {ConversionMode::To4x3, IN_PLACE_KEEP_LIMIT},
                                              {ConversionMode::To4x3, std::size_t{1}}}) {
            SCOPED_TRACE(std::string(name) + " keeping " + std::to_string(keepLimit));
            RunReport copied;
            const Bytes copy = SourceAndCopy(dir, contents, mode, copied);
            test::RecordingSink sink;
            RunReport fixed;
            ASSERT_EQ(FixInPlace(dir.File("source.mpg"), mode, sink, fixed, keepLimit),
                      RunOutcome::Completed);
            EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("source.mpg")), copy));
            EXPECT_EQ(fixed.headersFound, copied.headersFound);
            EXPECT_EQ(fixed.headersRewritten, copied.headersRewritten);
            EXPECT_EQ(sink.begins, 1);
            EXPECT_EQ(sink.ends, 1);
            EXPECT_TRUE(std::is_sorted(sink.positions.begin(), sink.positions.end()));
            if (!contents.empty()) {
                EXPECT_EQ(sink.positions.back(), PROGRESS_MAX);
            }

            EXPECT_EQ(FixInPlace(dir.File("source.mpg"), mode, sink, fixed), RunOutcome::Completed);
            EXPECT_EQ(fixed.headersRewritten, 0u);
            EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("source.mpg")), copy));
        }
    }
}

// However the fix stops part-way, it says so, and the next one completes it.
TEST(FixInPlace, AnInterruptedFixIsCompletedByTheNextOne) {
    struct Interruption {
        const char* name;
        RunOutcome expected;
        std::function<RunOutcome(const std::string& path, RunReport& report)> fix;
    };
    std::vector<Interruption> interruptions = {
        {"Cancelled", RunOutcome::Cancelled,
         [](const std::string& path, RunReport& report) {
             StoppingSink stopping(1);
             const RunOutcome outcome = FixInPlace(path, ConversionMode::To16x9, stopping, report);
             EXPECT_EQ(stopping.ends, 0);
             return outcome;
         }},
    };
#ifndef _WIN32
    // Writes past the limit fail as on a full quota, while those before it go through.
    IgnoreWriteSignals();
    interruptions.push_back(
        {"WriteFailed", RunOutcome::WriteFailed, [](const std::string& path, RunReport& report) {
             rlimit previous{};
             ::getrlimit(RLIMIT_FSIZE, &previous);
             rlimit limit = previous;
             limit.rlim_cur = CHUNK_SIZE;
             ::setrlimit(RLIMIT_FSIZE, &limit);
             test::RecordingSink sink;
             const RunOutcome outcome = FixInPlace(path, ConversionMode::To16x9, sink, report);
             ::setrlimit(RLIMIT_FSIZE, &previous);
             EXPECT_EQ(sink.ends, 0);
             return outcome;
         }});
#endif
    for (const Interruption& interruption : interruptions) {
        test::TempDir dir;
        RunReport report;
        const Bytes whole = SourceAndCopy(dir, ManyBuffers(), ConversionMode::To16x9, report);

        EXPECT_EQ(interruption.fix(dir.File("source.mpg"), report), interruption.expected)
            << interruption.name;
        const Bytes half = test::ReadAll(dir.File("source.mpg"));
        EXPECT_EQ(half.size(), whole.size()) << interruption.name;
        EXPECT_NE(half, ManyBuffers())
            << interruption.name << ": the first buffer-full's headers are written at once";
        EXPECT_NE(half, whole) << interruption.name << ": the rest are not";

        test::RecordingSink sink;
        EXPECT_EQ(FixInPlace(dir.File("source.mpg"), ConversionMode::To16x9, sink, report),
                  RunOutcome::Completed);
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("source.mpg")), whole)) << interruption.name;
    }
}

#ifndef _WIN32 // a Windows fix keeps every other writer out of the file
// A stream the walk may refuse is read once, with nothing written until that read is through, and what it
// found is written; only a file that finds more than the fix keeps is read again. The sink puts the fixed
// copy in the file's place once the first read is through, so that a second read finds nothing left to
// rewrite. A stop during the read leaves the file as it was.
TEST(FixInPlace, ReadsAFileThatMayBeRefusedOnceUnlessItFindsTooMuch) {
    struct ReplacingSink : StoppingSink {
        ReplacingSink(std::size_t stopAfter, std::size_t replaceAt, std::string file, Bytes before,
                      Bytes after)
            : StoppingSink(stopAfter), at(replaceAt), path(std::move(file)), original(std::move(before)),
              replacement(std::move(after)) {}
        void Position(int position) override {
            RecordingSink::Position(position);
            if (positions.size() == 1)
                untouched = test::ReadAll(path) == original;
            if (positions.size() == at)
                test::WriteAll(path, replacement);
        }
        bool untouched = false;
        std::size_t at;
        std::string path;
        Bytes original;
        Bytes replacement;
    };
    struct Row {
        const char* name;
        std::size_t keepLimit;
        std::size_t stopAfter;
        RunOutcome expected;
        std::size_t reads;
    };
    const Row rows[] = {
        {"KeptAndWrittenAfterOneRead", IN_PLACE_KEEP_LIMIT, 100, RunOutcome::Completed, 1},
        {"KeepingNothingReadsAgain", 0, 100, RunOutcome::Completed, 2},
        {"KeepingPartReadsAgain", 4096, 100, RunOutcome::Completed, 2},
        {"StoppedDuringTheRead", IN_PLACE_KEEP_LIMIT, 1, RunOutcome::Cancelled, 0},
        {"StoppedDuringTheSecondRead", 0, 3, RunOutcome::Cancelled, 0},
    };
    const Bytes source = LongTransportStream();
    const std::size_t buffers = (source.size() + CHUNK_SIZE - 1) / CHUNK_SIZE;
    test::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RunReport copied;
        const Bytes copy = SourceAndCopy(dir, source, ConversionMode::To4x3, copied);
        ASSERT_GT(copied.headersRewritten, 0u);
        ReplacingSink sink(row.stopAfter, buffers, dir.File("source.mpg"), source, copy);
        RunReport fixed;
        EXPECT_EQ(FixInPlace(dir.File("source.mpg"), ConversionMode::To4x3, sink, fixed, row.keepLimit),
                  row.expected);
        EXPECT_EQ(sink.begins, 1);
        EXPECT_TRUE(sink.untouched) << "nothing is written before the first read is through";
        EXPECT_TRUE(std::is_sorted(sink.positions.begin(), sink.positions.end()));
        if (row.expected != RunOutcome::Completed) {
            EXPECT_EQ(sink.ends, 0);
            if (row.stopAfter < buffers) {
                EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("source.mpg")), source));
            }
            continue;
        }
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("source.mpg")), copy));
        EXPECT_EQ(sink.positions.size(), row.reads * buffers);
        EXPECT_EQ(sink.positions.back(), PROGRESS_MAX);
        EXPECT_EQ(fixed.headersRewritten, row.reads == 1 ? copied.headersRewritten : 0u);
        EXPECT_EQ(sink.ends, 1);
    }
}

// A file cut short under the fix ends in the read failure a copy of it gives, and never grows back: the
// first buffer-full is cut before its headers are written, or the file between two reads; a stream read
// through before any write is cut during that read, or once it is through and before the writes.
TEST(FixInPlace, AFileCutShortUnderItIsAReadFailureAndNeverGrowsBack) {
    test::TempDir dir;
    const std::string path = dir.File("cut.mpg");
    // Cuts the file at Begin (`at` 0) or just before the given position is told.
    struct CuttingSink : test::RecordingSink {
        CuttingSink(std::string file, off_t size, std::size_t when)
            : path(std::move(file)), to(size), at(when) {}
        void Begin() override {
            if (at == 0) {
                EXPECT_EQ(::truncate(path.c_str(), to), 0);
            }
        }
        void Position(int position) override {
            if (positions.size() + 1 == at) {
                EXPECT_EQ(::truncate(path.c_str(), to), 0);
            }
            RecordingSink::Position(position);
        }
        std::string path;
        off_t to;
        std::size_t at;
    };
    struct Row {
        const char* name;
        Bytes contents;
        off_t size;
        std::size_t at;
    };
    const Row rows[] = {
        {"BeforeTheFirstWrites", ManyBuffers(), 500, 0},
        {"BetweenTwoReads", ManyBuffers(), CHUNK_SIZE + 2000, 1},
        {"DuringTheReadBeforeAnyWrite", LongTransportStream(), CHUNK_SIZE + 2000, 1},
        {"AfterTheReadBeforeTheWrites", LongTransportStream(), 500, 2},
    };
    for (const Row& row : rows) {
        test::WriteAll(path, row.contents);
        CuttingSink sink(path, row.size, row.at);
        RunReport report;
        EXPECT_EQ(FixInPlace(path, ConversionMode::To4x3, sink, report), RunOutcome::ReadFailed) << row.name;
        EXPECT_EQ(report.failure.refusal, io::Refusal::CutShort) << row.name;
        EXPECT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(row.size)) << row.name;
        EXPECT_EQ(sink.ends, 0) << row.name;
    }
}
#endif

TEST(FixInPlace, RefusesWhatIsNotARegularFileWithoutWaiting) {
    test::TempDir dir;
    std::vector<std::string> paths = {dir.File("missing.mpg"), test::Utf8(dir.Path())};
#ifndef _WIN32 // no FIFOs in a Windows file system
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    paths.push_back(dir.File("pipe"));
#endif
    for (const std::string& path : paths) {
        test::RecordingSink sink;
        RunReport report;
        EXPECT_EQ(FixInPlace(path, ConversionMode::To16x9, sink, report), RunOutcome::SourceOpenFailed)
            << path;
        EXPECT_EQ(sink.begins, 0) << path;
    }
}

} // namespace
} // namespace veltrane
