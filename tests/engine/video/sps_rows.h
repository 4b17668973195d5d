// The checks every SPS row of the H.264 and HEVC tests goes through, and the bytes they start from.
#pragma once

#include "test_support.h"
#include "video/sps_info.h"
#include "video/sps_rewrite.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace veltrane::test {

inline std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// What a flip to one shape must give: the kind, the new aspect (Changed), the bits named (Refused).
struct Expect {
    SpsRewrite::Kind kind = SpsRewrite::Kind::Refused;
    SampleAspect to{};
    int bits = 0;
};

struct SpsRow {
    std::string name;
    std::vector<std::uint8_t> nal; // the whole NAL unit, as the encoder wrote it
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::optional<SampleAspect> aspect; // empty: no VUI or no aspect info
    Expect to16x9;
    Expect to4x3;
};

inline SampleAspect ParseAspect(const std::string& text) {
    unsigned idc = 0, w = 0, h = 0;
    std::sscanf(text.c_str(), "%u:%u:%u", &idc, &w, &h);
    return {static_cast<std::uint8_t>(idc), static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
}

inline Expect ParseExpect(const std::string& text) {
    if (text == "=")
        return {SpsRewrite::Kind::Unchanged};
    if (text == "~")
        return {SpsRewrite::Kind::OtherShape};
    if (text[0] == '>')
        return {SpsRewrite::Kind::Changed, ParseAspect(text.substr(1))};
    return {SpsRewrite::Kind::Refused, {}, std::stoi(text.substr(1))};
}

// The rows of one codec from tests/data/sps_rows.txt.
inline std::vector<SpsRow> LoadRows(const std::string& codec) {
    std::ifstream file(std::string(VELTRANE_TEST_DATA_DIR) + "/sps_rows.txt");
    std::vector<SpsRow> rows;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string rowCodec, aspect, to16x9, to4x3, hex;
        SpsRow row;
        if (line.starts_with('#') ||
            !(fields >> rowCodec >> row.name >> row.width >> row.height >> aspect >> to16x9 >> to4x3 >>
              hex) ||
            rowCodec != codec)
            continue;
        row.nal = FromHex(hex);
        if (aspect != "-")
            row.aspect = ParseAspect(aspect);
        row.to16x9 = ParseExpect(to16x9);
        row.to4x3 = ParseExpect(to4x3);
        rows.push_back(std::move(row));
    }
    return rows;
}

inline constexpr auto CHANGED = SpsRewrite::Kind::Changed;
inline constexpr auto UNCHANGED = SpsRewrite::Kind::Unchanged;
inline constexpr auto REFUSED = SpsRewrite::Kind::Refused;

inline bool Bit(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return ((bytes[at / 8] >> (7 - at % 8)) & 1) != 0;
}

// The reading gives the row's size and aspect; each flip gives the row's outcome, and a change is a
// few bytes after which the SPS reads as the target with every RBSP bit outside the aspect as before,
// and a second flip to the same shape finds nothing to do.
inline void CheckRow(VideoCodec codec, const SpsRow& row) {
    const std::vector<std::uint8_t>& nal = row.nal;
    const SpsReading reading = ReadSps(codec, nal);
    ASSERT_TRUE(reading.ok) << reading.failure;
    EXPECT_EQ(reading.sps.width, row.width);
    EXPECT_EQ(reading.sps.height, row.height);
    EXPECT_EQ(reading.sps.aspectInfoPresent, row.aspect.has_value());
    if (row.aspect) {
        EXPECT_EQ(reading.sps.aspect, *row.aspect);
    }
    for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
        SCOPED_TRACE(mode == ConversionMode::To16x9 ? "to 16:9" : "to 4:3");
        const Expect& expect = mode == ConversionMode::To16x9 ? row.to16x9 : row.to4x3;
        const SpsRewrite result = RewriteSpsAspect(codec, nal, mode);
        ASSERT_EQ(result.kind, expect.kind) << result.reason;
        if (expect.kind == REFUSED) {
            EXPECT_TRUE(result.changes.empty());
            EXPECT_NE(
                result.reason.find(std::to_string(expect.bits < 0 ? -expect.bits : expect.bits) + " bit"),
                std::string::npos)
                << result.reason;
            EXPECT_NE(result.reason.find("_metadata=sample_aspect_ratio="), std::string::npos)
                << result.reason;
            continue;
        }
        if (expect.kind != CHANGED) {
            EXPECT_TRUE(result.changes.empty());
            continue;
        }
        ASSERT_GE(result.changes.size(), 1u);
        EXPECT_LE(result.changes.size(), 4u);
        std::vector<std::uint8_t> patched = nal;
        for (const ByteChange& change : result.changes) {
            ASSERT_LT(change.offset, nal.size());
            EXPECT_EQ(nal[change.offset], change.before);
            patched[change.offset] = change.after;
        }
        const SpsReading again = ReadSps(codec, patched);
        ASSERT_TRUE(again.ok) << again.failure;
        EXPECT_EQ(again.sps.aspect, expect.to);
        EXPECT_EQ(again.sps.width, row.width);
        EXPECT_EQ(again.sps.height, row.height);
        ASSERT_EQ(again.rbsp.bytes.size(), reading.rbsp.bytes.size());
        EXPECT_EQ(again.rbsp.nalIndex, reading.rbsp.nalIndex);
        const std::size_t from = reading.sps.idcBit;
        const std::size_t to = from + (expect.to.idc == EXTENDED_SAR ? 40 : 8);
        for (std::size_t bit = 0; bit < reading.rbsp.bytes.size() * 8; ++bit) {
            if (bit < from || bit >= to) {
                ASSERT_EQ(Bit(again.rbsp.bytes, bit), Bit(reading.rbsp.bytes, bit)) << "bit " << bit;
            }
        }
        EXPECT_EQ(RewriteSpsAspect(codec, patched, mode).kind, UNCHANGED);
    }
}

