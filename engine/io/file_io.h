// The thin file layer the engine sits on: sequential reads and writes through owned handles, and an
// output that takes the destination's place only once it is complete.
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
    // Reads exactly `size` bytes at `offset`, leaving the position ReadSome reads from alone; false on
    // an error or an end before them.
    bool ReadAllAt(std::uint8_t* data, std::size_t size, std::int64_t offset) const;
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

    // Whether this is a regular file on disk, whose size means where its data ends; a pipe, a FIFO or a
    // device has no end to know beforehand.
    bool IsRegularFile() const;
    // Whether both are the same regular file, under whatever names they were opened.
    bool IsSameFileAs(const File& other) const;
    // Waits until a read would not wait: data, the end, or an error. False when a signal interrupted
    // the wait or a fifth of a second went by first, so that the caller can see whether it was asked to
    // stop and wait again; a FIFO whose writer is slow or not there yet would otherwise hold the program
    // past Ctrl+C.
    bool WaitUntilReadable() const;

private:
    friend File OpenForSequentialRead(const std::string& path);
    friend File OpenForUpdate(const std::string& path);
    friend File OpenForStreamRead(const std::string& path);
    friend File OpenStandardInput();
    friend File OpenStandardOutput();
    friend class OutputFile;

    NativeHandle m_handle{};
    bool m_open = false;
};

namespace detail {
// Each platform's file layer closes its own handles; true when the platform reported no error.
bool CloseNative(NativeHandle handle);

// Every File closes through this. Tests put in its place a close that releases the handle and then
// reports a failure, as a network file system or a full quota can at close; returns the one it
// replaces. Not for use during a run.
using NativeCloser = bool (*)(NativeHandle handle);
NativeCloser SetNativeCloser(NativeCloser closer);
} // namespace detail

// Opens an existing regular file for reading, keeping other writers out where the platform can,
// and tells the platform the reads will be sequential. Closed File on failure.
File OpenForSequentialRead(const std::string& path);

// Opens an existing regular file for reading and for writing single bytes where they lie, nothing
// created or truncated: the in-place fix. Closed File on failure.
File OpenForUpdate(const std::string& path);

// Opens anything that can be read but a folder: a regular file, a FIFO (waiting, as any reader of one
// does, until a writer comes), a pipe such as /dev/fd/N, a device. Closed File on failure.
File OpenForStreamRead(const std::string& path);

// The process's standard input and output as Files of their own, in binary mode, so that closing them
// leaves the process's own descriptors alone. Closed File when there is none.
File OpenStandardInput();
File OpenStandardOutput();

// A run's output. A destination that is a regular file, or not there yet, is written as a new file in
// the same folder and put in its place in one step by Commit, so that whatever had the name survives a
// run that fails, is cancelled or is killed. A destination that exists and is not a regular file (a
// FIFO, a device) is written directly, as there is nothing there to keep. Not movable: the file beside
// the destination is tied to this object's lifetime.
class OutputFile {
public:
    // Refuses, before anything is written, a destination that is the same file as `source` under any
    // name, a folder, and a place that cannot be written. IsOpen() says whether it went through.
    OutputFile(const std::string& path, const File& source);
    // An output never committed is discarded: no partial file is left, the destination is as it was.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return m_file.IsOpen(); }
    // The file the output's bytes go to, by the run's writes or any other means.
    File& Content() { return m_file; }
    // Closes the written file and gives it the destination's name, replacing what was there. False when
    // any step failed; the destination then keeps what it had and the written file is gone.
    bool Commit();

private:
    void Discard();

    File m_file;
    std::string m_target; // the name the output takes on commit; empty when written in place
    std::string m_hidden; // the temporary name it has until then; empty while it has none (O_TMPFILE)
};

} // namespace veltrane::io
