// veltrane-cli as users and scripts meet it: batches, destinations, JSON, names, Ctrl+C, exit statuses.
#include "cli_process.h"
#include "test_support.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace veltrane {
namespace {

using test::Bytes;
using test::RunCli;
namespace fs = std::filesystem;

std::string DataFile(const std::string& name) {
    return std::string(VELTRANE_TEST_DATA_DIR) + "/" + name;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> objects;
    for (const std::string& line : Lines(text))
        objects.push_back(nlohmann::json::parse(line)); // throws, failing the test, on anything but JSON
    return objects;
}

bool Exists(const std::string& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

// flip turns each file away from its own aspect; a file missing or of unknown aspect stops no other.
TEST(CliConvert, ABatchGoesOnPastFilesItCannotConvertAndNamesEach) {
    test::TempDir dir;
    test::TempDir out;
    // Video that starts past the probe's 32 MiB reach is still video, and its own aspect is flipped.
    Bytes late(33 << 20, 0x00);
    const Bytes header = test::SequenceHeader(0x33);
    late.insert(late.end(), header.begin(), header.end());
    test::WriteAll(dir.File("late.m2v"), late);
    // A destination refused between copies that go through: theirs stays, the others are committed.
    test::WriteAll(dir.File("taken.m2v"), test::ReadAll(DataFile("mpeg2_4x3.m2v")));
    test::WriteAll(out.File("taken.m2v"), Bytes{1, 2, 3});
    const auto result =
        RunCli({"convert", "--to", "flip", DataFile("mpeg2_16x9.m2v"), dir.File("missing.m2v"),
                DataFile("mpeg2_square.m2v"), DataFile("mpeg2_ps_4x3.mpg"), dir.File("taken.m2v"),
                dir.File("late.m2v"), "--out-dir", out.Path().string()});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(out.File("late.m2v")),
                                test::ReferenceConversion(late, ConversionMode::To4x3)));
    const std::pair<const char*, ConversionMode> flipped[] = {{"mpeg2_16x9.m2v", ConversionMode::To4x3},
                                                              {"mpeg2_ps_4x3.mpg", ConversionMode::To16x9}};
    for (const auto& [name, mode] : flipped)
        EXPECT_TRUE(test::SameBytes(test::ReadAll(out.File(name)),
                                    test::ReferenceConversion(test::ReadAll(DataFile(name)), mode)))
            << name;
    EXPECT_FALSE(Exists(out.File("mpeg2_square.m2v")));
    EXPECT_EQ(test::ReadAll(out.File("taken.m2v")), (Bytes{1, 2, 3}));
    const auto errors = Lines(result.err);
    ASSERT_EQ(errors.size(), 4u) << result.err; // the three failures and the summary
    EXPECT_EQ(errors[0],
              "veltrane-cli: " + dir.File("missing.m2v") + ": file open error: No such file or directory");
    EXPECT_EQ(errors[1], "veltrane-cli: " + DataFile("mpeg2_square.m2v") + ": unknown aspect ratio");
    EXPECT_EQ(errors[2], "veltrane-cli: " + dir.File("taken.m2v") + ": " + out.File("taken.m2v") +
                             " exists (--force replaces it)");
    EXPECT_EQ(errors[3].rfind("veltrane-cli: 3 converted, 3 failed, ", 0), 0u) << errors[3];
    // The copies' lines in the files' order, though their commits wait for the batch's end.
    const auto lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 3u) << result.out;
    EXPECT_EQ(lines[0].rfind(DataFile("mpeg2_16x9.m2v") + " -> ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind(DataFile("mpeg2_ps_4x3.mpg") + " -> ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind(dir.File("late.m2v") + " -> ", 0), 0u) << lines[2];
    EXPECT_EQ(result.err.find('\r'), std::string::npos) << "no progress line off a terminal";
}

