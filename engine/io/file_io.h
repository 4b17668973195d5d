// The thin file layer the engine sits on: sequential reads and writes through owned handles, and an
// output that takes the destination's place only once it is complete.
// Linux implements it in file_io_posix.cpp; a Windows build supplies file_io_win32.cpp.
#pragma once

#include "io/failure_reason.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

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
    // Why the last call that failed on this file (or the open that gave it) failed.
    const FailureReason& Failure() const { return m_failure; }

    // Size in bytes, or nothing when the platform cannot tell.
    std::optional<std::int64_t> Size() const;
    // One read of at most `size` bytes: the count read, 0 at the end of the file, -1 on error.
    std::int64_t ReadSome(std::uint8_t* data, std::size_t size);
    // Moves the position ReadSome reads from back to the start; false on an error, saying why.
    bool Rewind();
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
    // Asks the file system to give a block rewritten in place of a shared one no more new space than
    // the block itself. XFS otherwise reserves 32 blocks around it and holds what goes unused for up
    // to half an hour; where there is no such reserve this does nothing.
    void KeepRewritesTight();
    // Cuts the file to `size` bytes. False on an error, saying why.
    bool Truncate(std::int64_t size);
    // Whether WriteBack can put ranges of this file on its device one by one: a regular file, on a
    // platform that can.
    bool CanWriteBack() const;
    // Puts [offset, offset + length) on the device and waits until it is there, as a sync of the whole
    // file would for these bytes. May run on a thread of its own while the owner writes elsewhere in
    // the file, so it records nothing here: false on an error, with the system's code in `error`.
    bool WriteBack(std::int64_t offset, std::int64_t length, int& error) const;
    // Starts putting [offset, offset + length) on the device and returns at once, so that a sync asked
    // for later finds the device already at work. Only a hint: where the platform cannot, nothing happens.
    void StartWriteBack(std::int64_t offset, std::int64_t length) const;
    // Whether the file still reaches past `offset`, so that a write there extends nothing.
    bool Reaches(std::int64_t offset) const;
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

    // An existing regular file, for reading only or for the in-place fix.
    static File OpenExisting(const std::string& path, bool update);
    // A handle of its own on the process's standard input or output (the platform's number for it).
    static File Duplicate(int standard);
    // Records the system's error of the call that just failed; returns false for the caller to return.
    bool Failed() const;
    bool Failed(Refusal refusal) const;

    NativeHandle m_handle{};
    bool m_open = false;
    mutable FailureReason m_failure;
};

namespace detail {
// Each platform's file layer closes its own handles; true when the platform reported no error.
bool CloseNative(NativeHandle handle);

// Every File closes through this. Tests put in its place a close that releases the handle and then
// reports a failure, as a network file system or a full quota can at close; returns the one it
// replaces. Not for use during a run.
using NativeCloser = bool (*)(NativeHandle handle);
NativeCloser SetNativeCloser(NativeCloser closer);

#ifndef _WIN32
// Called between every two steps of a destination's lookup, where another program could change what
// the next step finds. Tests put in a hook that swaps files meanwhile; returns the one it replaces.
using LookupStepHook = void (*)();
LookupStepHook SetLookupStepHook(LookupStepHook hook);
#endif
} // namespace detail

// Opens an existing regular file for reading, keeping other writers out where the platform can,
// and tells the platform the reads will be sequential. Closed File on failure, saying why.
File OpenForSequentialRead(const std::string& path);

// Opens an existing regular file for reading and for writing single bytes where they lie, nothing
// created or truncated: the in-place fix. Closed File on failure, saying why.
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
// run that fails, is cancelled or is killed, and the new file's data is on the device before it takes
// the name. A destination that exists and is not a regular file (a FIFO, a device) is written
// directly, as there is nothing there to keep. Not movable: the file beside the destination is tied
// to this object's lifetime.
//
// The destination is looked up once, one name at a time through the handle of the folder it lies in,
// symbolic links followed only where the kernel's own protection would follow them (a link to a
// regular file has its target replaced, the link staying); from then on the output works in that
// folder by its handle, and the final step replaces only the very file that was looked at, or takes a
// name that was free: a file that another program puts there meanwhile, or swaps in, is never replaced.
class OutputFile {
public:
    // Refuses, before anything is written, a destination that is the same file as `source` under any
    // name, a folder, a place that cannot be written, and with ExistingFile::Keep anything already
    // there. IsOpen() says whether it went through, Failure() why not.
    OutputFile(const std::string& path, const File& source, ExistingFile existing = ExistingFile::Replace);
    // An output never committed is discarded: no partial file is left, the destination is as it was.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return m_file.IsOpen(); }
    // The file the output's bytes go to, by the run's writes or any other means.
    File& Content() { return m_file; }
    // Puts the written file's data on the device, closes it and gives it the destination's name,
    // replacing what was there, then puts the name on the device too. False when any step failed; the
    // destination then keeps what it had and the written file is gone.
    bool Commit();
    // Why the output could not be opened or committed.
    const FailureReason& Failure() const { return m_failure; }
#ifndef _WIN32
    // Commit's steps one by one, for outputs committed together (DurableGroup): SyncData for each (on
    // threads of their own if need be, one output to a thread), then Publish for each, then SyncFolder
    // for each once every name in its folder is placed. Each returns false, saying why, when it or a
    // step before it failed; the destination then keeps what it had, as after a failed Commit.
    bool SyncData();
    bool Publish();
    // The folder the name goes into, to tell outputs that share one.
    std::pair<unsigned long long, unsigned long long> FolderIdentity() const;
    // Puts the folder's entries on the device and lets the folder go. `syncedBy`, an output whose
    // SyncFolder synced the same folder after this one was published, stands for this one's sync.
    bool SyncFolder(const OutputFile* syncedBy = nullptr);
#endif

private:
    struct Identity {
        unsigned long long device = 0;
        unsigned long long file = 0;
        bool operator==(const Identity&) const = default;
    };

    bool Fail(int systemError, bool inFolder = false);
    bool Fail(Refusal refusal);
    bool Place();
    void Discard();

    File m_file;
    File m_folder;            // the destination's folder (POSIX); closed when written in place
    File m_old;               // the file to replace (POSIX), held so that no other file can take its
                              // identity meanwhile
    std::string m_target;     // the name the output takes on commit (a leaf in m_folder on POSIX, a whole
                              // path on Windows); empty when written in place
    std::string m_hidden;     // the temporary name it has until then; empty while it has none (O_TMPFILE)
    bool m_replaces = false;  // a regular file had the name when the output was opened
    Identity m_replaced;      // that file, the only one the commit may replace
    bool m_published = false; // the name is placed; only the folder's sync is left
    int m_folderSynced = -1;  // what that sync returned: 0 or the system's code
    FailureReason m_failure;
};

} // namespace veltrane::io

// Folders put in place whole: a disc's output is built under a hidden name beside its destination.
namespace veltrane::io {

// Puts the folder's own entries (the names in it, not the files' data) on the device. A file system
// that keeps its entries its own way, and cannot be asked, counts as done.
bool SyncFolder(const std::string& path, FailureReason& failure);
// Gives the folder `from` the free name `to` in the same parent; a folder or file that took `to`
// meanwhile is never replaced.
bool MoveFolder(const std::string& from, const std::string& to, FailureReason& failure);
// Swaps the two folders' names, so that `target` holds what `fresh` held and `fresh` names the folder
// that was at `target`, for the caller to remove. Both live in one parent.
bool ExchangeFolders(const std::string& fresh, const std::string& target, FailureReason& failure);

} // namespace veltrane::io
