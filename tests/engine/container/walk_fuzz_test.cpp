// Damaged multiplexes thrown at the walk: it must neither crash nor read past its data, and whatever
// it does to a file is a change of aspect codes, nothing else.
#include "container/mux_builder.h"
#include "test_support.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>

namespace veltrane {
namespace {

using test::Bytes;

// One of a handful of damages a recording meets: flipped bytes, a lost or doubled stretch, a cut end,
// start codes and sync bytes where they do not belong.
void Damage(Bytes& file, std::mt19937& random) {
    if (file.empty())
        return;
    const auto pick = [&](std::size_t n) { return n == 0 ? 0 : random() % n; };
    const std::size_t at = pick(file.size());
    switch (random() % 7) {
    case 0:
        for (int i = 0, n = 1 + static_cast<int>(random() % 8); i < n; ++i)
            file[pick(file.size())] = static_cast<std::uint8_t>(random());
        break;
    case 1:
        file.erase(file.begin() + static_cast<std::ptrdiff_t>(at),
                   file.begin() + static_cast<std::ptrdiff_t>(std::min(file.size(), at + 1 + pick(400))));
        break;
    case 2: {
        const Bytes slice(file.begin() + static_cast<std::ptrdiff_t>(at),
                          file.begin() +
                              static_cast<std::ptrdiff_t>(std::min(file.size(), at + 1 + pick(600))));
        file.insert(file.begin() + static_cast<std::ptrdiff_t>(pick(file.size())), slice.begin(),
                    slice.end());
        break;
    }
    case 3:
        file.resize(at);
        break;
    case 4: {
        static const Bytes codes[] = {{0x00, 0x00, 0x01, 0xBA, 0x44},
                                      {0x00, 0x00, 0x01, 0xE0, 0xFF, 0xFF},
                                      {0x00, 0x00, 0x01, 0xB3},
                                      {0x47, 0x41, 0x00, 0x3F, 0xB7},
                                      {0x00, 0x00, 0x01, 0xBB, 0x00, 0x02}};
        const Bytes& code = codes[random() % std::size(codes)];
        file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), code.begin(), code.end());
        break;
    }
    case 5:
        // A PES header that claims more than there is.
        for (std::size_t i = at; i + 9 < file.size() && i < at + 4000; ++i) {
            if (file[i] == 0x00 && file[i + 1] == 0x00 && file[i + 2] == 0x01 &&
                (file[i + 3] & 0xF0) == 0xE0) {
                file[i + 4] = file[i + 5] = file[i + 8] = 0xFF;
                break;
            }
        }
        break;
    default:
        // A transport packet's adaptation field length gone wild.
        for (std::size_t i = at; i + 5 < file.size() && i < at + 400; ++i) {
            if (file[i] == 0x47) {
                file[i + 3] |= 0x30;
                file[i + 4] = static_cast<std::uint8_t>(180 + random() % 76);
                break;
            }
        }
        break;
    }
}

// MPEG-2's codes go 2 <-> 3; MPEG-1's from one pel ratio code (1..14) to another.
testing::AssertionResult OnlyAspectNibblesChanged(const Bytes& out, const Bytes& in) {
    if (out.size() != in.size())
        return testing::AssertionFailure() << "size " << out.size() << ", expected " << in.size();
    const auto code = [](std::uint8_t b) { return b >> 4; };
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (out[i] != in[i] && ((out[i] & 0x0F) != (in[i] & 0x0F) || code(in[i]) < 1 || code(in[i]) > 14 ||
                                code(out[i]) < 1 || code(out[i]) > 14))
            return testing::AssertionFailure()
                   << "offset " << i << " went from " << int{in[i]} << " to " << int{out[i]};
    }
    return testing::AssertionSuccess();
}

// Rounds run for VELTRANE_FUZZ_SECONDS when it is set (CI gives it a bounded time under the
// sanitizers), else for a fixed count that keeps the ordinary test run quick.
TEST(WalkFuzz, DamagedMultiplexesOnlyEverHaveAspectCodesChanged) {
    const char* seconds = std::getenv("VELTRANE_FUZZ_SECONDS");
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(seconds ? std::atoi(seconds) : 0);
    const int minimumRounds = 60;
    std::mt19937 random(20260);
    int round = 0;
    for (; round < minimumRounds || (seconds && std::chrono::steady_clock::now() < until); ++round) {
        const ConversionMode mode = round % 2 == 0 ? ConversionMode::To16x9 : ConversionMode::To4x3;
        const Bytes es = test::SyntheticVideo(4, mode == ConversionMode::To16x9 ? 0x23 : 0x33, round % 3 != 0,
                                              200 + random() % 1500, random);
        test::Mux mux;
        switch (round % 4) {
        case 0:
            mux = test::BuildTransport(es, {false, test::CutEveryHeader(es), {}}, random);
            break;
        case 1:
            mux = test::BuildTransport(es, {true, test::CutEveryHeader(es), {}}, random);
            break;
        case 2:
            mux = test::BuildProgram(es, {false, test::CutEveryHeader(es)}, random);
            break;
        default:
            mux = test::BuildProgram(es, {true, test::CutEveryHeader(es)}, random);
            break;
        }
        Bytes file = mux.file;
        for (int d = 0, n = 1 + static_cast<int>(random() % 6); d < n; ++d)
            Damage(file, random);
        const std::size_t bufferSize = 1024 + random() % 3000;
        ASSERT_TRUE(OnlyAspectNibblesChanged(test::WalkInBuffers(file, mode, bufferSize), file))
            << "round " << round << ", buffers of " << bufferSize;
    }
    RecordProperty("rounds", round);
}

} // namespace
} // namespace veltrane