TEST(CliConvert, RefusesAnExistingDestinationUnlessForcedAndTheSourceAlways) {
    test::TempDir dir;
    const std::string source = dir.File("source.m2v");
    const Bytes original = test::ReadAll(DataFile("mpeg2_4x3.m2v"));
    test::WriteAll(source, original);
    const std::string dest = dir.File("dest.m2v");
    test::WriteAll(dest, Bytes{1, 2, 3});
    const std::string link = dir.File("link.m2v");
    ASSERT_EQ(::symlink(source.c_str(), link.c_str()), 0);

    auto result = RunCli({"convert", "--to", "16:9", source, "-o", dest});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err.find("veltrane-cli: " + source + ": " + dest + " exists (--force replaces it)\n"),
              0u)
        << result.err;
    EXPECT_EQ(test::ReadAll(dest), (Bytes{1, 2, 3}));

    result = RunCli({"convert", "--to", "16:9", source, "-o", dest, "--force"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(
        test::SameBytes(test::ReadAll(dest), test::ReferenceConversion(original, ConversionMode::To16x9)));

    // The source under its own name, through a link, and through --out-dir of its own folder.
    const std::vector<std::vector<std::string>> ontoSource = {
        {"convert", "--to", "16:9", source, "-o", source, "--force"},
        {"convert", "--to", "16:9", source, "-o", link, "--force"},
        {"convert", "--to", "16:9", source, "--out-dir", dir.Path().string(), "--force"},
        {"convert", "--to", "16:9", source, "--out-dir", dir.Path().string()},
    };
    for (const auto& args : ontoSource) {
        result = RunCli(args);
        EXPECT_EQ(result.exitStatus, 1) << args[5];
        EXPECT_NE(result.err.find(source + ": "), std::string::npos) << result.err;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(source), original)) << args[5];
    }
}

// Each refusal names what is wrong, in the system's words where it has them, and only a file --force
// could replace is said to give way to it.
TEST(CliConvert, RefusalsNameWhatIsWrongAndPromiseOnlyWhatForceDoes) {
    test::TempDir dir;
    const std::string source = dir.File("source.m2v");
    test::WriteAll(source, test::ReadAll(DataFile("mpeg2_4x3.m2v")));
    fs::create_directory(dir.File("folder"));
    fs::create_symlink("loop", dir.File("loop"));
    fs::create_symlink("nowhere", dir.File("dangling"));
    test::WriteAll(dir.File("taken.m2v"), Bytes{1, 2, 3});
    struct Row {
        std::string dest;
        bool force;
        std::string text;
    };
    std::vector<Row> rows = {
        {dir.File("folder"), true, "can't open output file.: Is a directory"},
        {dir.File("loop"), true, "can't open output file.: Too many levels of symbolic links"},
        {source, false, "can't open output file.: the destination is the source file itself"},
        {dir.File("dangling"), true,
         "can't open output file.: the destination is a symbolic link to a file that does not exist"},
        {dir.File("none/out.m2v"), false,
         "can't open output file.: the destination's folder: No such file or directory"},
        {dir.File("taken.m2v"), false, dir.File("taken.m2v") + " exists (--force replaces it)"},
    };
    if (::geteuid() != 0) { // root writes into any folder
        fs::create_directory(dir.File("theirs"));
        test::WriteAll(dir.File("theirs/writable.m2v"), Bytes{1});
        fs::permissions(dir.File("theirs"), fs::perms::owner_read | fs::perms::owner_exec);
        rows.push_back({dir.File("theirs/writable.m2v"), true,
                        "can't open output file.: the destination's folder: Permission denied"});
    }
    for (const Row& row : rows) {
        std::vector<std::string> args = {"convert", "--to", "16:9", source, "-o", row.dest};
        if (row.force)
            args.push_back("--force");
        const auto result = RunCli(args);
        EXPECT_EQ(result.exitStatus, 1) << row.dest;
        EXPECT_EQ(Lines(result.err).front(), "veltrane-cli: " + source + ": " + row.text);
    }
    std::error_code ignored; // so that the folder can be removed
    fs::permissions(dir.File("theirs"), fs::perms::owner_all, fs::perm_options::add, ignored);
}

