// Raw CD sectors (an image, a RIFF "CDXA" file) and streams behind leading junk, against the mux model.
#include "container/mux_builder.h"
#include "conversion_run.h"
#include "in_place_fix.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>

namespace veltrane {
namespace {

using test::Bytes;
using test::Mux;

constexpr std::size_t SECTOR = 2352;
constexpr std::size_t USER = 2324;

void StoreEdc(std::uint8_t* sector, std::size_t at, std::size_t end) {
    const std::uint32_t edc = test::CdEdc(sector, end);
    for (int i = 0; i < 4; ++i)
        sector[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(edc >> (8 * i));
}

// Appends one sector: Form 2 with `user` (padded), or Form 1 with the first 2,048 bytes of it.
void Sector(Mux& mux, const Bytes& user, bool form2, bool zeroEdc) {
    Bytes s(SECTOR, 0);
    s[0] = 0x00;
    std::memset(s.data() + 1, 0xFF, 10);
    s[15] = 2;
    s[18] = s[22] = form2 ? 0x62 : 0x08;
    std::copy(user.begin(), user.end(), s.begin() + 24);
    if (form2 && !zeroEdc)
        StoreEdc(s.data(), 2348, 2348);
    if (!form2)
        StoreEdc(s.data(), 2072, 2072);
    mux.Structure(s);
}

// A program stream in sectors, a pack each, whose sector edges cut every sequence header after 1 to
// 7 of its bytes; a Form 1 sector and Form 2 ones without packs (a video CD's file system and margin)
// before it, and a stump of a sector after, each with a header of its own.
Mux BuildCd(std::size_t origin, std::mt19937& random) {
    const Bytes es = test::SyntheticVideo(9, 0x23, true, 5000, random);
    std::vector<std::size_t> cuts;
    for (const std::size_t h : test::HeaderOffsets(es))
        cuts.push_back(h + 1 + cuts.size() % 7);
    Mux mux;
    mux.file.assign(origin, 0x5A);
    Bytes decoy = test::SequenceHeader(0x23);
    decoy.resize(USER, 0);
    Sector(mux, decoy, false, false);
    // Form 2 bytes outside any pack are searched as plain ones, as before a program stream's first pack.
    for (int i = 0; i < 3; ++i) {
        mux.plain.emplace_back(mux.file.size() + 24, mux.file.size() + 24 + USER);
        Sector(mux, i == 1 ? decoy : Bytes(USER, 0), true, i == 2);
    }
    for (std::size_t pos = 0, n = 0; pos < es.size(); pos += n) {
        n = std::min<std::size_t>({2290, es.size() - pos});
        for (const std::size_t cut : cuts)
            if (cut > pos)
                n = std::min(n, cut - pos);
        Bytes user = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0, 0x03, 0xFF, 0xF8};
        const std::size_t pes = 3 + n;
        for (const std::uint8_t b :
             {0, 0, 1, 0xE0, static_cast<int>(pes >> 8), static_cast<int>(pes & 0xFF), 0x80, 0, 0})
            user.push_back(b);
        const std::size_t at = mux.file.size() + 24 + user.size();
        user.insert(user.end(), es.begin() + static_cast<std::ptrdiff_t>(pos),
                    es.begin() + static_cast<std::ptrdiff_t>(pos + n));
        const std::size_t padding = USER - user.size() - 6;
        for (const std::uint8_t b :
             {0, 0, 1, 0xBE, static_cast<int>(padding >> 8), static_cast<int>(padding & 0xFF)})
            user.push_back(b);
        user.resize(USER, 0xFF);
        for (std::size_t i = 0; i < n; ++i)
            mux.video[0].push_back(at + i);
        Sector(mux, user, true, pos % 3 == 1);
    }
    mux.Structure(test::SequenceHeader(0x23));
    return mux;
}

// The model's rewrite, then every sector that changed given the EDC its new bytes call for, unless
// its field was zero.
Bytes Expected(const Mux& mux, std::size_t origin, ConversionMode mode) {
    Bytes out = test::ReferenceMuxConversion(mux, mode);
    for (std::size_t s = origin; s + SECTOR <= out.size(); s += SECTOR) {
        const bool zero =
            std::all_of(out.begin() + s + 2348, out.begin() + s + SECTOR, [](auto b) { return b == 0; });
        if (!zero && !std::equal(out.begin() + s, out.begin() + s + SECTOR, mux.file.begin() + s))
            StoreEdc(out.data() + s, 2348, 2348);
    }
    return out;
}

// The 44-byte header a RIFF "CDXA" file of `size` bytes of sectors starts with.
Bytes Riff(std::size_t size) {
    Bytes header(44, 0);
    std::memcpy(header.data(), "RIFF\0\0\0\0CDXAfmt \x10\0\0\0", 20);
    std::memcpy(header.data() + 36, "data", 4);
    for (int i = 0; i < 4; ++i)
        header[40 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
    return header;
}

TEST(CdSectors, HeadersCutBySectorEdgesAreRewrittenAndOnlyChangedSectorsGetANewEdc) {
    for (const bool riff : {false, true}) {
        std::mt19937 random(riff ? 5 : 3);
        Mux mux = BuildCd(riff ? 44 : 0, random);
        if (riff) {
            const Bytes header = Riff(mux.file.size() - 44);
            std::copy(header.begin(), header.end(), mux.file.begin());
        }
        const std::size_t origin = riff ? 44 : 0;
        test::TempDir dir;
        test::WriteAll(dir.File("in.bin"), mux.file);
        for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
            SCOPED_TRACE(riff ? "RIFF CDXA" : "raw image");
            const Bytes expected = Expected(mux, origin, mode);
            for (const std::size_t buffer : {std::size_t{16411}, std::size_t{CHUNK_SIZE}}) {
                ContainerKind kind{};
                EXPECT_TRUE(test::SameBytes(test::WalkInBuffers(mux.file, mode, buffer, &kind), expected));
                EXPECT_EQ(kind, riff ? ContainerKind::CdXaFile : ContainerKind::CdImage);
            }
            test::RecordingSink sink;
            RunReport report;
            ASSERT_EQ(RunConversion(dir.File("in.bin"), dir.File("out.bin"), mode, sink, report),
                      RunOutcome::Completed);
            EXPECT_EQ(report.headersFound, 10u); // the stream's and the margin's
            EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("out.bin")), expected));
            test::WriteAll(dir.File("fix.bin"), mux.file);
            ASSERT_EQ(FixInPlace(dir.File("fix.bin"), mode, sink, report), RunOutcome::Completed);
            EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("fix.bin")), expected));
        }
    }
}

