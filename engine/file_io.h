// The thin file layer the engine sits on: sequential reads and writes through owned handles.
// Linux implements it in file_io_posix.cpp; a Windows build supplies file_io_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace veltrane::io {

#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

// An open file, closed when the owner goes. Move-only.
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool IsOpen() const { return m_open; }

    // Size in bytes, or nothing when the platform cannot tell.
    std::optional<std::int64_t> Size() const;
    // One read of at most `size` bytes: the count read, 0 at the end of the file, -1 on error.
    std::int64_t ReadSome(std::uint8_t* data, std::size_t size);
    // Writes all of `size` bytes, continuing short writes; false on any error.
    bool WriteAll(const std::uint8_t* data, std::size_t size);
    // The same at `offset`. A file is written either this way or by WriteAll, never both.
    bool WriteAllAt(const std::uint8_t* data, std::size_t size, std::int64_t offset);

    // Whether this file may share blocks with `source` at all: both regular files, on a platform that
    // can share them. Only a try (ShareBlocksFrom) tells whether the file system really can.
    bool MayShareBlocksWith(const File& source) const;
    // Makes [offset, offset + length) of this file hold the same bytes of `source` at the same offsets
    // without writing them: blocks shared by a clone where the file system has one (XFS, btrfs), or a
    // copy made by the file server (NFS 4.2, SMB). The range starts on a 4 KiB boundary and ends on one
    // or at the source's end. Returns how many bytes from `offset` on now hold the source's: `length`,
    // or less (0 included) when the file system cannot share them or failed part-way; the rest is the
    // caller's to write. Never moves the file position.
    std::int64_t ShareBlocksFrom(const File& source, std::int64_t offset, std::int64_t length);
    // Closes now and says whether the platform reported the data as written.
    bool Close();

private:
    friend File OpenForSequentialRead(const std::string& path);
    friend File CreateForSequentialWrite(const std::string& path, const File& source);

    NativeHandle m_handle{};
    bool m_open = false;
};

namespace detail {
// Each platform's file layer closes its own handles; true when the platform reported no error.
bool CloseNative(NativeHandle handle);
} // namespace detail

// Opens an existing regular file for reading, keeping other writers out where the platform can,
// and tells the platform the reads will be sequential. Closed File on failure.
File OpenForSequentialRead(const std::string& path);

// Creates the destination, or empties it if it exists, for sequential writing. Refuses, before
// anything is truncated, a destination that is the same file as `source` under any name.
// Closed File on failure.
File CreateForSequentialWrite(const std::string& path, const File& source);

} // namespace veltrane::io