TEST(CliUsage, RefusesWhatCannotBeCarriedOutWithStatus2BeforeTouchingAFile) {
    test::TempDir dir;
    const std::string a = DataFile("mpeg2_4x3.m2v");
    const std::string out = dir.File("out.m2v");
    test::WriteAll(dir.File("mpeg2_4x3.m2v"), Bytes{9});
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate", a},
        {"probe"},
        {"convert", a, "-o", out},
        {"convert", "--to", "5:4", a, "-o", out},
        {"convert", "--to", "16:9", a},
        {"convert", "--to", "16:9", a, a, "-o", out},
        {"convert", "--to", "16:9", a, "-o", out, "--out-dir", dir.Path().string()},
        {"convert", "--to", "flip", a, "--in-place"},
        {"convert", "--to", "16:9", a, "--out-dir", dir.File("no-such-folder")},
        {"convert", "--to", "16:9", a, dir.File("mpeg2_4x3.m2v"), "--out-dir", dir.File("other"), "--force"},
    };
    fs::create_directory(dir.File("other"));
    for (const auto& args : cases) {
        std::string line;
        for (const std::string& arg : args)
            line += arg + " ";
        const auto result = RunCli(args);
        EXPECT_EQ(result.exitStatus, 2) << line;
        EXPECT_NE(result.err, "") << line;
        EXPECT_EQ(result.out, "") << line;
    }
    EXPECT_FALSE(Exists(out));
    EXPECT_TRUE(fs::is_empty(dir.File("other")));
    EXPECT_EQ(RunCli({"--help"}).exitStatus, 0);
    EXPECT_EQ(RunCli({"convert", "--help"}).exitStatus, 0);
    EXPECT_EQ(RunCli({"--version"}).out, "veltrane-cli " VELTRANE_VERSION "\n");
}

TEST(CliProbe, NamesEachFilesAspectOrWhyItHasNone) {
    test::TempDir dir;
    test::WriteAll(dir.File("text.txt"), Bytes(1000, 'x'));
    const auto result =
        RunCli({"probe", DataFile("mpeg2_4x3.m2v"), DataFile("mpeg2_ts_16x9.ts"),
                DataFile("mpeg1_vcd_4x3.m1v"), DataFile("mpeg2_square.m2v"), dir.File("text.txt")});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, DataFile("mpeg2_4x3.m2v") + ": 4:3\n" + DataFile("mpeg2_ts_16x9.ts") + ": 16:9\n" +
                              DataFile("mpeg1_vcd_4x3.m1v") + ": 4:3\n" + DataFile("mpeg2_square.m2v") +
                              ": unknown (code 1)\n");
    EXPECT_EQ(Lines(result.err).front(),
              "veltrane-cli: " + dir.File("text.txt") + ": can't find seqence_header");
}

// Names are bytes: one that is not UTF-8 and one in Japanese go through the file system and JSON intact.
TEST(CliJson, ParsesAndKeepsEveryFileNameExact) {
    test::TempDir dir;
    const std::string latin1 = "caf\xE9 \"1\".m2v"; // ISO 8859-1, not UTF-8, with quotes to escape
    const std::string japanese = "\xE6\x98\xA0\xE5\x83\x8F.m2v"; // 映像.m2v
    const Bytes source = test::ReadAll(DataFile("mpeg2_16x9.m2v"));
    fs::create_directory(dir.File("in"));
    fs::create_directory(dir.File("out"));
    test::WriteAll(dir.File("in/" + latin1), source);
    test::WriteAll(dir.File("in/" + japanese), source);

    const auto converted =
        RunCli({"convert", "--json", "--to", "4:3", dir.File("in/" + latin1), dir.File("in/" + japanese),
                dir.File("in/missing.m2v"), "--out-dir", dir.File("out")});
    EXPECT_EQ(converted.exitStatus, 1);
    const auto objects = JsonLines(converted.out);
    ASSERT_EQ(objects.size(), 3u);
    for (const std::string& name : {latin1, japanese})
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("out/" + name)),
                                    test::ReferenceConversion(source, ConversionMode::To4x3)));

    const nlohmann::json& first = objects[0];
    EXPECT_EQ(first["ok"], true);
    EXPECT_EQ(first["to"], "4:3");
    EXPECT_EQ(first["bytes"], source.size());
    EXPECT_EQ(first["headers"], 5);
    EXPECT_EQ(first["rewritten"], 5);
    EXPECT_EQ(first["file"], dir.File("in/caf\xEF\xBF\xBD \"1\".m2v"));
    std::string fromHex;
    const std::string hex = first["file_hex"];
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        fromHex += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    EXPECT_EQ(fromHex, dir.File("in/" + latin1));
    EXPECT_TRUE(first.contains("output_hex"));

    EXPECT_EQ(objects[1]["file"], dir.File("in/" + japanese));
    EXPECT_FALSE(objects[1].contains("file_hex"));
    EXPECT_EQ(objects[1]["output"], dir.File("out/" + japanese));
    EXPECT_EQ(objects[2]["ok"], false);
    EXPECT_EQ(objects[2]["error"], "can't open input file: No such file or directory");

    const auto probed = RunCli({"probe", "--json", "--quiet", dir.File("in/" + japanese),
                                DataFile("mpeg2_square.m2v"), dir.File("in/missing.m2v")});
    EXPECT_EQ(probed.err, "veltrane-cli: " + dir.File("in/missing.m2v") +
                              ": file open error: No such file or directory\n")
        << "--quiet";
    const auto probes = JsonLines(probed.out);
    ASSERT_EQ(probes.size(), 3u);
    EXPECT_EQ(probes[0]["aspect"], "16:9");
    EXPECT_EQ(probes[0]["aspect_code"], 3);
    EXPECT_EQ(probes[1]["aspect"], "unknown");
    EXPECT_EQ(probes[1]["aspect_code"], 1);
    EXPECT_EQ(probes[2]["error"], "file open error: No such file or directory");
}

