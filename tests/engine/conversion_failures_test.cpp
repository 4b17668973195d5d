// How a run fails: the right outcome and text, no progress for what never started, the source unharmed.
#include "conversion_run.h"
#include "durable_group.h"
#include "io/chunk_buffer.h"
#include "io/file_io.h"
#include "process_start.h"
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
    fs::create_symlink(dir.File("in.mpg"), dir.File("symlink.mpg"));
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    fs::create_symlink("loop", dir.File("loop"));
#endif
    fs::create_hard_link(dir.Path() / "in.mpg", dir.Path() / "hardlink.mpg");

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
        {"DestIsALinkLoop", "in.mpg", "loop", RunOutcome::DestOpenFailed},
    };
#ifdef _WIN32
    // Windows has no FIFOs in the file system; its named pipes live apart, under \\.\pipe\.
    // Nor link loops that a test could make unprivileged.
    std::erase_if(cases, [](const SetupCase& c) {
        return std::string(c.name).find("Fifo") != std::string::npos ||
               std::string(c.name).find("Loop") != std::string::npos;
    });
    cases.push_back({"DestIsTheSourceInOtherLetterCase", "in.mpg", "IN.MPG", RunOutcome::DestOpenFailed});
    cases.push_back(
        {"DestIsTheSourceByItsShortName", "in.mpg", shortLeaf.c_str(), RunOutcome::DestOpenFailed});
    cases.push_back({"DestIsTheSourceWithABackslash", "in.mpg", ".\\in.mpg", RunOutcome::DestOpenFailed});
    cases.push_back({"DestEndsInABackslash", "in.mpg", "out\\", RunOutcome::DestOpenFailed});
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
    EXPECT_EQ(OutcomeText(RunOutcome::ReadFailed), "can't read input file");
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

