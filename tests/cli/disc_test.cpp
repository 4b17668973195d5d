// veltrane-cli on discs made by real authoring tools: a DVD-Video folder (dvdauthor, read back with
// lsdvd) and a video CD image (vcdimager). Skipped, saying why, where the tools are missing.
#include "cli_process.h"
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

namespace veltrane {
namespace {

using test::Bytes;
using test::RunCli;
namespace fs = std::filesystem;

// The first of `tools` this machine lacks, or nothing.
std::string Missing(std::initializer_list<const char*> tools) {
    for (const char* tool : tools)
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0)
            return tool;
    return {};
}

std::string Sh(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            text.append(chunk, n);
        ::pclose(pipe);
    }
    return text;
}

// Two title sets, 4:3 and 16:9, and a 4:3 menu in the video manager, with a file beside VIDEO_TS.
bool MakeDvd(const test::TempDir& dir) {
    const std::string d = dir.Path().string();
    const std::string mpeg = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=720x576:rate=25 -f lavfi "
                             "-i sine=sample_rate=48000 -t 0.4 -target pal-dvd -b:v 300k ";
    std::ofstream(d + "/dvd.xml")
        << "<dvdauthor dest='" << d << "/dvd'><vmgm><menus><video aspect='4:3'/><pgc><vob file='" << d
        << "/m.mpg'/></pgc></menus></vmgm><titleset><titles><video aspect='4:3'/><pgc><vob file='" << d
        << "/a.mpg'/></pgc></titles></titleset><titleset><titles><video aspect='16:9'/><pgc><vob file='" << d
        << "/b.mpg'/></pgc></titles></titleset></dvdauthor>";
    const bool made = std::system((mpeg + "-aspect 4:3 " + d + "/m.mpg && " + mpeg + "-aspect 4:3 " + d +
                                   "/a.mpg && " + mpeg + "-aspect 16:9 " + d +
                                   "/b.mpg && VIDEO_FORMAT=PAL "
                                   "dvdauthor -x " +
                                   d + "/dvd.xml >/dev/null 2>&1")
                                      .c_str()) == 0;
    std::ofstream(d + "/dvd/notes.txt") << "kept as it is";
    return made;
}

std::vector<std::string> LsdvdAspects(const std::string& folder) {
    std::istringstream in(Sh("lsdvd -v '" + folder + "' 2>/dev/null"));
    std::vector<std::string> aspects;
    for (std::string line; std::getline(in, line);)
        if (const auto at = line.find("Aspect ratio: "); at != std::string::npos)
            aspects.push_back(line.substr(at + 14, line.find(',', at) - at - 14));
    return aspects;
}

// Every file under `a` and `b` by its relative name, and how many bytes differ.
std::map<std::string, std::size_t> Differences(const fs::path& a, const fs::path& b) {
    std::map<std::string, std::size_t> differences;
    for (const auto& entry : fs::recursive_directory_iterator(a)) {
        if (!entry.is_regular_file())
            continue;
        const std::string name = fs::relative(entry.path(), a).string();
        const Bytes x = test::ReadAll(entry.path().string());
        const Bytes y = fs::exists(b / name) ? test::ReadAll((b / name).string()) : Bytes();
        std::size_t n = x.size() == y.size() ? 0 : SIZE_MAX;
        for (std::size_t i = 0; n != SIZE_MAX && i < x.size(); ++i)
            n += x[i] != y[i];
        differences[name] = n;
    }
    return differences;
}