// A converted copy is checked by scan; an in-place fix, run twice, leaves the bytes of one conversion.
TEST(CliScan, CountsTheHeadersOfCopiesAndOfFilesFixedInPlace) {
    test::TempDir dir;
    const std::pair<const char*, const char*> media[] = {{"mpeg2_ps_4x3.mpg", "program"},
                                                         {"mpeg2_ts_16x9.ts", "transport"}};
    for (const auto& [name, container] : media) {
        const std::string copy = dir.File(std::string("copy-") + name);
        const std::string fixed = dir.File(std::string("fixed-") + name);
        test::WriteAll(fixed, test::ReadAll(DataFile(name)));
        EXPECT_EQ(RunCli({"convert", "--to", "4:3", DataFile(name), "-o", copy}).exitStatus, 0);
        for (int pass = 0; pass < 2; ++pass) {
            const auto inPlace = RunCli({"convert", "--to", "4:3", "--in-place", fixed});
            EXPECT_EQ(inPlace.exitStatus, 0) << inPlace.err;
        }
        EXPECT_TRUE(test::SameBytes(test::ReadAll(fixed), test::ReadAll(copy))) << name;

        const auto scanned = RunCli({"scan", "--json", DataFile(name), copy, fixed});
        EXPECT_EQ(scanned.exitStatus, 0) << scanned.err;
        const auto objects = JsonLines(scanned.out);
        ASSERT_EQ(objects.size(), 3u) << scanned.out;
        for (const nlohmann::json& object : objects) {
            EXPECT_EQ(object["container"], container) << object;
            EXPECT_EQ(object["headers"], 5) << object;
            EXPECT_EQ(object["agree"], true) << object;
        }
        EXPECT_EQ(objects[1]["aspect_codes"], nlohmann::json({{"2", 5}}));
        EXPECT_EQ(objects[2]["aspect_codes"], nlohmann::json({{"2", 5}}));
        EXPECT_EQ(objects[2]["aspects"], nlohmann::json({{"4:3", 5}}));
    }

    // Headers that disagree are a finding, not a failure; a file without any is one.
    Bytes mixed(64, 0xFF);
    for (const auto& [offset, aspect] : {std::pair{0, 0x23}, std::pair{20, 0x33}, std::pair{40, 0x33}}) {
        const Bytes header = test::SequenceHeader(static_cast<std::uint8_t>(aspect));
        std::copy(header.begin(), header.end(), mixed.begin() + offset);
    }
    test::WriteAll(dir.File("mixed.m2v"), mixed);
    test::WriteAll(dir.File("none.m2v"), Bytes(64, 0xFF));
    const auto result = RunCli({"scan", dir.File("mixed.m2v"), dir.File("none.m2v")});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out,
              dir.File("mixed.m2v") +
                  ": elementary stream, 3 sequence headers, disagreeing: 1 4:3 (code 2), 2 16:9 (code 3)\n");
    EXPECT_EQ(Lines(result.err).front(),
              "veltrane-cli: " + dir.File("none.m2v") + ": can't find seqence_header");
}

