// How a run fails: the right outcome and text, no progress for what never started, the source unharmed.
#include "conversion_run.h"
#include "test_support.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct SetupCase {
    const char* name;
    // Makes the two paths to convert inside the scratch folder, which already holds "in.mpg".
    std::function<std::pair<std::string, std::string>(const test::TempDir&)> paths;
    RunOutcome expected;
};

TEST(ConversionSetupFailures, EndInTheirOwnTextWithoutProgressAndLeaveTheSourceAlone) {
    const SetupCase cases[] = {
        {"MissingSource",
         [](auto& d) {
             return std::pair{d.File("none.mpg"), d.File("out.mpg")};
         },
         RunOutcome::SourceOpenFailed},
        {"EmptySourcePath",
         [](auto& d) {
             return std::pair{std::string{}, d.File("out.mpg")};
         },
         RunOutcome::SourceOpenFailed},
        {"SourceIsAFolder",
         [](auto& d) {
             return std::pair{d.Path().string(), d.File("out.mpg")};
         },
         RunOutcome::SourceOpenFailed},
        {"SourceIsAFifoWithNoWriter",
         [](auto& d) {
             ::mkfifo(d.File("pipe").c_str(), 0600);
             return std::pair{d.File("pipe"), d.File("out.mpg")};
         },
         RunOutcome::SourceOpenFailed},
        {"EmptyDestPath",
         [](auto& d) {
             return std::pair{d.File("in.mpg"), std::string{}};
         },
         RunOutcome::DestOpenFailed},
        {"DestIsTheSource",
         [](auto& d) {
             return std::pair{d.File("in.mpg"), d.File("in.mpg")};
         },
         RunOutcome::DestOpenFailed},
        {"DestIsTheSourceSpelledWithDot",
         [](auto& d) {
             return std::pair{d.File("in.mpg"), (d.Path() / "." / "in.mpg").string()};
         },
         RunOutcome::DestOpenFailed},
        {"DestIsASymlinkToTheSource",
         [](auto& d) {
             fs::create_symlink(d.File("in.mpg"), d.File("link.mpg"));
             return std::pair{d.File("in.mpg"), d.File("link.mpg")};
         },
         RunOutcome::DestOpenFailed},
        {"DestIsAHardLinkToTheSource",
         [](auto& d) {
             fs::create_hard_link(d.File("in.mpg"), d.File("hard.mpg"));
             return std::pair{d.File("hard.mpg"), d.File("in.mpg")};
         },
         RunOutcome::DestOpenFailed},
        {"DestInAMissingFolder",
         [](auto& d) {
             return std::pair{d.File("in.mpg"), (d.Path() / "no" / "out.mpg").string()};
         },
         RunOutcome::DestOpenFailed},
        {"DestIsAFolder",
         [](auto& d) {
             return std::pair{d.File("in.mpg"), d.Path().string()};
         },
         RunOutcome::DestOpenFailed},
        {"DestIsAFifoWithNoReader",
         [](auto& d) {
             ::mkfifo(d.File("pipe").c_str(), 0600);
             return std::pair{d.File("in.mpg"), d.File("pipe")};
         },
         RunOutcome::DestOpenFailed},
    };
    Bytes withHeader(CHUNK_SIZE + 10, 0x00);
    const Bytes header = test::SequenceHeader(0x23);
    std::copy(header.begin(), header.end(), withHeader.begin());
    for (const SetupCase& c : cases) {
        test::TempDir dir;
        test::WriteAll(dir.File("in.mpg"), withHeader);
        const auto [from, to] = c.paths(dir);
        test::RecordingSink sink;
        EXPECT_EQ(RunConversion(from, to, ConversionMode::To16x9, sink), c.expected) << c.name;
        EXPECT_EQ(sink.begins + sink.ends + sink.positions.size(), 0u) << c.name;
        EXPECT_EQ(test::ReadAll(dir.File("in.mpg")), withHeader) << c.name;
    }
    EXPECT_EQ(OutcomeText(RunOutcome::SourceOpenFailed), "can't open input file");
    EXPECT_EQ(OutcomeText(RunOutcome::DestOpenFailed), "can't open output file.");
}

TEST(ConversionWriteFailures, AFullDeviceIsAFailureNotACompletedRun) {
    test::TempDir dir;
    for (const std::size_t size : {std::size_t{100}, std::size_t{3} * CHUNK_SIZE}) {
        test::WriteAll(dir.File("in.mpg"), Bytes(size, 0x42));
        test::RecordingSink sink;
        EXPECT_EQ(RunConversion(dir.File("in.mpg"), "/dev/full", ConversionMode::To16x9, sink),
                  RunOutcome::WriteFailed)
            << size;
        EXPECT_EQ(sink.begins, 1);
        EXPECT_EQ(sink.ends, 0);
    }
    EXPECT_EQ(OutcomeText(RunOutcome::WriteFailed), "can't write output file.");
    EXPECT_EQ(OutcomeText(RunOutcome::ReadFailed), "can't read input file");
}

// Nothing keeps other writers out of the source on Linux; a run must end sensibly however the
// source changes under it. The sink's first position report is the moment to change it.
class ChangingSource : public test::RecordingSink {
public:
    ChangingSource(std::function<void()> change) : m_change(std::move(change)) {}
    void Position(int position) override {
        if (positions.empty())
            m_change();
        RecordingSink::Position(position);
    }

private:
    std::function<void()> m_change;
};

TEST(ConversionOfAChangingSource, EndsWithWhatTheReadsReturned) {
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    Bytes source(3 * CHUNK_SIZE, 0xFF);
    const Bytes header = test::SequenceHeader(0x23);
    std::copy(header.begin(), header.end(), source.begin() + CHUNK_SIZE + 10);

    // Shrinking: the second read returns a little, the third nothing, long before the size said.
    test::WriteAll(in, source);
    ChangingSource shrinking([&] { ASSERT_EQ(::truncate(in.c_str(), CHUNK_SIZE + 20), 0); });
    ASSERT_EQ(RunConversion(in, dir.File("out.mpg"), ConversionMode::To16x9, shrinking),
              RunOutcome::Completed);
    const Bytes shrunk(source.begin(), source.begin() + CHUNK_SIZE + 20);
    EXPECT_EQ(test::ReadAll(dir.File("out.mpg")), test::ReferenceConversion(shrunk, ConversionMode::To16x9));
    EXPECT_EQ(shrinking.ends, 1);

    // Growing: the reads run past the size taken at the start and the run stops there, on the scale.
    const Bytes small(CHUNK_SIZE + 100, 0xEE);
    test::WriteAll(in, small);
    ChangingSource growing([&] { test::WriteAll(in, source); });
    ASSERT_EQ(RunConversion(in, dir.File("out.mpg"), ConversionMode::To16x9, growing), RunOutcome::Completed);
    const Bytes out = test::ReadAll(dir.File("out.mpg"));
    EXPECT_GT(out.size(), small.size());
    EXPECT_EQ(growing.positions.back(), PROGRESS_MAX);
    EXPECT_EQ(growing.ends, 1);
}

} // namespace
} // namespace veltrane