TEST(CliDvd, FlipsEveryTitleSetAndTheAttributesLsdvdReadsBothWays) {
    if (const std::string tool = Missing({"dvdauthor", "lsdvd", "ffmpeg"}); !tool.empty())
        GTEST_SKIP() << tool << " is missing (scripts/install-deps installs it)";
    test::TempDir dir;
    ASSERT_TRUE(MakeDvd(dir));
    const std::string dvd = dir.File("dvd"), out = dir.File("out"), back = dir.File("back");
    ASSERT_EQ(LsdvdAspects(dvd), (std::vector<std::string>{"4/3", "16/9"}));
    ASSERT_EQ(RunCli({"convert", "--to", "flip", dvd, "-o", out}).exitStatus, 0);
    EXPECT_EQ(LsdvdAspects(out), (std::vector<std::string>{"16/9", "4/3"}));
    // One aspect byte per VOB; one attribute per IFO and BUP, three in the video manager's (its menus
    // and its copies of both title sets' attributes); nothing else.
    EXPECT_EQ(Differences(dvd, out), (std::map<std::string, std::size_t>{{"VIDEO_TS/VIDEO_TS.BUP", 3},
                                                                         {"VIDEO_TS/VIDEO_TS.IFO", 3},
                                                                         {"VIDEO_TS/VIDEO_TS.VOB", 1},
                                                                         {"VIDEO_TS/VTS_01_0.BUP", 1},
                                                                         {"VIDEO_TS/VTS_01_0.IFO", 1},
                                                                         {"VIDEO_TS/VTS_01_1.VOB", 1},
                                                                         {"VIDEO_TS/VTS_02_0.BUP", 1},
                                                                         {"VIDEO_TS/VTS_02_0.IFO", 1},
                                                                         {"VIDEO_TS/VTS_02_1.VOB", 1},
                                                                         {"notes.txt", 0}}));
    EXPECT_TRUE(fs::is_directory(dir.Path() / "out" / "AUDIO_TS"));
    const test::CliResult scan = RunCli({"scan", "--json", out});
    ASSERT_EQ(scan.exitStatus, 0) << scan.err;
    std::istringstream lines(scan.out);
    int vobs = 0;
    for (std::string line; std::getline(lines, line);)
        if (const auto json = nlohmann::json::parse(line); json.contains("ifo_agrees")) {
            EXPECT_TRUE(json["ifo_agrees"].get<bool>()) << line;
            ++vobs;
        }
    EXPECT_EQ(vobs, 3);
    // Flipped back, the disc is the original again; fixed in place, it is what a copy would be.
    ASSERT_EQ(RunCli({"convert", "--to", "flip", out, "-o", back}).exitStatus, 0);
    for (const auto& [name, n] : Differences(dvd, back))
        EXPECT_EQ(n, 0u) << name;
    ASSERT_EQ(RunCli({"convert", "--to", "16:9", "--in-place", back}).exitStatus, 0);
    ASSERT_EQ(RunCli({"convert", "--to", "16:9", dvd, "-o", out, "--force"}).exitStatus, 0);
    for (const auto& [name, n] : Differences(out, back))
        EXPECT_EQ(n, 0u) << name;
    EXPECT_EQ(LsdvdAspects(back), (std::vector<std::string>{"16/9", "16/9"}));
}