// H.264 and HEVC: probe and scan name what the SPS declares, before and after a fix in place.
TEST(CliScan, NamesTheCodecAndSampleAspectOfH264AndHevcStreams) {
    test::TempDir dir;
    const std::tuple<const char*, const char*, const char*> media[] = {
        {"h264_720x576_4x3.264", "h264", "H.264"}, {"hevc_720x576_4x3.265", "hevc", "HEVC"}};
    for (const auto& [name, codec, codecText] : media) {
        const std::string fixed = dir.File(name);
        test::WriteAll(fixed, test::ReadAll(DataFile(name)));
        const auto before = RunCli({"probe", "--json", fixed});
        EXPECT_EQ(JsonLines(before.out).at(0)["aspect"], "4:3") << before.out;
        EXPECT_EQ(RunCli({"scan", fixed}).out,
                  fixed + ": elementary stream, " + codecText +
                      ", 1 SPS, all 4:3 (SAR 12:11); to 16:9: can; to 4:3: can\n");
        const auto inPlace = RunCli({"convert", "--to", "16:9", "--in-place", fixed});
        EXPECT_EQ(inPlace.exitStatus, 0) << inPlace.err;
        EXPECT_EQ(inPlace.out, fixed + ": 16:9, 1 of 1 SPSs rewritten in place\n");
        const std::string flipped = dir.File(std::string("flipped-") + name);
        const auto flip = RunCli({"convert", "--to", "flip", DataFile(name), "-o", flipped});
        EXPECT_EQ(flip.exitStatus, 0) << flip.err;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(flipped), test::ReadAll(fixed))) << name;
        const auto scanned = RunCli({"scan", "--json", fixed});
        const auto objects = JsonLines(scanned.out);
        ASSERT_EQ(objects.size(), 1u) << scanned.out;
        EXPECT_EQ(objects[0]["codec"], codec);
        EXPECT_EQ(objects[0]["sps"], 1);
        EXPECT_EQ(objects[0]["sample_aspects"], nlohmann::json({{"16:11", 1}}));
        EXPECT_EQ(objects[0]["aspects"], nlohmann::json({{"16:9", 1}}));
        EXPECT_EQ(RunCli({"probe", fixed}).out, fixed + ": 16:9\n");
    }
}

// A scan only reads: an SPS a run to 4:3 would refuse (1920x1080 square pixels) is told per direction,
// and the scan succeeds where the conversion fails with nothing written.
TEST(CliScan, TellsPerDirectionWhatARunWouldRefuse) {
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    test::TempDir dir;
    const std::string file = dir.File("square.264");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=1920x1080:rate=25 -frames:v 1 "
                           "-vf setsar=1 -c:v libx264 -f h264 '" +
                           file + "'")
                              .c_str()),
              0);
    const auto scan = RunCli({"scan", file});
    EXPECT_EQ(scan.exitStatus, 0) << scan.err;
    EXPECT_EQ(scan.out, file + ": elementary stream, H.264, 1 SPS, all 16:9 (SAR 1:1); to 16:9: can; to 4:3: "
                               "refused, needs another coding, 32 bits more\n");
    const auto json = JsonLines(RunCli({"scan", "--json", file}).out).at(0);
    EXPECT_EQ(json["convertible"], nlohmann::json({{"16:9", true}, {"4:3", false}}));
    const Bytes before = test::ReadAll(file);
    EXPECT_EQ(RunCli({"convert", "--to", "4:3", "--in-place", file}).exitStatus, 1);
    EXPECT_EQ(test::ReadAll(file), before);
}

// A container's own aspect is told beside its stream's, and a conversion makes both declare the target;
// what a container cannot give a stream run is refused with the reason, nothing written.
TEST(CliScan, TellsAContainersAspectBesideItsStreamsAndConvertsBoth) {
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    test::TempDir dir;
    const std::string mkv = dir.File("wide.mkv");
    const std::string mp4 = dir.File("plain.mp4");
    ASSERT_EQ(std::system(("ffmpeg -v error -fflags +genpts -i '" + DataFile("mpeg2_ps_4x3.mpg") +
                           "' -c copy -aspect 16:9 '" + mkv + "' && ffmpeg -v error -i '" +
                           DataFile("mpeg2_ps_4x3.mpg") + "' -c copy '" + mp4 + "'")
                              .c_str()),
              0);
    const auto before = RunCli({"scan", mkv});
    EXPECT_EQ(before.out, mkv + ": Matroska, 6 sequence headers, all 4:3 (code 2); the container says 16:9, "
                                "disagreeing\n");
    const std::string narrow = dir.File("narrow.mkv");
    EXPECT_EQ(RunCli({"convert", "--to", "4:3", mkv, "-o", narrow}).exitStatus, 0);
    const auto after = JsonLines(RunCli({"scan", "--json", narrow}).out);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0]["container_aspect"], "4:3");
    EXPECT_EQ(after[0]["container_agrees"], true);

    const std::string piped = dir.File("piped.mp4");
    const Bytes input = test::ReadAll(mp4);
    const auto refused =
        RunCli({"convert", "--to", "16:9", "-", "-o", piped}, {std::string(input.begin(), input.end())});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(Lines(refused.err).front(),
              "veltrane-cli: -: can't convert this file: MP4 needs a seekable file");
    EXPECT_FALSE(std::filesystem::exists(piped));
}

