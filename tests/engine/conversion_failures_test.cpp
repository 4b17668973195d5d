// How a run fails: the right outcome and text, no progress for what never started, the source unharmed.
#include "conversion_run.h"
#include "test_support.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veltrane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct SetupCase {
    const char* name;
    const char* source; // names inside the scratch folder; "" is the empty path, "." the folder itself
    const char* dest;
    RunOutcome expected;
};

TEST(ConversionSetupFailures, EndInTheirOwnTextWithoutProgressAndLeaveTheSourceAlone) {
    test::TempDir dir;
    Bytes original(CHUNK_SIZE + 10, 0x00);
    const Bytes header = test::SequenceHeader(0x23);
    std::copy(header.begin(), header.end(), original.begin());
    test::WriteAll(dir.File("in.mpg"), original);
#ifdef _WIN32
    // libstdc++ leaves symlinks out on Windows; the system call makes them for an unprivileged user too.
    ::CreateSymbolicLinkW((dir.Path() / "symlink.mpg").c_str(), (dir.Path() / "in.mpg").c_str(),
                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    // A name of the 8.3 kind, for a file whose long name does not fit it.
    fs::create_hard_link(dir.Path() / "in.mpg", dir.Path() / "another name for in.mpg");
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_GT(::GetShortPathNameW((dir.Path() / "another name for in.mpg").c_str(), shortName, MAX_PATH), 0u);
    const std::string shortLeaf = test::Utf8(fs::path(shortName).filename());
#else
    fs::create_symlink(dir.Path() / "in.mpg", dir.Path() / "symlink.mpg");
#endif
    fs::create_hard_link(dir.Path() / "in.mpg", dir.Path() / "hardlink.mpg");
#ifndef _WIN32
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
#endif

    std::vector<SetupCase> cases = {
        {"MissingSource", "none.mpg", "out.mpg", RunOutcome::SourceOpenFailed},
        {"EmptySourcePath", "", "out.mpg", RunOutcome::SourceOpenFailed},
        {"SourceIsAFolder", ".", "out.mpg", RunOutcome::SourceOpenFailed},
        {"SourceIsAFifoWithNoWriter", "pipe", "out.mpg", RunOutcome::SourceOpenFailed},
        {"EmptyDestPath", "in.mpg", "", RunOutcome::DestOpenFailed},
        {"DestIsTheSource", "in.mpg", "in.mpg", RunOutcome::DestOpenFailed},
        {"DestIsTheSourceSpelledWithDot", "in.mpg", "./in.mpg", RunOutcome::DestOpenFailed},
        {"DestIsASymlinkToTheSource", "in.mpg", "symlink.mpg", RunOutcome::DestOpenFailed},
        {"DestIsAHardLinkToTheSource", "hardlink.mpg", "in.mpg", RunOutcome::DestOpenFailed},
        {"DestInAMissingFolder", "in.mpg", "no/out.mpg", RunOutcome::DestOpenFailed},
        {"DestIsAFolder", "in.mpg", ".", RunOutcome::DestOpenFailed},
        {"DestIsAFifoWithNoReader", "in.mpg", "pipe", RunOutcome::DestOpenFailed},
    };
#ifdef _WIN32
    // Windows has no FIFOs in the file system; its named pipes live apart, under \\.\pipe\.
    std::erase_if(cases,
                  [](const SetupCase& c) { return std::string(c.name).find("Fifo") != std::string::npos; });
    cases.push_back({"DestIsTheSourceInOtherLetterCase", "in.mpg", "IN.MPG", RunOutcome::DestOpenFailed});
    cases.push_back(
        {"DestIsTheSourceByItsShortName", "in.mpg", shortLeaf.c_str(), RunOutcome::DestOpenFailed});
    // wine's CreateSymbolicLinkW reports success and makes nothing; only a real link makes a case.
    if (::GetFileAttributesW((dir.Path() / "symlink.mpg").c_str()) == INVALID_FILE_ATTRIBUTES)
        std::erase_if(cases, [](const SetupCase& c) {
            return std::string(c.name).find("Symlink") != std::string::npos;
        });
#endif
    const auto path = [&](const char* name) { return *name ? dir.File(name) : std::string{}; };
    for (const SetupCase& c : cases) {
        test::RecordingSink sink;
        EXPECT_EQ(RunConversion(path(c.source), path(c.dest), ConversionMode::To16x9, sink), c.expected)
            << c.name;
        EXPECT_EQ(sink.begins + sink.ends + sink.positions.size(), 0u) << c.name;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("in.mpg")), original)) << c.name;
    }
    EXPECT_EQ(OutcomeText(RunOutcome::SourceOpenFailed), "can't open input file");
    EXPECT_EQ(OutcomeText(RunOutcome::DestOpenFailed), "can't open output file.");
}

