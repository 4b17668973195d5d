// Copies that share the source's blocks: the writer through a scripted share, and whole runs on a real
// XFS file system next to the same runs on one that cannot share.
#include "conversion_run.h"
#include "copy_writer.h"
#include "file_io.h"
#include "mux_builder.h"
#include "test_support.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace veltrane {
namespace {

using test::Bytes;
using test::SameBytes;

constexpr std::int64_t BLOCK = 4096;

// What one try was asked to share.
struct Range {
    std::int64_t offset;
    std::int64_t length;
};

// Stands in for the file system: "shares" a range by copying the source's bytes into the destination,
// as a clone leaves them, and shares only as much as the script allows on each try.
class ScriptedShare {
public:
    ScriptedShare(const Bytes& source, io::File& dest, std::vector<double> script)
        : m_source(source), m_dest(dest), m_script(std::move(script)) {}

    // Each try shares the script's share of its range (1 all, 0 nothing), the last entry for every
    // try after the script's end.
    std::int64_t operator()(std::int64_t offset, std::int64_t length) {
        tries.push_back({offset, length});
        const double part = m_script[std::min(tries.size(), m_script.size()) - 1];
        const auto shared = static_cast<std::int64_t>(static_cast<double>(length) * part);
        if (!m_dest.WriteAllAt(m_source.data() + offset, static_cast<std::size_t>(shared), offset))
            return -1;
        return shared;
    }