TEST(CliConvert, InPlaceGoesOnPastWhatItCannotWrite) {
    test::TempDir dir;
    const std::string file = dir.File("good.m2v");
    const Bytes original = test::ReadAll(DataFile("mpeg2_4x3.m2v"));
    test::WriteAll(file, original);
    const auto result =
        RunCli({"convert", "--to", "16:9", "--in-place", dir.File("missing.m2v"), file, dir.Path().string()});
    EXPECT_EQ(result.exitStatus, 1);
    const auto errors = Lines(result.err);
    ASSERT_EQ(errors.size(), 3u) << result.err;
    EXPECT_EQ(errors[0], "veltrane-cli: " + dir.File("missing.m2v") +
                             ": can't open input file: No such file or directory");
    EXPECT_EQ(errors[1],
              "veltrane-cli: " + dir.Path().string() + ": is a folder (add -r to convert the files in it)");
    EXPECT_EQ(result.out, file + ": 16:9, 5 of 5 sequence headers rewritten in place\n");
    EXPECT_TRUE(
        test::SameBytes(test::ReadAll(file), test::ReadAll(DataFile("mpeg2_4x3_as_16x9.golden.m2v"))));
}

// A long run on a terminal shows its progress line; Ctrl+C or SIGTERM then stops it with nothing left behind.
TEST(CliInterrupt, ASignalStopsALongRunLeavingNothingAtTheDestination) {
    test::TempDir dir;
    const std::string source = dir.File("long.mpg");
    const std::string dest = dir.File("out.mpg");
    // Sparse: costs no disk, takes the program many seconds to copy. The header makes it MPEG video.
    test::WriteAll(source, test::SequenceHeader(0x23));
    ASSERT_EQ(::truncate(source.c_str(), 8LL << 30), 0);
    struct stat before {};
    ASSERT_EQ(::stat(source.c_str(), &before), 0);

    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        test::CliOnTerminal cli({"convert", "--to", "16:9", source, "-o", dest});
        ASSERT_TRUE(cli.WaitFor("MB/s", std::chrono::seconds(60))) << cli.Terminal();
        EXPECT_NE(cli.Terminal().find("long.mpg ["), std::string::npos) << cli.Terminal();
        EXPECT_NE(cli.Terminal().find(" left"), std::string::npos) << cli.Terminal();
        cli.Signal(signal);
        EXPECT_EQ(cli.Wait(std::chrono::seconds(60)), status);
        EXPECT_NE(cli.Terminal().find("interrupted"), std::string::npos) << cli.Terminal();

        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1)
            << "nothing but the source in the folder";
        struct stat after {};
        ASSERT_EQ(::stat(source.c_str(), &after), 0);
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }
}