Bytes FileWithHeaderAt(std::size_t size, std::size_t offset) {
    Bytes bytes(size, 0xFF);
    const Bytes header = test::SequenceHeader(0x23);
    std::copy(header.begin(), header.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    return bytes;
}

#ifndef _WIN32
// Staged with what only POSIX systems have: /dev/full, FIFOs, /proc/self/fd, resource limits, fork.
// Windows keeps writers out of an open source instead; ConversionOfABusySource tests that.

TEST(ConversionWriteFailures, AFullDeviceIsAFailureNotACompletedRun) {
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
}

TEST(ConversionOfAChangingSource, CopiesTheSizeItHadAtTheStartOrFails) {
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    const std::string out = dir.File("out.mpg");
    const Bytes source = FileWithHeaderAt(3 * CHUNK_SIZE, CHUNK_SIZE + 10);

    // Shrinking: the second read returns a little, the third nothing, long before the size said.
    test::WriteAll(in, source);
    ChangingSource shrinking([&] { ASSERT_EQ(::truncate(in.c_str(), CHUNK_SIZE + 20), 0); });
    EXPECT_EQ(RunConversion(in, out, ConversionMode::To16x9, shrinking), RunOutcome::ReadFailed);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(shrinking.ends, 0);

    // Growing: the bytes appended after the start are not part of the copy.
    const Bytes small = FileWithHeaderAt(CHUNK_SIZE + 100, CHUNK_SIZE - 2);
    test::WriteAll(in, small);
    ChangingSource growing([&] { std::ofstream(in, std::ios::app) << std::string(CHUNK_SIZE, '\x11'); });
    ASSERT_EQ(RunConversion(in, out, ConversionMode::To16x9, growing), RunOutcome::Completed);
    EXPECT_TRUE(
        test::SameBytes(test::ReadAll(out), test::ReferenceConversion(small, ConversionMode::To16x9)));
    EXPECT_EQ(growing.positions.back(), PROGRESS_MAX);
    EXPECT_EQ(growing.ends, 1);
}

// The final step replaces only the file that was looked at, or takes a name that was free: what another
// program puts at the destination during the run stays, and so does the file a link swapped in points to.
TEST(ConversionDestination, NeverReplacesWhatAnotherProgramPutThereDuringTheRun) {
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    const std::string out = dir.File("out.mpg");
    const std::string elsewhere = dir.File("root-only");
    test::WriteAll(in, FileWithHeaderAt(3 * CHUNK_SIZE, 100));
    const Bytes theirs(1000, 0x66);
    struct Row {
        const char* name;
        bool existed;
        io::ExistingFile existing;
        std::function<void()> change;
    };
    const std::vector<Row> rows = {
        {"AppearsWithoutForce", false, io::ExistingFile::Keep, [&] { test::WriteAll(out, theirs); }},
        {"AppearsUnderTheDialog", false, io::ExistingFile::Replace, [&] { test::WriteAll(out, theirs); }},
        {"SwappedForALink", true, io::ExistingFile::Replace,
         [&] {
             fs::remove(out);
             fs::create_symlink(elsewhere, out);
         }},
        {"SwappedForAnotherFile", true, io::ExistingFile::Replace,
         [&] {
             test::WriteAll(dir.File("theirs"), theirs);
             fs::rename(dir.File("theirs"), out);
         }},
    };
    // In a group the check is made at the copy's own rename, between copies that go through.
    const std::string before = dir.File("group/before.mpg"), after = dir.File("group/after.mpg");
    fs::create_directory(dir.File("group"));
    for (const bool grouped : {false, true}) {
        for (const Row& row : rows) {
            const std::string name = std::string(row.name) + (grouped ? " in a group" : "");
            fs::remove(out);
            test::WriteAll(elsewhere, theirs);
            if (row.existed)
                test::WriteAll(out, Bytes(10, 0x01));
            ChangingSource sink(row.change);
            RunReport report;
            DurableGroup group;
            std::vector<DurableGroup::Result> results;
            if (grouped) {
                test::RecordingSink quiet;
                RunReport ignored;
                EXPECT_EQ(
                    RunConversion(in, before, ConversionMode::To16x9, quiet, ignored, row.existing, group),
                    RunOutcome::Completed);
                EXPECT_EQ(RunConversion(in, out, ConversionMode::To16x9, sink, report, row.existing, group),
                          RunOutcome::Completed)
                    << name;
                EXPECT_EQ(
                    RunConversion(in, after, ConversionMode::To16x9, quiet, ignored, row.existing, group),
                    RunOutcome::Completed);
                results = group.Commit();
                ASSERT_EQ(results.size(), 3u);
                EXPECT_TRUE(results[0].durable && results[2].durable) << name;
                EXPECT_FALSE(results[1].durable) << name;
                report.failure = results[1].failure;
                for (const std::string& copy : {before, after}) {
                    EXPECT_TRUE(test::SameBytes(
                        test::ReadAll(copy),
                        test::ReferenceConversion(test::ReadAll(in), ConversionMode::To16x9)));
                    fs::remove(copy);
                }
            } else {
                EXPECT_EQ(RunConversion(in, out, ConversionMode::To16x9, sink, report, row.existing),
                          RunOutcome::WriteFailed)
                    << name;
            }
            EXPECT_EQ(report.failure.refusal, io::Refusal::DestinationChanged) << name;
            EXPECT_TRUE(test::SameBytes(test::ReadAll(out), theirs)) << name;
            EXPECT_TRUE(test::SameBytes(test::ReadAll(elsewhere), theirs)) << name;
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 4) << name;
            EXPECT_TRUE(fs::is_empty(dir.File("group"))) << name;
        }
    }
}

// A group dropped before its commit (the batch stopped, the memory gone) leaves every destination as it
// was and nothing beside it, whether the copy was to replace a file or take a free name.
TEST(ConversionDestination, AGroupNeverCommittedLeavesEveryDestinationAsItWas) {
    test::TempDir dir;
    test::WriteAll(dir.File("in.mpg"), FileWithHeaderAt(CHUNK_SIZE + 100, 100));
    const Bytes old(1000, 0x66);
    test::WriteAll(dir.File("old.mpg"), old);
    {
        DurableGroup group;
        for (const char* dest : {"old.mpg", "new.mpg"}) {
            test::RecordingSink sink;
            RunReport report;
            ASSERT_EQ(RunConversion(dir.File("in.mpg"), dir.File(dest), ConversionMode::To16x9, sink, report,
                                    io::ExistingFile::Replace, group),
                      RunOutcome::Completed);
            EXPECT_EQ(sink.ends, 1);
        }
        EXPECT_EQ(group.Held(), 2u);
    }
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("old.mpg")), old));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 2) << "in.mpg and old.mpg only";
}

