// The disc workflow on IFOs made byte by byte: every attribute the video manager copies, and a whole
// disc's output put in place whole, or not at all, with the system's reason when it fails.
#include "disc/dvd_disc.h"
#include "test_support.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace veltrane::disc {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

constexpr std::size_t TABLE = 2048;               // the title set attribute table, in sector 1
constexpr std::size_t ENTRY[] = {16, 16 + 0x310}; // each title set's entry in it

void Be(Bytes& b, std::size_t at, std::uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i, value >>= 8)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
}

// A DVD-Video 1.1 IFO whose video attributes all declare 4:3: the video manager's with `sets` title
// sets in its attribute table, or a title set's.
Bytes Ifo(bool manager, std::uint32_t sets = 1) {
    Bytes b(manager ? 3 * 2048 : 2048, 0);
    std::copy_n(manager ? "DVDVIDEO-VMG" : "DVDVIDEO-VTS", 12, b.begin());
    Be(b, 0x1C, manager ? 2 : 0, 4);
    b[0x21] = 0x11;
    b[0x100] = 0x41;
    if (!manager) {
        b[0x200] = 0x41;
        return b;
    }
    Be(b, 0x3E, sets, 2);
    Be(b, 0xD0, 1, 4);
    Be(b, TABLE, sets, 2);
    for (std::uint32_t i = 0; i < sets; ++i) {
        Be(b, TABLE + 8 + 4 * i, static_cast<std::uint32_t>(ENTRY[i]), 4);
        b[TABLE + ENTRY[i] + 8] = b[TABLE + ENTRY[i] + 0x108] = 0x41;
    }
    return b;
}

// Each group's attribute in VIDEO_TS.IFO, its menus' copy in the title set attribute table included,
// is found and is the only byte its new aspect changes.
TEST(DvdIfo, TheVideoManagerCopiesEveryTitleSetsMenuAndTitleAttributes) {
    test::TempDir dir;
    test::WriteAll(dir.File("VIDEO_TS.IFO"), Ifo(true, 2));
    IfoImage image;
    ASSERT_EQ(LoadIfo(dir.File("VIDEO_TS.IFO"), true, 0, image), IfoFault::None);
    const struct {
        const char* name;
        VobGroup group;
        std::size_t offset;
    } rows[] = {
        {"video manager's menus", {0, true}, 0x100},
        {"title set 1's menus", {1, true}, TABLE + ENTRY[0] + 8},
        {"title set 1's titles", {1, false}, TABLE + ENTRY[0] + 0x108},
        {"title set 2's menus", {2, true}, TABLE + ENTRY[1] + 8},
        {"title set 2's titles", {2, false}, TABLE + ENTRY[1] + 0x108},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes retargeted = Retargeted(image, {{row.group, AttributeAspect::Ratio16x9}});
        std::vector<std::size_t> changed;
        for (std::size_t i = 0; i < retargeted.size(); ++i)
            if (retargeted[i] != image.bytes[i])
                changed.push_back(i);
        EXPECT_EQ(changed, std::vector<std::size_t>{row.offset});
    }
}

// Records what a disc's run tells, and stops it when asked to.
struct Recorder final : DiscSink {
    void Failed(const DiscFailure& failure) override { failures.push_back(failure); }
    void Position(int position) override { positions.push_back(position); }
    bool StopRequested() override { return stop; }
    std::vector<DiscFailure> failures;
    std::vector<int> positions;
    bool stop = false;
};

TEST(DvdDisc, PutsTheOutputInPlaceWholeOrLeavesItAsItWas) {
    struct Row {
        const char* name;
        std::function<void(const test::TempDir&, DiscRequest&, Recorder&)> setUp;
        std::optional<DiscProblem> problem; // the first failure told; none for a run that goes through
        const char* says = "";              // in the words the user reads, with the reason
    };
    const Row rows[] = {
        {"replaces an existing output", [](auto&, DiscRequest& r, auto&) { r.replace = true; }, {}},
        {"keeps an existing output", [](auto&, auto&, auto&) {}, DiscProblem::OutputExists},
        {"output's parent missing",
         [](const test::TempDir& d, DiscRequest& r, auto&) { r.output = d.File("missing/out"); },
         DiscProblem::OutputNotCreated, "can't create the output folder: No such file"},
        {"an IFO that is a folder",
         [](const test::TempDir& d, auto&, auto&) {
             fs::create_directory(d.Path() / "dvd/VIDEO_TS/VTS_02_0.IFO");
         },
         DiscProblem::IfoFault, "can't read the IFO file: "},
        {"stopped", [](auto&, DiscRequest& r, Recorder& s) { r.replace = s.stop = true; },
         DiscProblem::NothingWritten},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        fs::create_directories(dir.Path() / "dvd/VIDEO_TS");
        fs::create_directories(dir.Path() / "out");
        test::WriteAll(dir.File("out/stale"), {1});
        test::WriteAll(dir.File("dvd/VIDEO_TS/VIDEO_TS.IFO"), Ifo(true));
        test::WriteAll(dir.File("dvd/VIDEO_TS/VTS_01_0.IFO"), Ifo(false));
        fs::copy_file(VELTRANE_TEST_DATA_DIR "/mpeg2_4x3.m2v", dir.Path() / "dvd/VIDEO_TS/VTS_01_1.VOB");
        DiscRequest request{dir.File("dvd"), dir.File("out"), DiscDirection::Flip, false, false};
        Recorder sink;
        row.setUp(dir, request, sink);
        EXPECT_EQ(ConvertDisc(request, sink), !row.problem);
        if (row.problem) {
            ASSERT_FALSE(sink.failures.empty());
            EXPECT_EQ(sink.failures.front().problem, *row.problem) << sink.failures.front().Text(": ");
            EXPECT_NE(sink.failures.front().Text(": ").find(row.says), std::string::npos)
                << sink.failures.front().Text(": ");
            EXPECT_TRUE(fs::exists(dir.Path() / "out/stale"));
        } else {
            EXPECT_TRUE(sink.failures.empty());
            EXPECT_FALSE(fs::exists(dir.Path() / "out/stale"));
            EXPECT_EQ(test::ReadAll(dir.File("out/VIDEO_TS/VTS_01_1.VOB")),
                      test::ReadAll(VELTRANE_TEST_DATA_DIR "/mpeg2_4x3_as_16x9.golden.m2v"));
            EXPECT_TRUE(std::is_sorted(sink.positions.begin(), sink.positions.end()));
            EXPECT_EQ(sink.positions.back(), PROGRESS_MAX);
        }
        // Neither the folder it was built in nor the old one is left beside it.
        for (const auto& entry : fs::directory_iterator(dir.Path()))
            EXPECT_EQ(entry.path().filename().string().find("veltrane"), std::string::npos) << entry.path();
    }
}

} // namespace
} // namespace veltrane::disc