// Copies finished before the signal are committed and told; the one it cut short leaves nothing, and no
// temporary file is left beside any of them.
TEST(CliInterrupt, ASignalMidBatchKeepsTheCopiesFinishedBeforeIt) {
    test::TempDir dir;
    test::TempDir out;
    const Bytes es = test::ReadAll(DataFile("mpeg2_4x3.m2v"));
    for (const char* name : {"a.m2v", "b.m2v"})
        test::WriteAll(dir.File(name), es);
    test::WriteAll(out.File("b.m2v"), Bytes{1, 2, 3}); // replaced, with --force
    test::WriteAll(dir.File("long.mpg"), test::SequenceHeader(0x23));
    ASSERT_EQ(::truncate(dir.File("long.mpg").c_str(), 8LL << 30), 0);

    test::CliOnTerminal cli({"convert", "--force", "--to", "16:9", dir.File("a.m2v"), dir.File("b.m2v"),
                             dir.File("long.mpg"), "--out-dir", out.Path().string()});
    ASSERT_TRUE(cli.WaitFor("MB/s", std::chrono::seconds(60))) << cli.Terminal();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(std::chrono::seconds(60)), 130);
    for (const char* name : {"a.m2v", "b.m2v"})
        EXPECT_TRUE(test::SameBytes(test::ReadAll(out.File(name)),
                                    test::ReferenceConversion(es, ConversionMode::To16x9)))
            << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(out.Path()), fs::directory_iterator()), 2)
        << "the two copies and nothing else";
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Through a pipe the walk must see what it sees in a file: a transport stream comes through small pipe
// reads as the same bytes a file-to-file run writes, and an elementary stream as the model's.
TEST(CliStream, StandardInputFifoAndPipeGiveTheBytesOfAFileRun) {
    test::TempDir dir;
    for (const char* name : {"mpeg2_4x3.m2v", "mpeg2_ts_16x9.ts", "mpeg2_ps_4x3.mpg"}) {
        const Bytes source = test::ReadAll(DataFile(name));
        ASSERT_EQ(RunCli({"convert", "--to", "16:9", DataFile(name), "-o", dir.File("file-run")}).exitStatus,
                  0);
        const Bytes expected = test::ReadAll(dir.File("file-run"));
        fs::remove(dir.File("file-run"));

        const auto piped = RunCli({"convert", "--to", "16:9", "-", "-o", "-", "--json"}, {Text(source)});
        EXPECT_EQ(piped.exitStatus, 0) << piped.err;
        EXPECT_TRUE(test::SameBytes(Bytes(piped.out.begin(), piped.out.end()), expected)) << name;
        const auto report = JsonLines(piped.err.substr(0, piped.err.find('\n')));
        EXPECT_EQ(report.at(0)["bytes"], source.size()) << "reports go to stderr: " << piped.err;

        const std::string fifo = dir.File("fifo");
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        std::thread writer([&] { test::WriteAll(fifo, source); });
        const auto fromFifo = RunCli({"convert", "--to", "16:9", fifo, "-o", dir.File("from-fifo")});
        writer.join();
        EXPECT_EQ(fromFifo.exitStatus, 0) << fromFifo.err;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("from-fifo")), expected)) << name;
        fs::remove(fifo);
        fs::remove(dir.File("from-fifo"));
    }
    const Bytes es = test::ReadAll(DataFile("mpeg2_4x3.m2v"));
    const auto piped = RunCli({"convert", "--to", "16:9", "-", "-o", "-"}, {Text(es)});
    EXPECT_TRUE(test::SameBytes(Bytes(piped.out.begin(), piped.out.end()),
                                test::ReferenceConversion(es, ConversionMode::To16x9)));
}

// A reader that leaves ends the program at once, without a word, as SIGPIPE would have.
TEST(CliStream, AReaderThatLeavesEndsTheProgramQuietly) {
    const std::string big(8 << 20, '\0');
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"convert", "--to", "16:9", "-", "-o", "-"}, Text(test::SequenceHeader(0x23)) + big},
        {{"probe", DataFile("mpeg2_4x3.m2v"), DataFile("mpeg2_16x9.m2v")}, ""},
        {{"scan", "--json", DataFile("mpeg2_4x3.m2v")}, ""},
    };
    for (const auto& [args, input] : cases) {
        const auto result = RunCli(args, {input, true});
        EXPECT_EQ(result.exitStatus, 141) << args[0];
        EXPECT_EQ(result.err, "") << args[0];
    }
}

