// Writing a disc's files through the file layer, each put in place only once it is whole.
#include "disc/disc_files.h"

#include "io/chunk_buffer.h"
#include "io/copy_writer.h"
#include "io/file_io.h"

#include <new>
#include <optional>

namespace veltrane::disc {

namespace {

// Records why and returns false, for the callers to return.
bool Because(io::FailureReason& failure, const io::FailureReason& why) {
    failure = why;
    return false;
}

} // namespace

bool WriteIfoCopy(const std::string& source, const std::string& dest, const std::vector<std::uint8_t>& bytes,
                  io::FailureReason& failure) {
    io::File from = io::OpenForSequentialRead(source);
    if (!from.IsOpen())
        return Because(failure, from.Failure());
    io::OutputFile output(dest, from);
    if (!output.IsOpen())
        return Because(failure, output.Failure());
    if (!output.Content().WriteAll(bytes.data(), bytes.size()))
        return Because(failure, output.Content().Failure());
    return output.Commit() || Because(failure, output.Failure());
}

bool WriteIfoInPlace(const std::string& path, const IfoImage& image, const std::vector<std::uint8_t>& bytes,
                     io::FailureReason& failure) {
    io::File file = io::OpenForUpdate(path);
    if (!file.IsOpen())
        return Because(failure, file.Failure());
    for (const VideoAttribute& attribute : image.attributes) {
        const std::uint8_t byte = bytes[attribute.offset];
        if (byte != image.bytes[attribute.offset] && !file.WriteAllAt(&byte, 1, attribute.offset))
            return Because(failure, file.Failure());
    }
    return file.Close() || Because(failure, file.Failure());
}

namespace {

bool Copy(const std::string& source, const std::string& dest, io::FailureReason& failure) {
    io::File from = io::OpenForSequentialRead(source);
    if (!from.IsOpen())
        return Because(failure, from.Failure());
    io::OutputFile output(dest, from);
    if (!output.IsOpen())
        return Because(failure, output.Failure());
    const ChunkBuffer buffer = AllocateChunk();
    const std::optional<std::int64_t> size = from.Size();
    if (!buffer)
        return false;
    if (!size)
        return Because(failure, from.Failure());
    CopyWriter out(from, output.Content(), *size);
    for (;;) {
        const std::int64_t got = from.ReadSome(buffer.get(), CHUNK_SIZE);
        if (got < 0)
            return Because(failure, from.Failure());
        if (got == 0)
            break;
        if (!out.Put(buffer.get(), static_cast<std::size_t>(got)))
            return Because(failure, out.Failure());
    }
    if (!out.Finish())
        return Because(failure, out.Failure());
    return output.Commit() || Because(failure, output.Failure());
}

} // namespace

bool CopyExactly(const std::string& source, const std::string& dest, io::FailureReason& failure) {
    // The writer's few allocations are the only ones here; without memory for them the copy fails as
    // any other would, and the destination is left as it was.
    try {
        return Copy(source, dest, failure);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace veltrane::disc
