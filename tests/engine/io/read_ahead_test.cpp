// The read-ahead against the one read per pass it stands in for.
#include "io/read_ahead.h"
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace veltrane {
namespace {

using test::Bytes;

// Whatever each pass carries (and changes of what it carries), every pass holds the carried bytes
// and then exactly the bytes and count one read of CHUNK_SIZE - carry would give. A source cut
// during the passes ends them with an early end of data, never a failure or bytes not in the file;
// a reader stopped part-way is let go.
TEST(ReadAhead, GivesThePassesOneReadEachWouldAndEndsAsTheyWould) {
    test::TempDir dir;
    std::mt19937 random(21);
    Bytes source(5 * CHUNK_SIZE + 777);
    for (auto& b : source)
        b = static_cast<std::uint8_t>(random());
    std::vector<std::int64_t> cuts = {-1, -2};
#ifndef _WIN32 // Windows keeps every other writer out of an open source: nothing can cut it
    cuts.push_back(std::int64_t{CHUNK_SIZE} + 20);
#endif
    for (const std::int64_t cutTo : cuts) {
        SCOPED_TRACE(cutTo);
        test::WriteAll(dir.File("in"), source);
        io::File file = io::OpenForSequentialRead(dir.File("in"));
        const ChunkBuffer buffer = AllocateChunk(ReadAhead::BUFFER_BYTES);
        ReadAhead reads(file, static_cast<std::int64_t>(source.size()), buffer.get());
        std::int64_t read = 0;
        std::uint32_t carry = 0;
        Bytes carried;
        for (int pass = 0; read < static_cast<std::int64_t>(source.size()); ++pass) {
            const ReadAhead::Pass next = reads.Next(carry);
            ASSERT_TRUE(std::equal(carried.begin(), carried.end(), next.data));
            if (cutTo == -2 && pass == 1)
                break; // stopped with the next read under way
            const std::int64_t want = std::min<std::int64_t>(CHUNK_SIZE - carry, source.size() - read);
            if (cutTo >= 0 && next.got < want) {
                ASSERT_GE(next.got, 0);
                ASSERT_LE(read + next.got, cutTo + std::int64_t{CHUNK_SIZE});
            } else {
                ASSERT_EQ(next.got, want) << "pass " << pass;
            }
            // A cut that races a read under way may leave that read the old length with the cut page's
            // tail already zeroed by the kernel: only the bytes before the cut are the source's for sure.
            const std::int64_t sure =
                cutTo >= 0 ? std::clamp<std::int64_t>(cutTo - read, 0, next.got) : next.got;
            ASSERT_TRUE(std::equal(next.data + carry, next.data + carry + sure, source.begin() + read));
            if (next.got == 0)
                break;
            read += next.got;
            if (pass == 0 && cutTo >= 0)
                std::filesystem::resize_file(dir.Path() / "in", static_cast<std::uintmax_t>(cutTo));
            const std::uint32_t len = carry + static_cast<std::uint32_t>(next.got);
            carry = pass % 3 == 2 ? ReadAhead::MAX_CARRY : static_cast<std::uint32_t>(random() % 200);
            carry = std::min(carry, len);
            std::for_each(next.data + len - carry, next.data + len, [](std::uint8_t& b) { b ^= 0x5A; });
            carried.assign(next.data + len - carry, next.data + len);
        }
        if (cutTo == -1) {
            EXPECT_EQ(read, static_cast<std::int64_t>(source.size()));
        } else if (cutTo >= 0) {
            EXPECT_LT(read, static_cast<std::int64_t>(source.size()));
        }
    }
}

} // namespace
} // namespace veltrane
