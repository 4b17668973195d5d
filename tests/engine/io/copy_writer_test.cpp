// Copies that share the source's blocks: the writer through a scripted share and write-back, and whole
// runs on a real XFS file system next to the same runs on one that cannot share.
#include "container/mux_builder.h"
#include "conversion_run.h"
#include "io/copy_writer.h"
#include "io/file_io.h"
#include "io/write_back.h"
#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace veltrane {
namespace {

using test::Bytes;
using test::SameBytes;

constexpr std::int64_t BLOCK = 4096;

struct WriterCase {
    std::string name;
    // Each step shares this part of its range (1 all, 0 nothing), the last entry for every later step.
    std::vector<double> script;
    // Bytes the source gains (> 0) or loses (< 0) after the writer is given its size.
    std::int64_t change = 0;
    // The output's last byte, past the source's end, is told as rewritten before anything is put, as a
    // format's appended bytes are.
    bool noteAppendedFirst = false;
};

void PrintTo(const WriterCase& c, std::ostream* out) {
    *out << c.name;
}

class CopyWriterTest : public testing::TestWithParam<WriterCase> {};

// Random bytes with rewritten bytes on and around block edges, put in pieces of every awkward size, and a
// stand-in file system that "shares" by copying the source's bytes: the destination must end up as the
// output exactly, whatever each step shared, no step may cover a byte already written, and every clean
// block is shared when every step succeeds.
TEST_P(CopyWriterTest, LeavesNoGapAndNoStaleByteWhateverEachStepShares) {
    const std::vector<double>& script = GetParam().script;
    test::TempDir dir;
    std::mt19937 random(8);
    Bytes source(5 * BLOCK * 40 + 1234);
    for (auto& b : source)
        b = static_cast<std::uint8_t>(random());
    const auto size = static_cast<std::int64_t>(source.size());
    const std::vector<std::int64_t> rewritten = {
        0,          BLOCK - 1,       BLOCK,   3 * BLOCK + 17, 3 * BLOCK + 18, 40 * BLOCK - 1,
        41 * BLOCK, 150 * BLOCK + 5, size - 1};
    Bytes output = source;
    for (const std::int64_t at : rewritten)
        output[static_cast<std::size_t>(at)] ^= 0x10;
    test::WriteAll(dir.File("source"), source);
    const std::int64_t put = size + GetParam().change;
    output.resize(static_cast<std::size_t>(put), 0x47);

    io::File sourceFile = io::OpenForSequentialRead(dir.File("source"));
    io::OutputFile dest(dir.File("dest"), sourceFile);
    ASSERT_TRUE(dest.IsOpen());
    std::size_t tries = 0;
    const auto share = [&](std::int64_t offset, std::int64_t length) -> std::int64_t {
        EXPECT_EQ(offset % BLOCK, 0) << "a step at " << offset;
        EXPECT_TRUE((offset + length) % BLOCK == 0 || offset + length == size)
            << "a step up to " << offset + length;
        EXPECT_LE(dest.Content().Size().value_or(0), offset) << "a step over written bytes";
        const double part = script[std::min(++tries, script.size()) - 1];
        const auto shared = static_cast<std::int64_t>(static_cast<double>(length) * part);
        return dest.Content().WriteAllAt(source.data() + offset, static_cast<std::size_t>(shared), offset)
                   ? shared
                   : -1;
    };
    CopyWriter::Seams seams;
    seams.share = share;
    seams.shareStep = 40 * BLOCK;
    CopyWriter writer(sourceFile, dest.Content(), size, seams);
    if (GetParam().noteAppendedFirst)
        writer.NoteRewritten(put - 1);
    const std::size_t pieces[] = {1, 7, 4095, 4096, 4097, 655353, 3, 20000};
    for (std::size_t k = 0, at = 0; at < output.size(); ++k) {
        const std::size_t piece = std::min(pieces[k % std::size(pieces)], output.size() - at);
        for (const std::int64_t r : rewritten) {
            if (r >= static_cast<std::int64_t>(at) && r < static_cast<std::int64_t>(at + piece))
                writer.NoteRewritten(r);
        }
        ASSERT_EQ(writer.Position(), static_cast<std::int64_t>(at));
        ASSERT_TRUE(writer.Put(output.data() + at, piece));
        at += piece;
    }
    ASSERT_TRUE(writer.Finish());
    ASSERT_TRUE(dest.Commit());
    EXPECT_TRUE(SameBytes(test::ReadAll(dir.File("dest")), output));

    if (put != size)
        return;
    std::int64_t cleanBytes = 0;
    for (std::int64_t block = 0; block < size; block += BLOCK) {
        if (std::none_of(rewritten.begin(), rewritten.end(),
                         [&](auto r) { return r >= block && r < block + BLOCK; }))
            cleanBytes += std::min(BLOCK, size - block);
    }
    if (script == std::vector<double>{1.0})
        EXPECT_EQ(writer.SharedBytes(), cleanBytes);
    else
        EXPECT_LT(writer.SharedBytes(), cleanBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, CopyWriterTest,
    testing::Values(WriterCase{"EveryStepShares", {1.0}}, WriterCase{"FirstStepSharesNothing", {0.0}},
                    WriterCase{"ThirdStepSharesHalf", {1.0, 1.0, 0.5}},
                    WriterCase{"SecondStepFailsOutright", {1.0, 0.0}},
                    WriterCase{"LastStepFailsAfterManyPuts", {1.0, 1.0, 1.0, 1.0, 0.0}},
                    WriterCase{"FirstStepSharesAnOddPart", {0.3}},
                    // Read to its end rather than to its size, as a disc's files are copied.
                    WriterCase{"SourceEndsEarly", {1.0}, -3 * BLOCK - 5},
                    WriterCase{"SourceGrows", {1.0}, 2 * BLOCK + 7},
                    WriterCase{"BytesAppendedPastTheSourceNotedFirst", {1.0}, 300 * BLOCK + 7, true}),
    [](const testing::TestParamInfo<WriterCase>& row) { return row.param.name; });

// Runs go the way this copy measured as cheaper, and the bytes are the same either way: where writing
// back a rewritten block costs more than a run's bytes, the runs between rewritten blocks are written
// once enough is measured, and then the rest of the copy; where it costs less, all are shared but the
// first half megabyte. Rewritten blocks 300 KiB apart or more, or that far apart on average, are shared
// whatever the clock says. A range that fails to be written back fails the copy, with the system's
// reason.
TEST(CopyWriterChoice, WritesTheRunsWhereARewrittenBlockCostsMoreThanTheirBytes) {
    test::TempDir dir;
    std::mt19937 random(77);
    Bytes whole(32 << 20);
    for (auto& b : whole)
        b = static_cast<std::uint8_t>(random());
    struct Row {
        const char* name;
        std::int64_t perPiece;
        std::size_t apart;             // between rewritten bytes
        bool chosen;                   // whether runs are written by choice
        std::int64_t failingRange = 0; // 0: none fails
        std::size_t megabytes = 20;    // enough for 64 rewritten blocks to be measured well before the end
        std::size_t shortApart = 0;    // every fourth gap instead, where not 0
    };
    const Row rows[] = {
        {"CostlyBlocksDense", 1'000'000, 32 << 10, true},
        {"CheapBlocksDense", 1'000, 32 << 10, false},
        {"WriteBackFails", 1'000, 32 << 10, false, 4},
        {"CostlyBlocksJustDenserThanADvd", 1'000'000, 296 << 10, true, 0, 32},
        {"CostlyBlocksAsFarApartAsOnADvd", 1'000'000, 300 << 10, false},
        {"BlocksCostlierStillFurtherApart", 1'000'000'000, 400 << 10, false},
        // A DVD's still scene: a short group of pictures among long ones, 370 KiB apart on average.
        {"CostlyBlocksAsOnADvdWithShortGroups", 1'000'000, 400 << 10, false, 0, 32, 283 << 10},
        {"CostlyBlocksShortGroupsAmongDenserOnes", 1'000'000, 290 << 10, true, 0, 32, 283 << 10},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes source(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(row.megabytes << 20));
        test::WriteAll(dir.File("source"), source);
        const auto size = static_cast<std::int64_t>(source.size());
        io::File sourceFile = io::OpenForSequentialRead(dir.File("source"));
        io::OutputFile dest(dir.File("dest"), sourceFile);
        ASSERT_TRUE(dest.IsOpen());
        // Every look at the clock moves it a nanosecond, and a range written back by its pieces' and
        // bytes' cost besides.
        std::int64_t now = 0;
        std::int64_t ranges = 0;
        CopyWriter::Seams seams;
        seams.share = [&](std::int64_t offset, std::int64_t length) -> std::int64_t {
            return dest.Content().WriteAllAt(source.data() + offset, static_cast<std::size_t>(length), offset)
                       ? length
                       : 0;
        };
        seams.clock = [&now] { return ++now; };
        seams.writeBack = [&](const WriteBack::Range& range, int& error) {
            now += range.pieces * row.perPiece + range.bytes;
            error = ENOSPC;
            return ++ranges != row.failingRange;
        };
        seams.writeBackStep = 2 << 20;
        CopyWriter writer(sourceFile, dest.Content(), size, seams);
        Bytes output = source;
        std::int64_t rewrittenBlocks = 0; // past the first half megabyte, which is written anyway
        std::size_t gaps = 0;
        for (std::size_t at = 0, r = 5000; at < output.size(); at += CHUNK_SIZE) {
            const std::size_t piece = std::min<std::size_t>(CHUNK_SIZE, output.size() - at);
            for (; r < at + piece; r += ++gaps % 4 == 0 && row.shortApart != 0 ? row.shortApart : row.apart) {
                output[r] ^= 0x10;
                writer.NoteRewritten(static_cast<std::int64_t>(r));
                rewrittenBlocks += r >= 512 * 1024 ? 1 : 0;
            }
            ASSERT_TRUE(writer.Put(output.data() + at, piece));
        }
        if (row.failingRange != 0) {
            EXPECT_FALSE(writer.Finish());
            EXPECT_EQ(writer.Failure().systemError, ENOSPC);
            continue;
        }
        ASSERT_TRUE(writer.Finish());
        ASSERT_TRUE(dest.Commit());
        EXPECT_TRUE(SameBytes(test::ReadAll(dir.File("dest")), output));
        if (row.chosen) {
            // Runs written by choice, then no step shared after the one where they were.
            EXPECT_GT(writer.WrittenByChoice(), 0);
            EXPECT_LE(writer.SharedBytes(),
                      size - 512 * 1024 - rewrittenBlocks * BLOCK - writer.WrittenByChoice());
            if (row.apart < (64 << 10)) {
                EXPECT_LT(writer.SharedBytes(), size / 2);
            }
        } else {
            EXPECT_EQ(writer.WrittenByChoice(), 0);
            EXPECT_EQ(writer.SharedBytes(), size - 512 * 1024 - rewrittenBlocks * BLOCK);
        }
    }
}

// One XFS image for all the tests that need a file system whose copies can share blocks.
class OnXfs : public testing::Test {
protected:
    static void SetUpTestSuite() { s_xfs = std::make_unique<test::LoopMount>("xfs"); }
    static void TearDownTestSuite() { s_xfs.reset(); }
    void SetUp() override {
        if (!s_xfs->IsMounted())
            GTEST_SKIP() << "no XFS to share blocks on: " << s_xfs->WhyNot();
    }

    // Converts `source` within XFS, where the copy shares the source's blocks, and across or onto a file
    // system that cannot share (memory if the machine has /dev/shm, else the temporary folder): every copy
    // must be `expected`, and the shared one costs about a block per rewritten header.
    static void ExpectEveryCopyToBe(const Bytes& source, ConversionMode mode, const Bytes& expected,
                                    bool mayWriteRuns = false) {
        std::error_code error;
        test::TempDir local(std::filesystem::is_directory("/dev/shm", error)
                                ? std::filesystem::path("/dev/shm")
                                : std::filesystem::temp_directory_path());
        const std::string xfsIn = s_xfs->File("in"), xfsOut = s_xfs->File("out");
        test::WriteAll(xfsIn, source);
        test::WriteAll(local.File("in"), source);
        const std::pair<std::string, std::string> paths[] = {{xfsIn, xfsOut},
                                                             {xfsIn, local.File("out")},
                                                             {local.File("in"), s_xfs->File("out2")},
                                                             {local.File("in"), local.File("out2")}};
        for (const auto& [from, to] : paths) {
            SCOPED_TRACE(from + " -> " + to);
            const std::int64_t usedBefore = s_xfs->UsedBytes();
            test::RecordingSink sink;
            RunReport report;
            ASSERT_EQ(RunConversion(from, to, mode, sink, report), RunOutcome::Completed);
            EXPECT_TRUE(SameBytes(test::ReadAll(to), expected));
            if (to == xfsOut && !mayWriteRuns) {
                EXPECT_LE(s_xfs->UsedBytes() - usedBefore,
                          static_cast<std::int64_t>(report.headersRewritten) * BLOCK + (1 << 20));
            }
        }
        EXPECT_TRUE(SameBytes(test::ReadAll(xfsIn), source));
        std::filesystem::remove(xfsOut);
        std::filesystem::remove(s_xfs->File("out2"));
    }

    static std::unique_ptr<test::LoopMount> s_xfs;
};

std::unique_ptr<test::LoopMount> OnXfs::s_xfs;

// Random bytes with 4:3 headers where edges meet them: across a block edge, cut by the first buffer's
// edge, its aspect byte the last of a buffer-full, and its aspect byte the file's last; and a transport
// stream whose headers are all cut by packet boundaries, rewritten where the walk finds each aspect byte.
TEST_F(OnXfs, ConversionGivesTheSameBytesAndSharesTheUnchangedBlocks) {
    std::mt19937 random(20261207);
    Bytes bytes(3 * CHUNK_SIZE + 1234);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    for (const std::size_t offset : {std::size_t{0}, std::size_t{BLOCK - 5}, std::size_t{CHUNK_SIZE - 3},
                                     2 * std::size_t{CHUNK_SIZE} - 10, 2 * std::size_t{CHUNK_SIZE} + 100,
                                     bytes.size() - 16, bytes.size() - 8}) {
        const Bytes header = test::SequenceHeader(0x23);
        std::copy(header.begin(), header.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    ExpectEveryCopyToBe(bytes, ConversionMode::To16x9,
                        test::ReferenceConversion(bytes, ConversionMode::To16x9));

    const Bytes es = test::SyntheticVideo(60, 0x35, true, 30000, random);
    test::TransportOptions options;
    options.cuts = test::CutEveryHeader(es);
    const test::Mux mux = test::BuildTransport(es, options, random);
    ASSERT_GT(mux.file.size(), 2 * CHUNK_SIZE);
    ExpectEveryCopyToBe(mux.file, ConversionMode::To4x3,
                        test::ReferenceMuxConversion(mux, ConversionMode::To4x3));
}

// Copies large enough to measure what writing costs and choose by it: headers as far apart as on a DVD
// keep every run shared and the space promised; headers a few blocks apart may have runs written and
// sharing stopped part-way. Whichever way it went, the bytes are the reference model's.
TEST_F(OnXfs, LargeCopiesChooseByWhatTheyMeasureAndGiveTheSameBytes) {
    std::mt19937 random(1207);
    for (const std::size_t spacing : {std::size_t{400} << 10, std::size_t{24} << 10}) {
        SCOPED_TRACE(spacing);
        Bytes bytes(20 << 20);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        const Bytes header = test::SequenceHeader(0x23);
        // Each a few bytes further on, so that some cross a block's edge.
        for (std::size_t at = 1000, k = 0; at + header.size() < bytes.size(); at += spacing + 7 * (k++ % 600))
            std::copy(header.begin(), header.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        ExpectEveryCopyToBe(bytes, ConversionMode::To16x9,
                            test::ReferenceConversion(bytes, ConversionMode::To16x9), spacing < (64 << 10));
    }
}

// Every real file of the test data, both ways: the shared copy equals the written one byte for byte.
TEST_F(OnXfs, RealFilesGiveTheSameCopySharedOrWritten) {
    test::TempDir dir;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VELTRANE_TEST_DATA_DIR)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".m1v" && ext != ".m2v" && ext != ".mpg" && ext != ".ts")
            continue;
        ++files;
        for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
            SCOPED_TRACE(entry.path().filename().string() +
                         (mode == ConversionMode::To16x9 ? " to 16:9" : " to 4:3"));
            test::RecordingSink sink;
            ASSERT_EQ(RunConversion(entry.path().string(), dir.File("written"), mode, sink),
                      RunOutcome::Completed);
            ExpectEveryCopyToBe(test::ReadAll(entry.path().string()), mode,
                                test::ReadAll(dir.File("written")));
        }
    }
    EXPECT_GE(files, 5);
}

} // namespace
} // namespace veltrane