    std::vector<Range> tries;

private:
    const Bytes& m_source;
    io::File& m_dest;
    std::vector<double> m_script;
};

struct WriterCase {
    std::string name;
    std::vector<double> script;
    std::size_t shortTry; // the try that falls short, counted from 1, after which none is made; 0: none
};

void PrintTo(const WriterCase& c, std::ostream* out) {
    *out << c.name;
}

class CopyWriterTest : public testing::TestWithParam<WriterCase> {};

// Random bytes with rewritten bytes on and around block edges, put in pieces of every awkward size:
// the destination must end up as the output exactly, whatever each try shared.
TEST_P(CopyWriterTest, LeavesNoGapAndNoStaleByteWhateverEachTryShares) {
    const WriterCase& c = GetParam();
    test::TempDir dir;
    std::mt19937 random(8);
    constexpr std::int64_t SIZE = 200 * BLOCK + 1234;
    Bytes source(SIZE);
    for (auto& b : source)
        b = static_cast<std::uint8_t>(random());
    // In blocks 0, 1, 3, 39, 41, 150 and the last, partial one.
    const std::int64_t rewritten[] = {
        0,          BLOCK - 1,       BLOCK,   3 * BLOCK + 17, 3 * BLOCK + 18, 40 * BLOCK - 1,
        41 * BLOCK, 150 * BLOCK + 5, SIZE - 1};
    Bytes output = source;
    for (const std::int64_t at : rewritten)
        output[static_cast<std::size_t>(at)] ^= 0x10;
    test::WriteAll(dir.File("source"), source);

    io::File sourceFile = io::OpenForSequentialRead(dir.File("source"));
    io::OutputFile dest(dir.File("dest"), sourceFile);
    ASSERT_TRUE(dest.IsOpen());
    io::File& destFile = dest.Content();
    {
        ScriptedShare share(source, destFile, c.script);
        CopyWriter writer(sourceFile, destFile, std::ref(share));
        const std::size_t pieces[] = {1, 7, 4095, 4096, 4097, 655353, 3, 20000};
        std::size_t at = 0;
        for (std::size_t k = 0; at < output.size(); ++k) {
            const std::size_t size = std::min(pieces[k % std::size(pieces)], output.size() - at);
            for (const std::int64_t r : rewritten) {
                if (r >= static_cast<std::int64_t>(at) && r < static_cast<std::int64_t>(at + size))
                    writer.NoteRewritten(r);
            }
            ASSERT_EQ(writer.Position(), static_cast<std::int64_t>(at));
            ASSERT_TRUE(writer.Put(output.data() + at, size));
            at += size;
        }
        ASSERT_TRUE(writer.Finish());
        ASSERT_TRUE(dest.Commit());

        for (const Range& r : share.tries) {
            EXPECT_EQ(r.offset % BLOCK, 0) << "a try at " << r.offset;
            EXPECT_TRUE((r.offset + r.length) % BLOCK == 0 || r.offset + r.length == SIZE)
                << "a try up to " << r.offset + r.length;
        }
        if (c.shortTry == 0)
            EXPECT_EQ(writer.SharedBytes(), SIZE - 6 * BLOCK - 1234); // every block with no new byte
        else
            EXPECT_EQ(share.tries.size(), c.shortTry); // after a try that fell short, the run writes
    }
    EXPECT_TRUE(SameBytes(test::ReadAll(dir.File("dest")), output));
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, CopyWriterTest,
    testing::Values(WriterCase{"EveryTryShares", {1.0}, 0}, WriterCase{"FirstTrySharesNothing", {0.0}, 1},
                    WriterCase{"ThirdTrySharesHalf", {1.0, 1.0, 0.5}, 3},
                    WriterCase{"SecondTryFailsOutright", {1.0, 0.0}, 2},
                    // The last try, at the end, covers blocks put long before: copied from the source.
                    WriterCase{"LastTryFailsAfterManyPuts", {1.0, 1.0, 1.0, 1.0, 0.0}, 5},
                    WriterCase{"FirstTrySharesAnOddPart", {0.3}, 1}),
    [](const testing::TestParamInfo<WriterCase>& row) { return row.param.name; });

class QuietSink : public ProgressSink {
public:
    void Begin() override {}
    void Position(int) override {}
    void End() override {}
};

// Random bytes with 4:3 headers where edges meet them: across a block edge, cut by the first buffer's
// edge, its aspect byte the last of a buffer-full, and its aspect byte the file's last.
Bytes SourceWithHeaders() {
    std::mt19937 random(20261207);
    Bytes bytes(3 * CHUNK_SIZE + 1234);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    const std::size_t at[] = {0,
                              BLOCK - 5,
                              CHUNK_SIZE - 3,
                              2 * CHUNK_SIZE - 10,
                              2 * CHUNK_SIZE + 100,
                              bytes.size() - 16,
                              bytes.size() - 8};
    for (const std::size_t offset : at) {
        const Bytes header = test::SequenceHeader(0x23);
        std::copy(header.begin(), header.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    return bytes;
}

// A FIFO cannot share blocks or be written at an offset: it gets every byte in order, as before.
TEST(CopyWriterOntoAFifo, WritesEveryByteInOrder) {
    test::TempDir dir;
    const Bytes source = SourceWithHeaders();
    test::WriteAll(dir.File("in.mpg"), source);
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    // Opened before the run, so that the run finds a reader; drained meanwhile on another thread.
    const int reader = ::open(dir.File("pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Bytes received;
    std::atomic<bool> runEnded{false};
    std::thread drain([&] {
        std::uint8_t chunk[65536];
        for (;;) {
            const ssize_t n = ::read(reader, chunk, sizeof chunk);
            if (n > 0)
                received.insert(received.end(), chunk, chunk + n);
            else if (n == 0 && runEnded)
                break; // the writer has gone and the pipe is empty
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1)); // no writer yet, or no data
        }
    });
    QuietSink sink;
    const RunOutcome outcome =
        RunConversion(dir.File("in.mpg"), dir.File("pipe"), ConversionMode::To16x9, sink);
    runEnded = true;
    drain.join();
    ::close(reader);
    EXPECT_EQ(outcome, RunOutcome::Completed);
    EXPECT_TRUE(SameBytes(received, test::ReferenceConversion(source, ConversionMode::To16x9)));
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

    static std::unique_ptr<test::LoopMount> s_xfs;
};

std::unique_ptr<test::LoopMount> OnXfs::s_xfs;

// Where a file system that cannot share blocks lives: memory if the machine has /dev/shm (tmpfs),
// the temporary folder (here ext4) otherwise.
std::filesystem::path NonSharingBase() {
    std::error_code error;
    return std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                            : std::filesystem::temp_directory_path();
}

// The same conversion onto XFS, where the copy shares the source's blocks, and across or onto file
// systems where it cannot: every one gives the reference output, and the shared one costs about a
// block per rewritten header.
TEST_F(OnXfs, ConversionGivesTheSameBytesAndSharesTheUnchangedBlocks) {
    test::LoopMount& xfs = *s_xfs;
    test::TempDir local(NonSharingBase());
    const Bytes source = SourceWithHeaders();
    const Bytes expected = test::ReferenceConversion(source, ConversionMode::To16x9);
    test::WriteAll(xfs.File("source.mpg"), source);
    test::WriteAll(local.File("source.mpg"), source);

    struct Row {
        std::string name, from, to;
        bool shares;
    };
    const Row rows[] = {{"XfsToXfs", xfs.File("source.mpg"), xfs.File("out.mpg"), true},
                        {"XfsToLocal", xfs.File("source.mpg"), local.File("out.mpg"), false},
                        {"LocalToXfs", local.File("source.mpg"), xfs.File("out2.mpg"), false},
                        {"LocalToLocal", local.File("source.mpg"), local.File("out2.mpg"), false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::int64_t usedBefore = xfs.UsedBytes();
        QuietSink sink;
        RunReport report;
        ASSERT_EQ(RunConversion(row.from, row.to, ConversionMode::To16x9, sink, report),
                  RunOutcome::Completed);
        EXPECT_EQ(report.headersRewritten, 7u);
        EXPECT_TRUE(SameBytes(test::ReadAll(row.to), expected));
        if (row.shares) {
            EXPECT_LE(xfs.UsedBytes() - usedBefore, 7 * BLOCK + (1 << 20));
        }
    }
    EXPECT_TRUE(SameBytes(test::ReadAll(xfs.File("source.mpg")), source));
}

// A transport stream whose headers are all cut by packet boundaries, rewritten where the walk finds
// each aspect byte: the shared copy matches the payload model too.
TEST_F(OnXfs, CutHeadersInATransportStreamMatchTheModelWhenShared) {
    std::mt19937 random(11);
    const Bytes es = test::SyntheticVideo(60, 0x35, true, 30000, random);
    test::TransportOptions options;
    options.cuts = test::CutEveryHeader(es);
    const test::Mux mux = test::BuildTransport(es, options, random);
    ASSERT_GT(mux.file.size(), 2 * CHUNK_SIZE);
    test::WriteAll(s_xfs->File("cut.ts"), mux.file);
    const std::int64_t usedBefore = s_xfs->UsedBytes();
    QuietSink sink;
    RunReport report;
    ASSERT_EQ(
        RunConversion(s_xfs->File("cut.ts"), s_xfs->File("cut.out.ts"), ConversionMode::To4x3, sink, report),
        RunOutcome::Completed);
    EXPECT_EQ(report.headersRewritten, 60u);
    EXPECT_TRUE(SameBytes(test::ReadAll(s_xfs->File("cut.out.ts")),
                          test::ReferenceMuxConversion(mux, ConversionMode::To4x3)));
    EXPECT_LE(s_xfs->UsedBytes() - usedBefore, 60 * BLOCK + (1 << 20));
}

// Every real file of the test data, both ways: the shared copy equals the written one byte for byte.
TEST_F(OnXfs, RealFilesGiveTheSameCopySharedOrWritten) {
    test::TempDir local(NonSharingBase());
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VELTRANE_TEST_DATA_DIR)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".m1v" && ext != ".m2v" && ext != ".mpg" && ext != ".ts")
            continue;
        ++files;
        const Bytes source = test::ReadAll(entry.path().string());
        test::WriteAll(s_xfs->File("real.in"), source);
        for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
            SCOPED_TRACE(entry.path().filename().string() +
                         (mode == ConversionMode::To16x9 ? " to 16:9" : " to 4:3"));
            QuietSink sink;
            ASSERT_EQ(RunConversion(s_xfs->File("real.in"), s_xfs->File("real.out"), mode, sink),
                      RunOutcome::Completed);
            ASSERT_EQ(RunConversion(entry.path().string(), local.File("real.out"), mode, sink),
                      RunOutcome::Completed);
            EXPECT_TRUE(
                SameBytes(test::ReadAll(s_xfs->File("real.out")), test::ReadAll(local.File("real.out"))));
        }
    }
    EXPECT_GE(files, 5);
}

} // namespace
} // namespace veltrane
