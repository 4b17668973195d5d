// The engine's file layer on POSIX systems.
#include "file_io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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
    while (size > 0) {
        const ssize_t n = ::write(m_handle, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
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