// -r mirrors the tree into --out-dir, skipping what is no MPEG video by its bytes and the copies
// themselves on a second run; -n tells the same without writing.
TEST(CliWalk, ConvertsATreeIntoOutDirAndDryRunsIt) {
    test::TempDir dir;
    const Bytes es = test::ReadAll(DataFile("mpeg2_4x3.m2v"));
    fs::create_directories(dir.File("rec/season/extra"));
    test::WriteAll(dir.File("rec/a.m2v"), es);
    test::WriteAll(dir.File("rec/season/extra/b.bin"), test::ReadAll(DataFile("mpeg2_ts_16x9.ts")));
    test::WriteAll(dir.File("rec/season/notes.mpg"), Bytes(5000, 'x'));
    const std::string out = dir.File("rec/wide");

    const auto dry = RunCli({"convert", "-n", "--to", "16:9", "-r", dir.File("rec/")});
    EXPECT_EQ(dry.exitStatus, 0) << dry.err;
    EXPECT_EQ(dry.out, dir.File("rec/a.m2v") + ": would rewrite 5 of 5 sequence headers to 16:9\n" +
                           dir.File("rec/season/extra/b.bin") + ": already 16:9, nothing to rewrite\n");
    EXPECT_FALSE(Exists(out));

    fs::create_directory(out);
    for (int pass = 0; pass < 2; ++pass) {
        const auto run = RunCli({"convert", "--to", "16:9", "-r", dir.File("rec"), "--out-dir", out});
        EXPECT_EQ(run.exitStatus, pass == 0 ? 0 : 1) << run.err;
        EXPECT_NE(run.err.find("1 skipped (no MPEG-1/2 video)"), std::string::npos) << run.err;
        if (pass == 1) {
            EXPECT_EQ(Lines(run.err).size(), 3u) << "only the two existing copies refused: " << run.err;
        }
    }
    EXPECT_TRUE(test::SameBytes(test::ReadAll(out + "/rec/a.m2v"),
                                test::ReferenceConversion(es, ConversionMode::To16x9)));
    EXPECT_TRUE(test::SameBytes(test::ReadAll(out + "/rec/season/extra/b.bin"),
                                test::ReadAll(DataFile("mpeg2_ts_16x9.ts"))));
    EXPECT_FALSE(Exists(out + "/rec/season/notes.mpg"));
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("rec/a.m2v")), es));
}

// Each refusal names what is wrong, with the status a script can tell apart, and writes nothing.
TEST(CliUsage, EachRefusalSaysWhy) {
    test::TempDir dir;
    test::WriteAll(dir.File("h264.mp4"), Bytes(70000, 0x42));
    const std::string a = DataFile("mpeg2_4x3.m2v");
    const std::string out = dir.File("out.m2v");
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string line; // the first line on stderr
    };
    const std::vector<Row> rows = {
        {{"frobnicate", a}, 2, "veltrane-cli: unknown subcommand 'frobnicate' (probe, scan or convert)"},
        {{"convert", "--to", "16:9", a},
         2,
         "veltrane-cli: convert needs one of -o OUT, --out-dir DIR or --in-place"},
        {{"convert", "--to", "flip", "-", "-o", out},
         2,
         "veltrane-cli: -: --to flip reads a file's first header before its copy starts, which a stream "
         "cannot give back; use --to 16:9 or --to 4:3"},
        {{"convert", "--to", "4:3", "-", "-", "--out-dir", dir.Path().string()},
         2,
         "veltrane-cli: standard input has no name to keep in --out-dir; use -o"},
        {{"convert", "--to", "4:3", "-r", dir.Path().string(), "-o", out},
         2,
         "veltrane-cli: --output excludes --recursive"},
        {{"convert", "--to", "16:9", dir.File("h264.mp4"), "-o", out},
         1,
         "veltrane-cli: " + dir.File("h264.mp4") + ": no MPEG-1/2 video"},
        {{"convert", "--to", "16:9", "-", "-o", out}, 1, "veltrane-cli: -: no MPEG-1/2 video"},
        {{"scan", dir.Path().string()},
         1,
         "veltrane-cli: " + dir.Path().string() + ": is a folder (add -r to scan the files in it)"},
    };
    for (const Row& row : rows) {
        const auto result = RunCli(row.args, {std::string(3000, 'x')});
        EXPECT_EQ(result.exitStatus, row.status) << row.line;
        EXPECT_EQ(Lines(result.err).at(0), row.line);
        EXPECT_FALSE(Exists(out)) << row.line;
    }
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"-V"}, {"convert", "--version"}, {"scan", "-V"}})
        EXPECT_EQ(RunCli(args).out, "veltrane-cli " VELTRANE_VERSION "\n") << args[0];
    const auto quiet = RunCli({"probe", "-q", a});
    EXPECT_EQ(quiet.out, a + ": 4:3\n") << "-q keeps results";
    EXPECT_EQ(quiet.err, "");
}

// A stream that brings nothing does not hold the program past Ctrl+C.
TEST(CliInterrupt, CtrlCEndsTheWaitForAStream) {
    test::TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    test::CliOnTerminal cli({"convert", "--to", "16:9", fifo, "-o", dir.File("out")});
    ASSERT_TRUE(cli.WaitFor("0 bytes", std::chrono::seconds(30))) << cli.Terminal();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(std::chrono::seconds(10)), 130);
    EXPECT_FALSE(Exists(dir.File("out")));
}

} // namespace
} // namespace veltrane