// Another user's files, as root can make them; the links the kernel's protection is about need two users.
constexpr uid_t OTHER_USER = 65534;

void OwnedBy(const std::string& path, uid_t owner) {
    ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
}

void SharedFolder(const std::string& path, uid_t owner, mode_t mode = 01777) {
    fs::create_directory(path);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    OwnedBy(path, owner);
}

// Links are followed as the kernel's fs.protected_symlinks would follow them: in a sticky,
// world-writable folder only the caller's own links and the folder owner's; and no more than 40 in a row.
TEST(ConversionDestination, FollowsLinksOnlyAsTheKernelsProtectionWould) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "making another user's links takes root";
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    const Bytes source = FileWithHeaderAt(CHUNK_SIZE, 100);
    test::WriteAll(in, source);
    const Bytes theirs(1000, 0x66);
    struct Row {
        const char* name;
        uid_t folderOwner;
        mode_t folderMode;
        uid_t firstOwner; // the first link's owner
        uid_t restOwner;  // the others'
        int chain;        // links in a row in the folder, the last pointing at the target
        RunOutcome expected;
        io::Refusal refusal;
    };
    const std::vector<Row> rows = {
        {"CallersLinkInASharedFolder", OTHER_USER, 01777, 0, 0, 1, RunOutcome::Completed, io::Refusal::None},
        {"FolderOwnersLink", OTHER_USER, 01777, OTHER_USER, 0, 1, RunOutcome::Completed, io::Refusal::None},
        {"AnotherUsersLink", 0, 01777, OTHER_USER, 0, 1, RunOutcome::DestOpenFailed,
         io::Refusal::LinkInSharedFolder},
        {"AnotherUsersLinkFurtherOn", 0, 01777, 0, OTHER_USER, 3, RunOutcome::DestOpenFailed,
         io::Refusal::LinkInSharedFolder},
        {"AnotherUsersLinkInAStickyFolderOnlyGroupWritable", 0, 01770, OTHER_USER, 0, 1,
         RunOutcome::Completed, io::Refusal::None},
        {"AnotherUsersLinkInAWorldWritableFolderNotSticky", 0, 0777, OTHER_USER, 0, 1, RunOutcome::Completed,
         io::Refusal::None},
        {"FortyLinksInARow", 0, 0755, 0, 0, 40, RunOutcome::Completed, io::Refusal::None},
        {"FortyOneLinksInARow", 0, 0755, 0, 0, 41, RunOutcome::DestOpenFailed, io::Refusal::None},
    };
    for (const Row& row : rows) {
        const std::string folder = dir.File(row.name);
        SharedFolder(folder, row.folderOwner, row.folderMode);
        const std::string target = dir.File(std::string(row.name) + ".target");
        test::WriteAll(target, theirs);
        for (int i = 0; i < row.chain; ++i) {
            const std::string link = folder + "/link" + std::to_string(i);
            fs::create_symlink(i + 1 == row.chain ? target : "link" + std::to_string(i + 1), link);
            OwnedBy(link, i == 0 ? row.firstOwner : row.restOwner);
        }
        test::RecordingSink sink;
        RunReport report;
        EXPECT_EQ(RunConversion(in, folder + "/link0", ConversionMode::To16x9, sink, report), row.expected)
            << row.name;
        EXPECT_EQ(report.failure.refusal, row.refusal) << row.name;
        EXPECT_TRUE(fs::is_symlink(folder + "/link0")) << row.name;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(target),
                                    row.expected == RunOutcome::Completed
                                        ? test::ReferenceConversion(source, ConversionMode::To16x9)
                                        : theirs))
            << row.name;
    }
    EXPECT_EQ(ReasonText({0, io::Refusal::LinkInSharedFolder, false}),
              "a link in a shared folder owned by another user");
}

