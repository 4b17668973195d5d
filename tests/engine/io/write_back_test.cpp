// Writing a run's output back to the device on a thread of its own, while the run goes on.
#include "io/file_io.h"
#include "io/write_back.h"
#include "test_support.h"

#include <cerrno>
#include <gtest/gtest.h>

// Windows writes nothing back by ranges: the commit's FlushFileBuffers does it all.
#ifndef _WIN32
#include <unistd.h>

namespace veltrane {
namespace {

// Every range asked for is written back before Finish returns, none lost when ranges wait and are
// merged; a range the system refuses fails Finish with the system's reason (which the final sync of
// the file may no longer report once the range's own sync has seen it), and nothing after it goes on;
// a pipe has nothing to write back and never fails.
TEST(WriteBack, FinishesEveryRangeAskedAndReportsTheOneRefused) {
    test::TempDir dir;
    test::WriteAll(dir.File("copy"), test::Bytes(1 << 20, 0x47));
    struct Row {
        const char* name;
        std::int64_t refusedAt; // -1: none
    };
    for (const Row row : {Row{"all written back", -1}, Row{"the third refused", 2}}) {
        SCOPED_TRACE(row.name);
        io::File file = io::OpenForUpdate(dir.File("copy"));
        ASSERT_TRUE(file.IsOpen());
        WriteBack back(file);
        std::int64_t asked = 0;
        for (std::int64_t k = 0; k < 16; ++k) {
            // A range before the file's start is one the system refuses (EINVAL).
            const std::int64_t from = k == row.refusedAt ? -65536 : k * 65536;
            const std::int64_t to = from + 65536;
            back.Ask(WriteBack::Range{from, to, 1, 65536});
            asked += 65536;
        }
        if (row.refusedAt >= 0) {
            EXPECT_FALSE(back.Finish());
            EXPECT_EQ(back.Failure().systemError, EINVAL);
            EXPECT_EQ(back.Measured().bytes, row.refusedAt * 65536);
        } else {
            EXPECT_TRUE(back.Finish());
            EXPECT_EQ(back.Measured().bytes, asked);
        }
    }

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    io::File pipe = io::OpenForStreamRead("/dev/fd/" + std::to_string(ends[0]));
    ::close(ends[0]);
    ::close(ends[1]);
    ASSERT_TRUE(pipe.IsOpen());
    WriteBack back(pipe);
    back.Ask(WriteBack::Range{0, 4096, 1, 4096});
    EXPECT_TRUE(back.Finish());
    EXPECT_EQ(back.Measured().ranges, 0);
}

} // namespace
} // namespace veltrane
#endif