TEST(CliDvd, RefusesDamagedDiscsAndExistingOutputsAndLeavesNothingHalfWritten) {
    if (const std::string tool = Missing({"dvdauthor", "ffmpeg"}); !tool.empty())
        GTEST_SKIP() << tool << " is missing (scripts/install-deps installs it)";
    test::TempDir dir;
    ASSERT_TRUE(MakeDvd(dir));
    const fs::path ts = dir.Path() / "dvd" / "VIDEO_TS";
    struct Row {
        const char* name;
        const char* file;
        void (*damage)(Bytes&);
        const char* says;
    };
    const Row rows[] = {
        {"truncated", "VTS_02_0.IFO", [](Bytes& b) { b.resize(1000); }, "cut short"},
        {"another version", "VTS_01_0.BUP", [](Bytes& b) { b[0x21] = 0x20; }, "version"},
        {"table outside the file", "VIDEO_TS.IFO", [](Bytes& b) { b[0xD2] = 0x7F; }, "damaged"},
        {"not an IFO", "VTS_01_0.IFO", [](Bytes& b) { b[0] = 'X'; }, "not a DVD-Video IFO"},
        // Found only once the copy is under way: the title set's VOB holds no video to flip.
        {"a VOB without video", "VTS_02_1.VOB", [](Bytes& b) { std::fill(b.begin(), b.end(), 0); },
         "nothing written"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string file = (ts / row.file).string();
        const Bytes original = test::ReadAll(file);
        Bytes damaged = original;
        row.damage(damaged);
        test::WriteAll(file, damaged);
        const test::CliResult result =
            RunCli({"convert", "--to", "flip", dir.File("dvd"), "-o", dir.File("out")});
        test::WriteAll(file, original);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_NE(result.err.find(row.says), std::string::npos) << result.err;
        if (std::string(row.file).find("VOB") == std::string::npos) {
            EXPECT_NE(result.err.find(row.file), std::string::npos) << result.err;
        }
        // Nothing under OUT's name, and no folder it was being built in.
        for (const auto& entry : fs::directory_iterator(dir.Path()))
            EXPECT_EQ(entry.path().filename().string().find("out"), std::string::npos) << entry.path();
    }
    fs::create_directory(dir.Path() / "out");
    EXPECT_NE(RunCli({"convert", "--to", "16:9", dir.File("dvd"), "-o", dir.File("out")}).err.find("exists"),
              std::string::npos);
    EXPECT_EQ(RunCli({"convert", "--to", "16:9", dir.File("dvd"), "-o", dir.File("out"), "-f"}).exitStatus,
              0);
    EXPECT_TRUE(fs::exists(dir.Path() / "out" / "VIDEO_TS" / "VIDEO_TS.IFO"));
}

// A video CD image: its MPEG track found behind the file system track and the margin, every header
// rewritten and every changed Form 2 sector's EDC right again.
TEST(CliVcd, ConvertsAVcdImageWithEveryEdcRight) {
    if (const std::string tool = Missing({"vcdimager", "ffmpeg"}); !tool.empty())
        GTEST_SKIP() << tool << " is missing (scripts/install-deps installs it)";
    test::TempDir dir;
    const std::string d = dir.Path().string();
    ASSERT_EQ(std::system(("cd " + d +
                           " && ffmpeg -nostdin -v error -f lavfi -i testsrc=size=352x288:rate=25 "
                           "-f lavfi -i sine -t 2 -target pal-vcd -aspect 4:3 v.mpg && vcdimager -t vcd2 "
                           "-c v.cue -b v.bin v.mpg >/dev/null 2>&1")
                              .c_str()),
              0);
    ASSERT_EQ(RunCli({"convert", "--to", "16:9", dir.File("v.bin"), "-o", dir.File("w.bin")}).exitStatus, 0);
    const std::string scan = RunCli({"scan", dir.File("v.mpg"), dir.File("w.bin")}).out;
    EXPECT_NE(scan.find("w.bin: CD image program stream (2,352-byte sectors), 4 sequence headers, all 16:9"),
              std::string::npos)
        << scan;
    const Bytes before = test::ReadAll(dir.File("v.bin")), after = test::ReadAll(dir.File("w.bin"));
    ASSERT_EQ(before.size(), after.size());
    int changed = 0;
    for (std::size_t s = 0; s + 2352 <= after.size(); s += 2352) {
        const std::uint8_t* sector = after.data() + s;
        if (!std::equal(sector, sector + 2352, before.data() + s))
            ++changed;
        std::uint32_t stored = 0;
        for (int i = 3; i >= 0; --i)
            stored = (stored << 8) | sector[2348 + i];
        if ((sector[18] & 0x20) != 0 && stored != 0) {
            EXPECT_EQ(stored, test::CdEdc(sector, 2348)) << "sector " << s / 2352;
        }
    }
    EXPECT_EQ(changed, 4);
}

} // namespace
} // namespace veltrane