std::function<void()> g_lookupStep;

// Root converts into a shared folder where another user owns the destination, and that user swaps in a
// link to a root-only file at any one step of the lookup, or puts a link in place of a folder on the
// way there: nothing is ever written outside the folder.
TEST(ConversionDestination, ALinkSwappedInAtAnyStepOfTheLookupIsNeverWrittenThrough) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "making another user's links takes root";
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    test::WriteAll(in, FileWithHeaderAt(CHUNK_SIZE, 100));
    const std::string shared = dir.File("shared");
    const std::string rootOnly = dir.File("root-only");
    const Bytes theirs(1000, 0x66);
    struct Row {
        const char* name;
        const char* dest;    // in the shared folder
        const char* swapped; // what the other user swaps for a link to the root-only file or its folder
    };
    const std::vector<Row> rows = {
        {"TheDestination", "out.mpg", "out.mpg"},
        {"AFolderOnTheCallersLinksWay", "link.mpg", "theirs"},
    };
    const auto swap = [&](const Row& row) {
        const std::string path = shared + "/" + row.swapped;
        fs::remove_all(path);
        fs::create_symlink(fs::path(row.swapped) == "theirs" ? dir.Path() : fs::path(rootOnly), path);
        OwnedBy(path, OTHER_USER);
    };
    io::detail::SetLookupStepHook([] { g_lookupStep(); });
    for (const Row& row : rows) {
        int steps = 0;
        for (int at = 1; at <= 1 || steps >= at; ++at) {
            fs::remove_all(shared);
            SharedFolder(shared, 0);
            SharedFolder(shared + "/theirs", OTHER_USER, 0755);
            test::WriteAll(shared + "/out.mpg", Bytes(10, 0x01));
            test::WriteAll(shared + "/theirs/root-only", Bytes(10, 0x01));
            OwnedBy(shared + "/out.mpg", OTHER_USER);
            fs::create_symlink("theirs/root-only", shared + "/link.mpg");
            test::WriteAll(rootOnly, theirs);
            steps = 0;
            g_lookupStep = [&] {
                if (++steps == at)
                    swap(row);
            };
            test::RecordingSink sink;
            RunReport report;
            const RunOutcome outcome =
                RunConversion(in, shared + "/" + row.dest, ConversionMode::To16x9, sink, report);
            EXPECT_TRUE(outcome == RunOutcome::DestOpenFailed || outcome == RunOutcome::WriteFailed ||
                        outcome == RunOutcome::Completed)
                << row.name << " at step " << at;
            EXPECT_TRUE(test::SameBytes(test::ReadAll(rootOnly), theirs)) << row.name << " at step " << at;
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 3) << row.name << " at " << at;
        }
        EXPECT_GE(steps, 1) << row.name;
    }
    io::detail::SetLookupStepHook(nullptr);
}

// A completed run survives a power loss that comes right after it: the destination is the whole new
// copy, not a name over blocks never written (on XFS the blocks shared with the source would survive
// and the rewritten ones come back as zeros).
TEST(ConversionDurability, ACompletedCopySurvivesAPowerLoss) {
    test::LoopMount xfs("xfs");
    if (!xfs.IsMounted())
        GTEST_SKIP() << xfs.WhyNot();
    Bytes source = FileWithHeaderAt(4 * CHUNK_SIZE, 100);
    for (std::size_t at = 50000; at + 8 < source.size(); at += 300000) {
        const Bytes header = test::SequenceHeader(0x23);
        std::copy(header.begin(), header.end(), source.begin() + static_cast<std::ptrdiff_t>(at));
    }
    test::WriteAll(xfs.File("in.mpg"), source);
    test::WriteAll(xfs.File("out.mpg"), Bytes(CHUNK_SIZE, 0x77));
    ::sync();
    test::WriteAll(xfs.File("grouped-old.mpg"), Bytes(CHUNK_SIZE, 0x77));
    ::sync();
    test::RecordingSink sink;
    ASSERT_EQ(RunConversion(xfs.File("in.mpg"), xfs.File("out.mpg"), ConversionMode::To16x9, sink),
              RunOutcome::Completed);
    // Copies committed as a group, one replacing a file and one taking a free name.
    DurableGroup group;
    for (const char* dest : {"grouped-old.mpg", "grouped-new.mpg"}) {
        RunReport report;
        ASSERT_EQ(RunConversion(xfs.File("in.mpg"), xfs.File(dest), ConversionMode::To16x9, sink, report,
                                io::ExistingFile::Replace, group),
                  RunOutcome::Completed);
    }
    for (const DurableGroup::Result& result : group.Commit())
        ASSERT_TRUE(result.durable);
    ASSERT_TRUE(xfs.LoseThePowerAndRemount());
    for (const char* dest : {"out.mpg", "grouped-old.mpg", "grouped-new.mpg"})
        EXPECT_TRUE(test::SameBytes(test::ReadAll(xfs.File(dest)),
                                    test::ReferenceConversion(source, ConversionMode::To16x9)))
            << dest;
}