// Runs a shell command and gives what it printed, or nothing when it failed.
inline std::optional<std::string> Output(const std::string& command) {
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>/dev/null").c_str(), "r"),
                                                     ::pclose);
    if (!pipe)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
        text.append(buffer, n);
    return text;
}

// Every cut of a real SPS ends inside its fields; random bytes after the first `keep` of it either read
// or are refused. Exact-size copies, so that the sanitizers see any read past the end.
inline void CheckCutsAndGarbage(VideoCodec codec, const std::vector<std::uint8_t>& sps, std::size_t keep) {
    for (std::size_t size = 0; size + 1 < sps.size(); ++size) {
        const std::vector<std::uint8_t> cut(sps.begin(), sps.begin() + static_cast<long>(size));
        EXPECT_FALSE(ReadSps(codec, cut).ok) << "cut at " << size;
    }
    std::mt19937 random(27);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> nal(sps.begin(), sps.begin() + static_cast<long>(keep));
        nal.resize(keep + random() % 80);
        for (std::size_t i = keep; i < nal.size(); ++i)
            nal[i] = static_cast<std::uint8_t>(random() % 3 == 0 ? 0 : random());
        const SpsRewrite result = RewriteSpsAspect(codec, nal, ConversionMode::To16x9);
        ASSERT_LE(result.changes.size(), 5u);
        for (const ByteChange& change : result.changes)
            ASSERT_LT(change.offset, nal.size());
    }
}

// A committed 4:3 raw stream with one SPS, flipped to 16:9 in place: ffprobe sees 16:11 (DAR 20:11)
// and ffmpeg decodes the very same pictures.
inline void CheckRealMediaFlip(VideoCodec codec, const std::string& name) {
#ifdef _WIN32
    // Under wine the host's ffmpeg may start, but it cannot read the test's Windows paths.
    GTEST_SKIP() << "ffmpeg judges these streams on the host";
#endif
    if (!Output("ffmpeg -version"))
        GTEST_SKIP() << "ffmpeg is missing";
    const std::string source = std::string(VELTRANE_TEST_DATA_DIR) + "/" + name;
    Bytes stream = ReadAll(source);
    const std::size_t header = codec == VideoCodec::H264 ? 1 : 2;
    std::size_t patched = 0;
    for (std::size_t i = 0; i + 3 + header < stream.size(); ++i) {
        const std::uint8_t type =
            codec == VideoCodec::H264 ? stream[i + 3] & 0x1F : (stream[i + 3] >> 1) & 0x3F;
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1 || type != (header == 1 ? 7 : 33))
            continue;
        std::size_t end = i + 3;
        while (end + 2 < stream.size() && !(stream[end] == 0 && stream[end + 1] == 0 && stream[end + 2] <= 1))
            ++end;
        const SpsRewrite result =
            RewriteSpsAspect(codec, std::span(stream).subspan(i + 3, end - i - 3), ConversionMode::To16x9);
        ASSERT_EQ(result.kind, CHANGED) << result.reason;
        for (const ByteChange& change : result.changes)
            stream[i + 3 + change.offset] = change.after;
        ++patched;
    }
    ASSERT_EQ(patched, 1u);
    TempDir dir;
    const std::string copy = dir.File("flipped");
    std::ofstream(copy, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    const auto quoted = [](const std::string& path) { return "'" + path + "'"; };
    EXPECT_EQ(Output("ffprobe -v error -show_entries stream=sample_aspect_ratio,display_aspect_ratio "
                     "-of csv=p=0 " +
                     quoted(copy)),
              "16:11,20:11\n");
    const auto pictures = [&quoted](const std::string& path) {
        return Output("ffmpeg -v error -i " + quoted(path) + " -f framemd5 - | grep -v '^#'");
    };
    const auto before = pictures(source);
    ASSERT_TRUE(before && !before->empty());
    EXPECT_EQ(pictures(copy), before);
}

} // namespace veltrane::test
