// The engine's file layer on POSIX systems.
#include "file_io.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace veltrane::io {

namespace {

// O_NONBLOCK is only there so that opening a FIFO never waits for the other end; reads and writes
// must block as on any file.
bool ClearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags != -1 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, mode);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

// File servers that copy a range on their side when asked with copy_file_range, without the bytes
// crossing the network; on local file systems that cannot clone, copy_file_range would only copy in
// the kernel what the run already holds in its buffer.
bool IsNetworkFileSystem(int fd) {
    constexpr long NFS_MAGIC = 0x6969;
    constexpr long SMB2_MAGIC = 0xFE534D42;
    constexpr long CIFS_MAGIC = 0xFF534D42;
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return false;
    const long type = static_cast<long>(fs.f_type);
    return type == NFS_MAGIC || type == SMB2_MAGIC || type == CIFS_MAGIC;
}

std::int64_t CopyOnServer(int from, int to, std::int64_t offset, std::int64_t length) {
    std::int64_t done = 0;
    while (done < length) {
        loff_t in = offset + done;
        loff_t out = in;
        const ssize_t n = ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(length - done), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

// Calls write(part, count, done) until all `size` bytes are written, continuing short writes and
// interrupted ones; false on any error.
template <typename Write> bool WriteEvery(const std::uint8_t* data, std::size_t size, Write write) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(data + done, size - done, done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

namespace detail {

// On Linux the descriptor is gone even when close fails; a failure here (NFS, a full quota) means
// written data may be lost, so it is reported, never retried.
bool CloseNative(NativeHandle handle) {
    return ::close(handle) == 0;
}

} // namespace detail

std::optional<std::int64_t> File::Size() const {
    struct stat st {};
    if (::fstat(m_handle, &st) != 0)
        return std::nullopt;
    return static_cast<std::int64_t>(st.st_size);
}

std::int64_t File::ReadSome(std::uint8_t* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(m_handle, data, size);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return -1;
    }
}

bool File::WriteAll(const std::uint8_t* data, std::size_t size) {
    return WriteEvery(data, size, [this](const std::uint8_t* part, std::size_t count, std::size_t) {
        return ::write(m_handle, part, count);
    });
}

bool File::WriteAllAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    return WriteEvery(data, size,
                      [this, offset](const std::uint8_t* part, std::size_t count, std::size_t done) {
                          return ::pwrite(m_handle, part, count,
                                          static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
                      });
}

bool File::MayShareBlocksWith(const File& source) const {
    struct stat self {};
    struct stat other {};
    return ::fstat(m_handle, &self) == 0 && ::fstat(source.m_handle, &other) == 0 && S_ISREG(self.st_mode) &&
           S_ISREG(other.st_mode);
}

std::int64_t File::ShareBlocksFrom(const File& source, std::int64_t offset, std::int64_t length) {
    if (length <= 0)
        return 0;
    file_clone_range range{};
    range.src_fd = source.m_handle;
    range.src_offset = static_cast<std::uint64_t>(offset);
    range.src_length = static_cast<std::uint64_t>(length);
    range.dest_offset = static_cast<std::uint64_t>(offset);
    int result;
    do {
        result = ::ioctl(m_handle, FICLONERANGE, &range);
    } while (result == -1 && errno == EINTR);
    if (result == 0)
        return length;
    // A clone is all or nothing; where there is none, a file server may still copy on its side.
    if (IsNetworkFileSystem(m_handle))
        return CopyOnServer(source.m_handle, m_handle, offset, length);
    return 0;
}

File OpenForSequentialRead(const std::string& path) {
    File file;
    const int fd = OpenRetrying(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1)
        return file;
    file.m_handle = fd;
    file.m_open = true;

    // Only a regular file has a size worth trusting: a FIFO or a device would stream forever or
    // report 0, and a folder cannot be read at all.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ClearNonBlocking(fd))
        return File{};
    // Only a hint: the copy works the same if the kernel ignores it.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return file;
}

File CreateForSequentialWrite(const std::string& path, const File& source) {
    File file;
    // No O_TRUNC yet: the destination may turn out to be the source under another name, and Linux
    // has no sharing mode that would refuse it for us.
    const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd == -1)
        return file;
    file.m_handle = fd;
    file.m_open = true;

    struct stat dest {};
    struct stat src {};
    if (::fstat(fd, &dest) != 0 || ::fstat(source.m_handle, &src) != 0)
        return File{};
    if (dest.st_dev == src.st_dev && dest.st_ino == src.st_ino)
        return File{};
    if (S_ISREG(dest.st_mode) && ::ftruncate(fd, 0) != 0)
        return File{};
    if (!ClearNonBlocking(fd))
        return File{};
    return file;
}

} // namespace veltrane::io
