// The engine's file layer on POSIX systems.
#include "io/file_io.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <random>
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

// Calls step(done), which moves bytes from `done` on and says how many, until all `size` bytes are
// moved, continuing short and interrupted transfers; false on any error or an end before them.
template <typename Step> bool MoveEvery(std::size_t size, Step step) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Where a chain of symbolic links ends, whether or not a file is there yet: the output replaces the
// file a link points to and leaves the link alone.
std::string FollowLinks(std::string path) {
    for (int depth = 0; depth < 40; ++depth) { // the kernel's own limit
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) == sizeof target)
            return path;
        const std::string next(target, static_cast<std::size_t>(n));
        path = next.front() == '/' ? next : FolderOf(path) + "/" + next;
    }
    return path;
}

// Gives `place` (which returns 0 or an errno) fresh hidden names in `folder` until one is free. The
// name says what left it, should a killed run leave it behind.
template <typename Place>
bool PlaceUnderHiddenName(const std::string& folder, std::string& name, Place place) {
    // Unpredictable enough to rarely collide, and unlike std::random_device it cannot throw.
    std::minstd_rand random(static_cast<std::minstd_rand::result_type>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        char leaf[40];
        std::snprintf(leaf, sizeof leaf, "/.veltrane-%08x.part", static_cast<unsigned>(random()));
        name = folder + leaf;
        const int error = place(name);
        if (error == 0)
            return true;
        if (error != EEXIST)
            break;
    }
    name.clear();
    return false;
}

int ErrorOf(int result) {
    return result == 0 ? 0 : errno;
}

// An unnamed file needs /proc to be linked into its folder later without special privileges.
bool CanLinkUnnamed() {
    return ::access("/proc/self/fd", X_OK) == 0;
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

bool File::ReadAllAt(std::uint8_t* data, std::size_t size, std::int64_t offset) const {
    return MoveEvery(size, [&](std::size_t done) {
        return ::pread(m_handle, data + done, size - done,
                       static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    });
}

bool File::WriteAll(const std::uint8_t* data, std::size_t size) {
    return MoveEvery(size, [&](std::size_t done) { return ::write(m_handle, data + done, size - done); });
}

bool File::WriteAllAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    return MoveEvery(size, [&](std::size_t done) {
        return ::pwrite(m_handle, data + done, size - done,
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

bool File::IsRegularFile() const {
    struct stat st {};
    return ::fstat(m_handle, &st) == 0 && S_ISREG(st.st_mode);
}

bool File::IsSameFileAs(const File& other) const {
    struct stat self {};
    struct stat that {};
    return ::fstat(m_handle, &self) == 0 && ::fstat(other.m_handle, &that) == 0 && S_ISREG(self.st_mode) &&
           S_ISREG(that.st_mode) && self.st_dev == that.st_dev && self.st_ino == that.st_ino;
}

bool File::WaitUntilReadable() const {
    // poll() is never restarted after a signal handler, whatever SA_RESTART says; read() would be. The
    // time limit catches a signal that came just before the wait began.
    pollfd ready{m_handle, POLLIN, 0};
    const int result = ::poll(&ready, 1, 200);
    return result > 0 || (result < 0 && errno != EINTR);
}

File OpenForStreamRead(const std::string& path) {
    File file;
    // Not waiting here for a FIFO's writer: WaitUntilReadable does, where Ctrl+C can end the wait. Until
    // a writer has come, Linux reports a FIFO neither readable nor hung up.
    const int fd = OpenRetrying(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1)
        return file;
    file.m_handle = fd;
    file.m_open = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || !ClearNonBlocking(fd))
        return File{};
    return file;
}

// A copy of the descriptor: the file status flags stay shared with whoever else holds the stream, so
// they are left as they are.
File OpenStandardInput() {
    File file;
    file.m_handle = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    file.m_open = file.m_handle != -1;
    return file;
}

File OpenStandardOutput() {
    File file;
    file.m_handle = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    file.m_open = file.m_handle != -1;
    return file;
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

File OpenForUpdate(const std::string& path) {
    File file;
    const int fd = OpenRetrying(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1)
        return file;
    file.m_handle = fd;
    file.m_open = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ClearNonBlocking(fd))
        return File{};
    return file;
}

OutputFile::OutputFile(const std::string& path, const File& source) {
    // A name that ends in a slash can only be meant as a folder.
    if (path.empty() || path.back() == '/')
        return;
    struct stat src {};
    if (::fstat(source.m_handle, &src) != 0)
        return;

    // Whatever has the name is opened as it is, creating and truncating nothing: that tells whether it
    // is the source under another name (Linux has no sharing mode to refuse it for us), whether it may
    // be written at all, and whether it is a regular file worth keeping until the output is complete.
    File existing;
    existing.m_handle = OpenRetrying(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    existing.m_open = existing.m_handle != -1;
    if (!existing.IsOpen() && errno != ENOENT)
        return; // a folder, no permission, a FIFO nobody reads
    struct stat dest {};
    if (existing.IsOpen()) {
        if (::fstat(existing.m_handle, &dest) != 0 ||
            (dest.st_dev == src.st_dev && dest.st_ino == src.st_ino))
            return;
        if (!S_ISREG(dest.st_mode)) {
            if (ClearNonBlocking(existing.m_handle))
                m_file = std::move(existing);
            return;
        }
        existing.Close();
    }

    // The new file goes in the same folder, so that the final rename never crosses file systems.
    m_target = FollowLinks(path);
    const std::string folder = FolderOf(m_target);
    int fd = -1;
    if (CanLinkUnnamed())
        fd = OpenRetrying(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    // Some file systems (network ones, FAT) know no unnamed files.
    if (fd == -1 && !PlaceUnderHiddenName(folder, m_hidden, [&fd](const std::string& name) {
            fd = OpenRetrying(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
            return fd == -1 ? errno : 0;
        })) {
        m_target.clear();
        return;
    }
    m_file.m_handle = fd;
    m_file.m_open = true;
    // A replaced file keeps its permissions; a new one gets 0666 less the umask from the create.
    if (S_ISREG(dest.st_mode) && ::fchmod(fd, dest.st_mode & 07777) != 0)
        Discard();
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Discard() {
    m_file.Close();
    if (!m_hidden.empty())
        ::unlink(m_hidden.c_str());
    m_hidden.clear();
    m_target.clear();
}

bool OutputFile::Commit() {
    if (!m_file.IsOpen())
        return false;
    if (m_target.empty())
        return m_file.Close();

    // link() cannot replace a file, rename() can: an unnamed file first gets a hidden name of its own.
    const int fd = m_file.m_handle;
    if (m_hidden.empty() &&
        !PlaceUnderHiddenName(FolderOf(m_target), m_hidden, [fd](const std::string& name) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            const int error =
                ErrorOf(::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW));
            if (error == 0 || error == EEXIST)
                return error;
            return ErrorOf(::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH));
        })) {
        Discard();
        return false;
    }
    // Only a successful close proves the data reached the file: a full quota can show up just here.
    if (!m_file.Close() || ::rename(m_hidden.c_str(), m_target.c_str()) != 0) {
        Discard();
        return false;
    }
    m_hidden.clear();
    m_target.clear();
    return true;
}

} // namespace veltrane::io
