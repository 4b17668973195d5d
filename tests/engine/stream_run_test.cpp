// The stream run against the file-to-file run, and what it leaves at a destination when a stream holds no
// video.
#include "io/file_io.h"
#include "stream_run.h"
#include "test_support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace veltrane {
namespace {

using test::Bytes;

class StreamSink : public test::RecordingSink {
public:
    void StreamPosition(std::int64_t bytesRead) override { streamed = bytesRead; }
    std::int64_t streamed = -1;
};

// A regular file through the stream run: RunConversion's bytes, its progress, and the bytes read.
TEST(StreamRun, WritesWhatAFileRunWritesForEveryContainer) {
    test::TempDir dir;
    Bytes edgy(2 * CHUNK_SIZE + 64, 0xFF);
    const Bytes header = test::SequenceHeader(0x24);
    std::copy(header.begin(), header.end(), edgy.begin() + CHUNK_SIZE - 5);
    test::WriteAll(dir.File("edgy.m2v"), edgy);
    for (const std::string name : {"mpeg2_4x3.m2v", "mpeg2_ps_4x3.mpg", "mpeg2_ts_16x9.ts", "edgy.m2v"}) {
        const std::string path =
            name == "edgy.m2v" ? dir.File(name) : std::string(VELTRANE_TEST_DATA_DIR) + "/" + name;
        test::RecordingSink fileSink;
        ASSERT_EQ(RunConversion(path, dir.File("file-run"), ConversionMode::To16x9, fileSink),
                  RunOutcome::Completed);
        io::File source = io::OpenForSequentialRead(path);
        StreamSink sink;
        RunReport report;
        ASSERT_EQ(RunStreamConversion(source, dir.File("stream-run"), ConversionMode::To16x9, sink, report),
                  RunOutcome::Completed);
        EXPECT_TRUE(
            test::SameBytes(test::ReadAll(dir.File("stream-run")), test::ReadAll(dir.File("file-run"))))
            << name;
        EXPECT_EQ(sink.positions, fileSink.positions) << name;
        EXPECT_EQ(sink.streamed, static_cast<std::int64_t>(std::filesystem::file_size(test::FsPath(path))));
        EXPECT_EQ(sink.ends, 1);
        std::filesystem::remove(test::FsPath(dir.File("stream-run")));
    }
}

// Nothing to convert: the destination keeps what it had and nothing is left beside it.
TEST(StreamRun, AStreamWithoutVideoLeavesTheDestinationAsItWas) {
    test::TempDir dir;
    test::WriteAll(dir.File("text"), Bytes(100000, 'x'));
    test::WriteAll(dir.File("dest"), Bytes{1, 2, 3});
    io::File source = io::OpenForSequentialRead(dir.File("text"));
    test::RecordingSink sink;
    RunReport report;
    EXPECT_EQ(RunStreamConversion(source, dir.File("dest"), ConversionMode::To4x3, sink, report),
              RunOutcome::Completed);
    EXPECT_EQ(report.headersFound, 0u);
    EXPECT_EQ(test::ReadAll(dir.File("dest")), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
}

#ifndef _WIN32
// A pipe's end is its only size; the source is never its own destination.
TEST(StreamRun, ReadsAPipeToItsEndAndRefusesTheSourceAsDestination) {
    test::TempDir dir;
    const Bytes video = test::ReadAll(std::string(VELTRANE_TEST_DATA_DIR) + "/mpeg2_4x3.m2v");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer([&] {
        for (std::size_t done = 0; done < video.size(); done += 1000)
            (void)!::write(ends[1], video.data() + done, std::min<std::size_t>(1000, video.size() - done));
        ::close(ends[1]);
    });
    io::File source = io::OpenForStreamRead("/dev/fd/" + std::to_string(ends[0]));
    ::close(ends[0]);
    StreamSink sink;
    RunReport report;
    EXPECT_EQ(RunStreamConversion(source, dir.File("out"), ConversionMode::To16x9, sink, report),
              RunOutcome::Completed);
    writer.join();
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("out")),
                                test::ReferenceConversion(video, ConversionMode::To16x9)));
    EXPECT_TRUE(sink.positions.empty()) << "no percentage without a size";
    EXPECT_EQ(sink.streamed, static_cast<std::int64_t>(video.size()));

    io::File self = io::OpenForSequentialRead(dir.File("out"));
    io::File same = io::OpenForUpdate(dir.File("out"));
    EXPECT_EQ(RunStreamConversion(self, &same, ConversionMode::To4x3, sink, report),
              RunOutcome::DestOpenFailed);
}
#endif

} // namespace
} // namespace veltrane