// A read that fails part-way (an I/O error on a dying disk, say) is staged by putting a folder behind
// the run's descriptor of `path`, whose next read then fails with EISDIR.
void BreakReadsOf(const std::string& path, const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path(), ignored) != path)
            continue;
        const int replacement = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_NE(replacement, -1);
        ASSERT_NE(::dup2(replacement, std::stoi(entry.path().filename().string())), -1);
        ::close(replacement);
    }
}

// A FIFO whose reader goes away part-way: the next write raises SIGPIPE, which must not kill the
// program; the run reports the failed write instead.
TEST(ConversionWriteFailures, AReaderLeavingAFifoIsAFailedWriteNotADeadProgram) {
    IgnoreWriteSignals();
    test::TempDir dir;
    test::WriteAll(dir.File("in.mpg"), Bytes(CHUNK_SIZE + 1000, 0x42));
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    int reader = ::open(dir.File("pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_NE(reader, -1);
    // The first pass fits in the widened pipe unread; the reader leaves before the second pass.
    ASSERT_GE(::fcntl(reader, F_SETPIPE_SZ, 1 << 20), static_cast<int>(CHUNK_SIZE));
    ChangingSource leaving([&] { ::close(std::exchange(reader, -1)); });
    EXPECT_EQ(RunConversion(dir.File("in.mpg"), dir.File("pipe"), ConversionMode::To16x9, leaving),
              RunOutcome::WriteFailed);
    EXPECT_EQ(reader, -1);
}

#endif

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
    // And a source some program already holds open for writing is not read at all.
    const HANDLE held = ::CreateFileW(test::FsPath(in).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    test::RecordingSink busy;
    EXPECT_EQ(RunConversion(in, dir.File("out2.mpg"), ConversionMode::To16x9, busy),
              RunOutcome::SourceOpenFailed);
    ::CloseHandle(held);
}
#endif

#ifdef _WIN32
// The copy takes the destination's place by a move at the end; a destination the move could not replace
// is refused before anything is written, not after a whole run, and stays as it was.
TEST(ConversionDestination, RefusesUpFrontWhatTheFinalMoveCouldNotReplace) {
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    const std::string out = dir.File("out.mpg");
    test::WriteAll(in, FileWithHeaderAt(CHUNK_SIZE, 100));
    const Bytes old(1000, 0x77);
    const std::wstring wideOut = test::FsPath(out).wstring();

    // Read-only, and held open by a player that lets others read and write it but not delete it.
    for (const bool readOnly : {true, false}) {
        test::WriteAll(out, old);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (readOnly)
            ASSERT_TRUE(::SetFileAttributesW(wideOut.c_str(), FILE_ATTRIBUTE_READONLY));
        else
            held = ::CreateFileW(wideOut.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        test::RecordingSink sink;
        EXPECT_EQ(RunConversion(in, out, ConversionMode::To16x9, sink), RunOutcome::DestOpenFailed)
            << readOnly;
        ::SetFileAttributesW(wideOut.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::CloseHandle(held);
        EXPECT_EQ(sink.begins, 0) << readOnly;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(out), old)) << readOnly;
    }

    // A device has nothing to keep and is written directly.
    test::RecordingSink device;
    EXPECT_EQ(RunConversion(in, "NUL", ConversionMode::To16x9, device), RunOutcome::Completed);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 2);
}
#endif

struct Sabotage {
    const char* name;
    RunOutcome expected;
    std::function<RunOutcome()> run;
};

// However a run ends short of completion, the destination's name keeps the file it had, and the
// folder holds nothing new. A killed run is staged in a child process that kills itself part-way.
TEST(ConversionFailuresAtAnExistingDestination, LeaveItAsItWasAndNothingBeside) {
    test::TempDir dir;
    const std::string in = dir.File("in.mpg");
    const std::string out = dir.File("out.mpg");
    int ends = 0; // completions reported, which no row may see
    const auto convert = [&](test::RecordingSink&& sink) {
        const RunOutcome outcome = RunConversion(in, out, ConversionMode::To16x9, sink);
        ends += sink.ends;
        return outcome;
    };
    struct StoppingSink : test::RecordingSink {
        bool StopRequested() override { return true; }
    };
    std::vector<Sabotage> sabotages = {
        {"OutOfMemory", RunOutcome::OutOfMemory,
         [&] {
             const ChunkAllocator previous =
                 SetChunkAllocator([](std::size_t) -> ChunkBuffer { return nullptr; });
             const RunOutcome outcome = convert(test::RecordingSink());
             SetChunkAllocator(previous);
             return outcome;
         }},
        {"Cancelled", RunOutcome::Cancelled, [&] { return convert(StoppingSink()); }},
        // What a network file system or a full quota may report only when the file is closed.
        {"CloseFails", RunOutcome::WriteFailed,
         [&] {
             const io::detail::NativeCloser previous =
                 io::detail::SetNativeCloser([](io::NativeHandle handle) {
                     io::detail::CloseNative(handle);
                     return false;
                 });
             const RunOutcome outcome = convert(test::RecordingSink());
             io::detail::SetNativeCloser(previous);
             return outcome;
         }},
    };
#ifndef _WIN32
    IgnoreWriteSignals();
    sabotages.insert(sabotages.end(),
                     {
                         {"ReadError", RunOutcome::ReadFailed,
                          [&] { return convert(ChangingSource([&] { BreakReadsOf(in, dir.Path()); })); }},
                         {"FileSizeLimit", RunOutcome::WriteFailed,
                          [&] {
                              rlimit previous{};
                              ::getrlimit(RLIMIT_FSIZE, &previous);
                              rlimit limit = previous;
                              limit.rlim_cur = CHUNK_SIZE + CHUNK_SIZE / 2;
                              ::setrlimit(RLIMIT_FSIZE, &limit);
                              const RunOutcome outcome = convert(test::RecordingSink());
                              ::setrlimit(RLIMIT_FSIZE, &previous);
                              return outcome;
                          }},
                         {"Killed", RunOutcome::Cancelled,
                          [&] {
                              const pid_t child = ::fork();
                              if (child == 0) {
                                  convert(ChangingSource([] { ::raise(SIGKILL); }));
                                  ::_exit(0);
                              }
                              int status = 0;
                              ::waitpid(child, &status, 0);
                              return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL
                                         ? RunOutcome::Cancelled
                                         : RunOutcome::Completed;
                          }},
                     });
#endif
    const Bytes old(500000, 0x77);
    for (const Sabotage& sabotage : sabotages) {
        test::WriteAll(in, Bytes(3 * CHUNK_SIZE, 0x42));
        test::WriteAll(out, old);
        ends = 0;
        EXPECT_EQ(sabotage.run(), sabotage.expected) << sabotage.name;
        EXPECT_EQ(ends, 0) << sabotage.name;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(out), old)) << sabotage.name;
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.Path()))
            names.insert(test::Utf8(entry.path().filename()));
        EXPECT_EQ(names, (std::set<std::string>{"in.mpg", "out.mpg"})) << sabotage.name;
    }
}

} // namespace
} // namespace veltrane