// A stream behind 100 KiB of bytes that hold no start code is walked as what it is from its start.
TEST(LateStructure, AStreamAfterLeadingJunkIsWalkedAsItsContainer) {
    struct Row {
        const char* name;
        ContainerKind kind;
    };
    for (const Row& row :
         {Row{"program", ContainerKind::ProgramStream}, Row{"transport", ContainerKind::TransportStream188},
          Row{"transport-192", ContainerKind::TransportStream192}}) {
        SCOPED_TRACE(row.name);
        std::mt19937 random(11);
        const Bytes es = test::SyntheticVideo(6, 0x23, true, 3000, random);
        Mux mux = row.kind == ContainerKind::ProgramStream
                      ? test::BuildProgram(es, {false, test::CutEveryHeader(es)}, random)
                      : test::BuildTransport(
                            es, {row.kind == ContainerKind::TransportStream192, test::CutEveryHeader(es), {}},
                            random);
        Mux late;
        for (std::size_t i = 0; i < 100 * 1024; ++i)
            late.file.push_back(static_cast<std::uint8_t>(0x80 + random() % 0x80));
        const std::size_t shift = late.file.size();
        late.Structure(mux.file);
        for (const auto& [stream, offsets] : mux.video)
            for (const std::size_t offset : offsets)
                late.video[stream].push_back(offset + shift);
        for (const auto& [from, to] : mux.plain)
            late.plain.emplace_back(from + shift, to + shift);
        for (const std::size_t buffer : {std::size_t{4099}, std::size_t{CHUNK_SIZE}}) {
            ContainerKind kind{};
            EXPECT_TRUE(test::SameBytes(test::WalkInBuffers(late.file, ConversionMode::To16x9, buffer, &kind),
                                        test::ReferenceMuxConversion(late, ConversionMode::To16x9)));
            EXPECT_EQ(kind, row.kind);
        }
    }
}

} // namespace
} // namespace veltrane
