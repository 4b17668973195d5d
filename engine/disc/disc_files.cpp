// Writing a disc's files through the file layer, each put in place only once it is whole.
#include "disc/disc_files.h"

#include "io/chunk_buffer.h"
#include "io/copy_writer.h"
#include "io/file_io.h"

#include <new>
#include <optional>

namespace veltrane::disc {

bool WriteIfoCopy(const std::string& source, const std::string& dest,
                  const std::vector<std::uint8_t>& bytes) {
    io::File from = io::OpenForSequentialRead(source);
    if (!from.IsOpen())
        return false;
    io::OutputFile output(dest, from);
    return output.IsOpen() && output.Content().WriteAll(bytes.data(), bytes.size()) && output.Commit();
}

bool WriteIfoInPlace(const std::string& path, const IfoImage& image, const std::vector<std::uint8_t>& bytes) {
    io::File file = io::OpenForUpdate(path);
    if (!file.IsOpen())
        return false;
    for (const VideoAttribute& attribute : image.attributes) {
        const std::uint8_t byte = bytes[attribute.offset];
        if (byte != image.bytes[attribute.offset] && !file.WriteAllAt(&byte, 1, attribute.offset))
            return false;
    }
    return file.Close();
}

namespace {

bool Copy(const std::string& source, const std::string& dest) {
    io::File from = io::OpenForSequentialRead(source);
    if (!from.IsOpen())
        return false;
    io::OutputFile output(dest, from);
    const ChunkBuffer buffer = AllocateChunk();
    const std::optional<std::int64_t> size = from.Size();
    if (!output.IsOpen() || !buffer || !size)
        return false;
    CopyWriter out(from, output.Content(), *size);
    for (;;) {
        const std::int64_t got = from.ReadSome(buffer.get(), CHUNK_SIZE);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (!out.Put(buffer.get(), static_cast<std::size_t>(got)))
            return false;
    }
    return out.Finish() && output.Commit();
}

} // namespace

bool CopyExactly(const std::string& source, const std::string& dest) {
    // The writer's few allocations are the only ones here; without memory for them the copy fails as
    // any other would, and the destination is left as it was.
    try {
        return Copy(source, dest);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace veltrane::disc
