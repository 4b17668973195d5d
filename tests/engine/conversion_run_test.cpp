// The streaming rewrite compared byte for byte with the reference model, buffer edges above all.
#include "conversion_run.h"
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace veltrane {
namespace {

using test::Bytes;

constexpr ConversionMode kModes[] = {ConversionMode::To16x9, ConversionMode::To4x3};

std::string ModeName(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? "To16x9" : "To4x3";
}

// Converts `source` through real files and returns what landed in the destination.
Bytes Convert(const Bytes& source, ConversionMode mode, test::RecordingSink* sink = nullptr) {
    test::TempDir dir;
    test::WriteAll(dir.File("in.mpg"), source);
    test::RecordingSink local;
    const RunOutcome outcome =
        RunConversion(dir.File("in.mpg"), dir.File("out.mpg"), mode, sink ? *sink : local);
    EXPECT_EQ(outcome, RunOutcome::Completed);
    return test::ReadAll(dir.File("out.mpg"));
}

// A header whose aspect code the mode converts, with frame rate 4 in the low nibble.
std::uint8_t ConvertibleAspect(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? 0x24 : 0x34;
}

Bytes FileWithHeaderAt(std::size_t size, std::size_t offset, std::uint8_t aspect) {
    Bytes bytes(size, 0xFF);
    const Bytes header = test::SequenceHeader(aspect);
    std::copy_n(header.begin(), std::min(header.size(), size - offset), bytes.begin() + offset);
    return bytes;
}

// Every placement of a header from well before to just past the edge of a buffer-full, at the first
// edge and at the second, where the buffer starts with bytes held over from the pass before.
TEST(ConversionAcrossBufferEdges, EveryHeaderIsRewrittenWhereverTheEdgeCutsIt) {
    const std::size_t size = 2 * CHUNK_SIZE + 64;
    const std::size_t firstEdge = CHUNK_SIZE;
    const std::size_t secondEdge = 2 * CHUNK_SIZE - 3; // the second read starts after 3 held-over bytes
    for (const ConversionMode mode : kModes) {
        for (const std::size_t edge : {firstEdge, secondEdge}) {
            for (std::size_t offset = edge - 16; offset <= edge + 8; ++offset) {
                const Bytes source = FileWithHeaderAt(size, offset, ConvertibleAspect(mode));
                const Bytes expected = test::ReferenceConversion(source, mode);
                ASSERT_NE(expected, source);
                ASSERT_TRUE(test::SameBytes(Convert(source, mode), expected))
                    << ModeName(mode) << " header at " << offset;
            }
        }
    }
}

// Headers packed as tightly as they can be, including start codes four bytes apart whose "aspect
// byte" is the next start code's last byte, thrown across three buffer-fulls at random.
TEST(ConversionOfDenseHeaders, MatchesTheModelOnRandomStartCodeRichFiles) {
    std::mt19937 random(7);
    const Bytes pieces[] = {test::SequenceHeader(0x23),
                            test::SequenceHeader(0x33),
                            test::SequenceHeader(0x13),
                            {0x00, 0x00, 0x01, 0xB3},
                            {0x00, 0x00, 0x01},
                            {0x00},
                            {0x2F},
                            {0x3A},
                            {0xB3}};
    for (int round = 0; round < 6; ++round) {
        Bytes source;
        const std::size_t size = 2 * CHUNK_SIZE + random() % CHUNK_SIZE;
        while (source.size() < size) {
            const Bytes& piece = pieces[random() % std::size(pieces)];
            source.insert(source.end(), piece.begin(), piece.end());
        }
        for (const ConversionMode mode : kModes)
            ASSERT_TRUE(test::SameBytes(Convert(source, mode), test::ReferenceConversion(source, mode)))
                << ModeName(mode) << " round " << round;
    }
}

TEST(ConversionOfSmallFiles, HeadersNeedTheirAspectByteInTheFile) {
    const Bytes header = test::SequenceHeader(0x23);
    // Every prefix of a header, from the empty file to the whole header and one byte more.
    for (std::size_t size = 0; size <= header.size() + 1; ++size) {
        Bytes source(header.begin(),
                     header.begin() + static_cast<std::ptrdiff_t>(std::min(size, header.size())));
        source.resize(size, 0x44);
        Bytes expected = source;
        if (size >= 8)
            expected[7] = 0x33;
        EXPECT_EQ(Convert(source, ConversionMode::To16x9), expected) << size << " bytes";
    }
    // A header at the very end, short of its aspect byte, stays as it was after a long file.
    Bytes tail(CHUNK_SIZE + 107, 0xFF);
    std::copy(header.begin(), header.begin() + 7, tail.end() - 7);
    EXPECT_TRUE(test::SameBytes(Convert(tail, ConversionMode::To16x9), tail));
}

TEST(ConversionProgress, ReportsBytesReadAfterEveryPass) {
    test::RecordingSink empty;
    EXPECT_TRUE(Convert({}, ConversionMode::To16x9, &empty).empty());
    EXPECT_EQ(empty.begins, 1);
    EXPECT_TRUE(empty.positions.empty());
    EXPECT_EQ(empty.ends, 1);

    test::RecordingSink million;
    Convert(Bytes(1000000, 0x11), ConversionMode::To16x9, &million);
    EXPECT_EQ(million.begins, 1);
    EXPECT_EQ(million.positions, (std::vector<int>{6553, 10000}));
    EXPECT_EQ(million.ends, 1);
}

// The run tells its caller what it met, and stops between buffer-fulls when the sink asks it to.
TEST(ConversionReport, CountsHeadersFoundAndRewrittenAndHonoursAStopRequest) {
    Bytes source;
    for (const std::uint8_t aspect : {0x24, 0x34, 0x14, 0x23}) {
        const Bytes header = test::SequenceHeader(aspect);
        source.insert(source.end(), header.begin(), header.end());
    }
    test::TempDir dir;
    test::WriteAll(dir.File("in.mpg"), source);
    test::RecordingSink sink;
    RunReport report;
    ASSERT_EQ(RunConversion(dir.File("in.mpg"), dir.File("out.mpg"), ConversionMode::To16x9, sink, report),
              RunOutcome::Completed);
    EXPECT_EQ(report.headersFound, 4u);
    EXPECT_EQ(report.headersRewritten, 2u);

    struct StoppingSink : test::RecordingSink {
        bool StopRequested() override { return true; }
    } stopping;
    test::WriteAll(dir.File("long.mpg"), Bytes(3 * CHUNK_SIZE, 0x11));
    EXPECT_EQ(RunConversion(dir.File("long.mpg"), dir.File("out.mpg"), ConversionMode::To16x9, stopping),
              RunOutcome::Cancelled);
    EXPECT_EQ(stopping.positions.size(), 1u);
    EXPECT_EQ(stopping.ends, 0);
}

struct PositionCase {
    const char* name;
    std::int64_t total;
    std::int64_t remaining;
    int expected;
};

TEST(ProgressPosition, DividesFirstInDoublePrecisionAndStaysOnTheScale) {
    const PositionCase cases[] = {
        {"FiftySevenOfAHundred", 100, 43, 5699},
        {"OneOfThree", 3, 2, 3333},
        {"Nothing", 1000, 1000, 0},
        {"All", 1000, 0, 10000},
        {"FirstPassOfAMillion", 1000000, 1000000 - CHUNK_SIZE, 6553},
        {"PastFourGiB", 4294968296LL, 1000, 9999},
        {"HalfOfSixGB", 6000000000LL, 3000000000LL, 5000},
        {"FirstPassOfEightGiB", 8589934592LL, 8589934592LL - CHUNK_SIZE, 0},
        {"SourceGrewWhileRead", 10, -5, 10000},
        {"TinySourceGrewByAWholeBuffer", 1, 1 - static_cast<std::int64_t>(CHUNK_SIZE), 10000},
    };
    for (const PositionCase& c : cases)
        EXPECT_EQ(ProgressPosition(c.total, c.remaining), c.expected) << c.name;
}

#ifndef _WIN32
// An existing file is replaced whole, keeping its permissions, also when reached through a symbolic
// link, which stays a link; a new file gets the usual permissions; nothing else is left in the folder.
TEST(ConversionDestination, ReplacesAnExistingFileThroughLinksKeepingItsPermissions) {
    test::TempDir dir;
    const Bytes source = FileWithHeaderAt(5000, 10, 0x23);
    const Bytes expected = test::ReferenceConversion(source, ConversionMode::To16x9);
    test::WriteAll(dir.File("in.mpg"), source);
    test::WriteAll(dir.File("old.mpg"), Bytes(3 * CHUNK_SIZE, 0x77));
    ASSERT_EQ(::chmod(dir.File("old.mpg").c_str(), 0640), 0);
    std::filesystem::create_symlink("old.mpg", dir.File("link.mpg"));
    const auto mode = [&](const char* name) {
        struct stat st {};
        EXPECT_EQ(::stat(dir.File(name).c_str(), &st), 0);
        return st.st_mode & 07777;
    };

    for (const char* dest : {"old.mpg", "link.mpg"}) {
        test::WriteAll(dir.File("old.mpg"), Bytes(3 * CHUNK_SIZE, 0x77));
        test::RecordingSink sink;
        ASSERT_EQ(RunConversion(dir.File("in.mpg"), dir.File(dest), ConversionMode::To16x9, sink),
                  RunOutcome::Completed);
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("old.mpg")), expected)) << dest;
        EXPECT_EQ(mode("old.mpg"), 0640u) << dest;
        EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.mpg"))) << dest;
    }

    const mode_t previous = ::umask(022);
    test::RecordingSink sink;
    ASSERT_EQ(RunConversion(dir.File("in.mpg"), dir.File("new.mpg"), ConversionMode::To16x9, sink),
              RunOutcome::Completed);
    ::umask(previous);
    EXPECT_EQ(mode("new.mpg"), 0644u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 4);
}
#else
// An existing file is replaced whole by the copy moved into its place; nothing else is left in the folder.
// (Windows files have no permission bits to keep, and wine cannot make the links to test.)
TEST(ConversionDestination, ReplacesAnExistingFileAndLeavesNothingBeside) {
    test::TempDir dir;
    const Bytes source = FileWithHeaderAt(5000, 10, 0x23);
    test::WriteAll(dir.File("in.mpg"), source);
    test::WriteAll(dir.File("old.mpg"), Bytes(3 * CHUNK_SIZE, 0x77));
    for (const char* dest : {"old.mpg", "new.mpg"}) {
        test::RecordingSink sink;
        ASSERT_EQ(RunConversion(dir.File("in.mpg"), dir.File(dest), ConversionMode::To16x9, sink),
                  RunOutcome::Completed);
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File(dest)),
                                    test::ReferenceConversion(source, ConversionMode::To16x9)))
            << dest;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3);
}

// The copy grows beside the destination however its folder is spelled: a bare name, a name relative to a
// drive's current folder, forward slashes.
TEST(ConversionDestination, FindsTheFolderOfEverySpellingOfAWindowsPath) {
    test::TempDir dir;
    const Bytes source = FileWithHeaderAt(5000, 10, 0x23);
    test::WriteAll(dir.File("in.mpg"), source);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    const std::string drive = test::Utf8(dir.Path().root_name()); // "C:"
    std::string slashed = dir.File("slashed.mpg");
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    for (const std::string& dest : {std::string("bare.mpg"), drive + "drive-relative.mpg", slashed}) {
        test::RecordingSink sink;
        EXPECT_EQ(RunConversion(dir.File("in.mpg"), dest, ConversionMode::To16x9, sink),
                  RunOutcome::Completed)
            << dest;
    }
    std::filesystem::current_path(previous);
    for (const char* name : {"bare.mpg", "drive-relative.mpg", "slashed.mpg"})
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File(name)),
                                    test::ReferenceConversion(source, ConversionMode::To16x9)))
            << name;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 4);
}
#endif

} // namespace
} // namespace veltrane
