// The checks every SPS row of the H.264 and HEVC tests goes through, and the bytes they start from.
#pragma once

#include "video/sps_info.h"
#include "video/sps_rewrite.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
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
    SpsRewrite::Kind kind;
    SampleAspect to{};
    int bits = 0;
};

struct SpsRow {
    std::string name;
    std::string hex; // the whole NAL unit, as the encoder wrote it
    std::uint32_t width;
    std::uint32_t height;
    std::optional<SampleAspect> aspect; // empty: no VUI or no aspect info
    Expect to16x9;
    Expect to4x3;
};

inline constexpr auto CHANGED = SpsRewrite::Kind::Changed;
inline constexpr auto UNCHANGED = SpsRewrite::Kind::Unchanged;
inline constexpr auto REFUSED = SpsRewrite::Kind::Refused;
inline constexpr auto OTHER_SHAPE = SpsRewrite::Kind::OtherShape;

inline bool Bit(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return ((bytes[at / 8] >> (7 - at % 8)) & 1) != 0;
}

// The reading gives the row's size and aspect; each flip gives the row's outcome, and a change is a
// few bytes after which the SPS reads as the target with every RBSP bit outside the aspect as before,
// and a second flip to the same shape finds nothing to do.
inline void CheckRow(VideoCodec codec, const SpsRow& row) {
    const std::vector<std::uint8_t> nal = FromHex(row.hex);
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

} // namespace veltrane::test