TEST(ConversionWriteFailures, AFullDeviceIsAFailureNotACompletedRun) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no /dev/full to stage a full device with";
#endif
    test::TempDir dir;
    // Small enough for the final write of held-over bytes alone, and large enough for the passes.
    for (const std::size_t size : {std::size_t{5}, std::size_t{3} * CHUNK_SIZE}) {
        test::WriteAll(dir.File("in.mpg"), Bytes(size, 0x42));
        test::RecordingSink sink;
        EXPECT_EQ(RunConversion(dir.File("in.mpg"), "/dev/full", ConversionMode::To16x9, sink),
                  RunOutcome::WriteFailed)
            << size;
        EXPECT_EQ(sink.begins, 1);
        EXPECT_EQ(sink.ends, 0);
    }
    EXPECT_EQ(OutcomeText(RunOutcome::WriteFailed), "can't write output file.");
}

// Nothing keeps other writers out of the source on Linux; a run must end sensibly however the
// source changes under it. The sink's first position report is the moment to change it.
class ChangingSource : public test::RecordingSink {
public:
    explicit ChangingSource(std::function<void()> change) : m_change(std::move(change)) {}
    void Position(int position) override {
        if (positions.empty())
            m_change();
        RecordingSink::Position(position);
    }

private:
    std::function<void()> m_change;
};

TEST(ConversionOfAChangingSource, EndsWithWhatTheReadsReturned) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows keeps writers out of an open source; ConversionOfABusySource tests that";
#endif
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    Bytes source(3 * CHUNK_SIZE, 0xFF);
    const Bytes header = test::SequenceHeader(0x23);
    std::copy(header.begin(), header.end(), source.begin() + CHUNK_SIZE + 10);

    // Shrinking: the second read returns a little, the third nothing, long before the size said.
    test::WriteAll(in, source);
    ChangingSource shrinking([&] { fs::resize_file(test::FsPath(in), CHUNK_SIZE + 20); });
    ASSERT_EQ(RunConversion(in, dir.File("out.mpg"), ConversionMode::To16x9, shrinking),
              RunOutcome::Completed);
    const Bytes shrunk(source.begin(), source.begin() + CHUNK_SIZE + 20);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("out.mpg")),
                                test::ReferenceConversion(shrunk, ConversionMode::To16x9)));
    EXPECT_EQ(shrinking.ends, 1);

    // Growing: the reads run past the size taken at the start and the run stops there, on the scale.
    const Bytes small(CHUNK_SIZE + 100, 0xEE);
    test::WriteAll(in, small);
    ChangingSource growing([&] { test::WriteAll(in, source); });
    ASSERT_EQ(RunConversion(in, dir.File("out.mpg"), ConversionMode::To16x9, growing), RunOutcome::Completed);
    EXPECT_GT(test::ReadAll(dir.File("out.mpg")).size(), small.size());
    EXPECT_EQ(growing.positions.back(), PROGRESS_MAX);
    EXPECT_EQ(growing.ends, 1);
}

// A read that fails part-way (an I/O error on a dying disk, say) is staged by putting a folder behind
// the run's source descriptor, whose next read then fails with EISDIR.
TEST(ConversionReadFailures, APartWayReadErrorIsAFailureNotACompletedRun) {
#ifdef _WIN32
    GTEST_SKIP() << "staged through /proc/self/fd, which only Linux has";
#else
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    test::WriteAll(in, Bytes(3 * CHUNK_SIZE, 0x42));
    ChangingSource failing([&] {
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            if (fs::read_symlink(entry.path(), ignored) != in)
                continue;
            const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_NE(folder, -1);
            ASSERT_NE(::dup2(folder, std::stoi(entry.path().filename().string())), -1);
            ::close(folder);
        }
    });
    EXPECT_EQ(RunConversion(in, dir.File("out.mpg"), ConversionMode::To16x9, failing),
              RunOutcome::ReadFailed);
    EXPECT_EQ(failing.positions.size(), 1u);
    EXPECT_EQ(failing.ends, 0);
    EXPECT_EQ(OutcomeText(RunOutcome::ReadFailed), "can't read input file");
#endif
}

#ifdef _WIN32
// Windows' sharing modes keep every other writer out of the source while a run reads it, so the size
// taken at the start stays true.
TEST(ConversionOfABusySource, KeepsOtherWritersOutWhileItRuns) {
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    const Bytes source(3 * CHUNK_SIZE, 0x42);
    test::WriteAll(in, source);
    bool refused = false;
    ChangingSource writer([&] {
        const HANDLE handle =
            ::CreateFileW(test::FsPath(in).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
        refused = handle == INVALID_HANDLE_VALUE;
        if (!refused)
            ::CloseHandle(handle);
    });
    ASSERT_EQ(RunConversion(in, dir.File("out.mpg"), ConversionMode::To16x9, writer), RunOutcome::Completed);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("out.mpg")), source));
}
#endif

} // namespace
} // namespace veltrane
