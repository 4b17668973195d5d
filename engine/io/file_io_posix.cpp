// The engine's file layer on POSIX systems.
#include "io/file_io.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

// The folder part of a path and the name in it.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Gives `place` (which returns 0 or an errno) fresh hidden names until one is free, and returns the
// errno of the last try. The name says what left it, should a killed run leave it behind.
template <typename Place> int PlaceUnderHiddenName(std::string& name, Place place) {
    // Unpredictable enough to rarely collide, and unlike std::random_device it cannot throw.
    std::minstd_rand random(static_cast<std::minstd_rand::result_type>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid()));
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        char leaf[40];
        std::snprintf(leaf, sizeof leaf, ".veltrane-%08x.part", static_cast<unsigned>(random()));
        name = leaf;
        error = place(name);
    }
    if (error != 0)
        name.clear();
    return error;
}

int ErrorOf(int result) {
    return result == 0 ? 0 : errno;
}

// Renames within one folder; 0 or the errno.
int Rename(int folder, const std::string& from, const std::string& to, unsigned flags) {
    int result;
    do {
        result = ::renameat2(folder, from.c_str(), folder, to.c_str(), flags);
    } while (result == -1 && errno == EINTR);
    return ErrorOf(result);
}

int Sync(int fd, bool dataOnly) {
    int result;
    do {
        result = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
    } while (result == -1 && errno == EINTR);
    return ErrorOf(result);
}

// An unnamed file needs /proc to be linked into its folder later without special privileges.
bool CanLinkUnnamed() {
    return ::access("/proc/self/fd", X_OK) == 0;
}

// An owned descriptor of the lookup's own, closed when the owner goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd != -1)
            ::close(m_fd);
    }
    Descriptor(Descriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }

private:
    int m_fd = -1;
};

detail::LookupStepHook g_lookupStep = nullptr;

void StepTaken() {
    if (g_lookupStep != nullptr)
        g_lookupStep();
}

// As many links as the kernel follows in one lookup before it gives up with ELOOP.
constexpr int MAX_LINKS_FOLLOWED = 40;

// What the destination's name turned out to be: a name in a folder held by its handle, and what an
// lstat of it saw (when it exists). Or why the lookup stopped.
struct Destination {
    Descriptor folder;
    std::string leaf;
    struct stat named {};
    bool exists = false;
    int error = 0;
    bool inFolder = false;
    Refusal refusal = Refusal::None;
};

Destination Stopped(int error, bool inFolder = false) {
    Destination stopped;
    stopped.error = error != 0 ? error : EIO;
    stopped.inFolder = inFolder;
    return stopped;
}

Destination Refused(Refusal refusal) {
    Destination refused;
    refused.refusal = refusal;
    return refused;
}

// fs.protected_symlinks: in a sticky, world-writable folder a link is followed only when its owner is
// the one following it or the folder's owner, so that nobody can lay a link there for another user's
// program to write through.
bool KernelWouldFollow(int folder, const struct stat& link) {
    struct stat st {};
    if (::fstat(folder, &st) != 0)
        return false;
    const bool shared = (st.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    return !shared || link.st_uid == st.st_uid || link.st_uid == ::geteuid();
}

// The text of the link `name` in `folder` that an lstat saw as `named`; empty with `error` set when it
// cannot be read or is no longer that link. Read through a handle on the link itself, so that the
// text and the owner checked belong to one link.
std::string ReadLink(int folder, const std::string& name, const struct stat& named, int& error) {
    Descriptor link(::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (link.Get() == -1 || ::fstat(link.Get(), &st) != 0) {
        error = errno;
        return {};
    }
    if (st.st_dev != named.st_dev || st.st_ino != named.st_ino || !S_ISLNK(st.st_mode)) {
        error = ESTALE;
        return {};
    }
    std::string text(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(link.Get(), "", text.data(), text.size());
    if (n <= 0 || static_cast<std::size_t>(n) == text.size()) {
        error = n < 0 ? errno : ENAMETOOLONG;
        return {};
    }
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// Pushes the names of `path` on `pending` so that the first comes off first.
void PushNames(const std::string& path, std::vector<std::string>& pending) {
    std::size_t end = path.size();
    for (;;) {
        const std::size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
        const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
        pending.push_back(path.substr(begin, end - begin));
        if (slash == std::string::npos)
            return;
        end = slash;
        if (end == 0)
            return; // the leading slash: the walk restarts at the root instead
    }
}

// Looks `leaf` up in `folder`, following links as the kernel would, and opening each folder on the
// way by its handle, checked to be the very folder an lstat saw: whatever is swapped in between two
// steps is either seen by the next one or refused.
Destination LookUp(Descriptor folder, const std::string& leaf) {
    std::vector<std::string> pending{leaf};
    int links = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        const bool last = pending.empty();
        if (name.empty() || name == "." || name == "..") {
            if (last)
                return Stopped(EISDIR);
            if (name == "..") {
                StepTaken();
                folder = Descriptor(::openat(folder.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (folder.Get() == -1)
                    return Stopped(errno, true);
            }
            continue;
        }
        StepTaken();
        struct stat named {};
        if (::fstatat(folder.Get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
            // A link to nothing: following it would create a file wherever it points.
            if (errno == ENOENT && links > 0)
                return Refused(Refusal::DanglingLink);
            if (errno != ENOENT || !last)
                return Stopped(errno, !last);
            Destination free;
            free.folder = std::move(folder);
            free.leaf = name;
            return free;
        }
        if (S_ISLNK(named.st_mode)) {
            if (++links > MAX_LINKS_FOLLOWED)
                return Stopped(ELOOP);
            if (!KernelWouldFollow(folder.Get(), named))
                return Refused(Refusal::LinkInSharedFolder);
            StepTaken();
            int error = 0;
            const std::string target = ReadLink(folder.Get(), name, named, error);
            if (target.empty())
                return error == ESTALE ? Refused(Refusal::DestinationChanged)
                                       : Stopped(error ? error : ENOENT);
            PushNames(target, pending);
            if (target.front() == '/') {
                StepTaken();
                folder = Descriptor(OpenRetrying("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (folder.Get() == -1)
                    return Stopped(errno, true);
            }
            continue;
        }
        if (last) {
            Destination found;
            found.folder = std::move(folder);
            found.leaf = name;
            found.named = named;
            found.exists = true;
            return found;
        }
        if (!S_ISDIR(named.st_mode))
            return Stopped(ENOTDIR, true);
        StepTaken();
        Descriptor next(::openat(folder.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened {};
        if (next.Get() == -1 || ::fstat(next.Get(), &opened) != 0) {
            if (errno == ENOTDIR || errno == ENOENT || errno == ELOOP)
                return Refused(Refusal::DestinationChanged);
            return Stopped(errno, true);
        }
        if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
            return Refused(Refusal::DestinationChanged);
        folder = std::move(next);
    }
    return Stopped(ENOENT);
}

} // namespace

namespace detail {

LookupStepHook SetLookupStepHook(LookupStepHook hook) {
    return std::exchange(g_lookupStep, hook);
}

// On Linux the descriptor is gone even when close fails; a failure here (NFS, a full quota) means
// written data may be lost, so it is reported, never retried.
bool CloseNative(NativeHandle handle) {
    return ::close(handle) == 0;
}

} // namespace detail

std::string SystemErrorText(int code) {
    return std::strerror(code);
}

bool File::Failed() const {
    m_failure = FailureReason{errno != 0 ? errno : EIO, Refusal::None, false};
    return false;
}

std::optional<std::int64_t> File::Size() const {
    struct stat st {};
    if (::fstat(m_handle, &st) != 0) {
        Failed();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(st.st_size);
}

bool File::Reaches(std::int64_t offset) const {
    const std::optional<std::int64_t> size = Size();
    return size && (*size > offset || Failed(Refusal::CutShort));
}

std::int64_t File::ReadSome(std::uint8_t* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(m_handle, data, size);
        if (n >= 0)
            return n;
        if (errno != EINTR) {
            Failed();
            return -1;
        }
    }
}

bool File::Rewind() {
    if (::lseek(m_handle, 0, SEEK_SET) == 0)
        return true;
    Failed();
    return false;
}

bool File::ReadAllAt(std::uint8_t* data, std::size_t size, std::int64_t offset) const {
    return MoveEvery(size,
                     [&](std::size_t done) {
                         return ::pread(m_handle, data + done, size - done,
                                        static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
                     }) ||
           Failed();
}

bool File::WriteAll(const std::uint8_t* data, std::size_t size) {
    return MoveEvery(size, [&](std::size_t done) { return ::write(m_handle, data + done, size - done); }) ||
           Failed();
}

bool File::WriteAllAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    return MoveEvery(size,
                     [&](std::size_t done) {
                         return ::pwrite(m_handle, data + done, size - done,
                                         static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
                     }) ||
           Failed();
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

void File::KeepRewritesTight() {
    struct statfs fs {};
    fsxattr attributes{};
    if (::fstatfs(m_handle, &fs) != 0 || ::ioctl(m_handle, FS_IOC_FSGETXATTR, &attributes) != 0)
        return;
    attributes.fsx_xflags |= FS_XFLAG_COWEXTSIZE;
    attributes.fsx_cowextsize = static_cast<std::uint32_t>(fs.f_bsize);
    ::ioctl(m_handle, FS_IOC_FSSETXATTR, &attributes);
}

bool File::Truncate(std::int64_t size) {
    int result;
    do {
        result = ::ftruncate(m_handle, static_cast<off_t>(size));
    } while (result == -1 && errno == EINTR);
    return result == 0 || Failed();
}

bool File::CanWriteBack() const {
    return IsRegularFile();
}

bool File::WriteBack(std::int64_t offset, std::int64_t length, int& error) const {
    constexpr unsigned int WAIT_FOR_ALL =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    int result;
    do {
        result =
            ::sync_file_range(m_handle, static_cast<off_t>(offset), static_cast<off_t>(length), WAIT_FOR_ALL);
    } while (result == -1 && errno == EINTR);
    error = result == 0 ? 0 : errno;
    return result == 0;
}

void File::StartWriteBack(std::int64_t offset, std::int64_t length) const {
    if (length > 0)
        ::sync_file_range(m_handle, static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
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
    if (fd == -1) {
        file.Failed();
        return file;
    }
    file.m_handle = fd;
    file.m_open = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || !ClearNonBlocking(fd))
        return File{};
    return file;
}

// A copy of the descriptor: the file status flags stay shared with whoever else holds the stream, so
// they are left as they are.
File File::Duplicate(int standard) {
    File file;
    file.m_handle = ::fcntl(standard, F_DUPFD_CLOEXEC, 3);
    file.m_open = file.m_handle != -1;
    if (!file.m_open)
        file.Failed();
    return file;
}

File OpenStandardInput() {
    return File::Duplicate(STDIN_FILENO);
}

File OpenStandardOutput() {
    return File::Duplicate(STDOUT_FILENO);
}

File File::OpenExisting(const std::string& path, bool update) {
    File file;
    const int access = update ? O_RDWR : O_RDONLY;
    const int fd = OpenRetrying(path, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1) {
        file.Failed();
        return file;
    }
    file.m_handle = fd;
    file.m_open = true;
    // Only a regular file has a size worth trusting: a FIFO or a device would stream forever or
    // report 0, and a folder cannot be read at all.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !ClearNonBlocking(fd)) {
        file.Failed();
        file.Close();
    } else if (!S_ISREG(st.st_mode)) {
        file.Close();
        file.m_failure = S_ISDIR(st.st_mode) ? FailureReason{EISDIR, Refusal::None, false}
                                             : FailureReason{0, Refusal::NotARegularFile, false};
    }
    return file;
}

File OpenForSequentialRead(const std::string& path) {
    File file = File::OpenExisting(path, false);
    // Only a hint: the copy works the same if the kernel ignores it.
    if (file.IsOpen())
        ::posix_fadvise(file.m_handle, 0, 0, POSIX_FADV_SEQUENTIAL);
    return file;
}

File OpenForUpdate(const std::string& path) {
    return File::OpenExisting(path, true);
}

bool OutputFile::Fail(int systemError, bool inFolder) {
    m_failure = FailureReason{systemError != 0 ? systemError : EIO, Refusal::None, inFolder};
    return false;
}

bool OutputFile::Fail(Refusal refusal) {
    m_failure = FailureReason{0, refusal, false};
    return false;
}

OutputFile::OutputFile(const std::string& path, const File& source, ExistingFile existing) {
    // A name that ends in a slash can only be meant as a folder.
    if (path.empty() || path.back() == '/') {
        Fail(path.empty() ? ENOENT : EISDIR);
        return;
    }
    struct stat src {};
    if (::fstat(source.m_handle, &src) != 0) {
        Fail(errno);
        return;
    }

    // The folder the caller named is opened by the kernel, with its own protections on the way there;
    // the name in it, and wherever a link there leads, are looked up by hand, one step at a time, so
    // that what is checked is what is written.
    const auto [folderName, leaf] = SplitPath(path);
    Descriptor start(OpenRetrying(folderName, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (start.Get() == -1) {
        Fail(errno, true);
        return;
    }
    Destination found = LookUp(std::move(start), leaf);
    if (found.refusal != Refusal::None) {
        Fail(found.refusal);
        return;
    }
    if (found.error != 0) {
        Fail(found.error, found.inFolder);
        return;
    }
    const struct stat& named = found.named;
    if (found.exists) {
        if (S_ISDIR(named.st_mode)) {
            Fail(EISDIR);
            return;
        }
        // Opened as it is, creating and truncating nothing: that tells whether it may be written at all.
        // A link put there since the lookup is not followed, and another file is told by its identity.
        StepTaken();
        File& there = m_old;
        there.m_handle = ::openat(found.folder.Get(), found.leaf.c_str(),
                                  O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        there.m_open = there.m_handle != -1;
        struct stat dest {};
        if (!there.IsOpen()) {
            if (errno == ELOOP || errno == ENOENT)
                Fail(Refusal::DestinationChanged);
            else
                Fail(errno); // no permission, a FIFO nobody reads
            return;
        }
        if (::fstat(there.m_handle, &dest) != 0) {
            Fail(errno);
            return;
        }
        if (dest.st_dev != named.st_dev || dest.st_ino != named.st_ino) {
            Fail(Refusal::DestinationChanged);
            return;
        }
        // Linux has no sharing mode to refuse the source under another name for us.
        if (dest.st_dev == src.st_dev && dest.st_ino == src.st_ino) {
            Fail(Refusal::DestinationIsSource);
            return;
        }
        if (existing == ExistingFile::Keep) {
            Fail(Refusal::DestinationExists);
            return;
        }
        if (!S_ISREG(dest.st_mode)) {
            // A FIFO or a device has nothing to keep: it is written directly.
            if (ClearNonBlocking(there.m_handle))
                m_file = std::move(there);
            else
                Fail(errno);
            there = File{};
            return;
        }
        m_replaces = true;
        m_replaced = {static_cast<unsigned long long>(dest.st_dev),
                      static_cast<unsigned long long>(dest.st_ino)};
    }

    // The new file goes in the folder the lookup ended in, so that the final rename never crosses file
    // systems, and everything from here on happens in that folder by its handle. A folder that may be
    // written but not listed keeps the handle that only finds names in it.
    int folder = ::openat(found.folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder == -1)
        folder = found.folder.Release();
    m_folder.m_handle = folder;
    m_folder.m_open = true;

    int fd = -1;
    int error = EOPNOTSUPP;
    if (CanLinkUnnamed()) {
        fd = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        error = fd == -1 ? errno : 0;
    }
    // Some file systems (network ones, FAT) know no unnamed files.
    if (fd == -1)
        error = PlaceUnderHiddenName(m_hidden, [&](const std::string& name) {
            fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
            return fd == -1 ? errno : 0;
        });
    if (fd == -1) {
        Fail(error, true);
        return;
    }
    m_target = found.leaf;
    m_file.m_handle = fd;
    m_file.m_open = true;
    // A replaced file keeps its permissions; a new one gets 0666 less the umask from the create.
    if (m_replaces && ::fchmod(fd, named.st_mode & 07777) != 0) {
        Fail(errno);
        Discard();
    }
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Discard() {
    m_file.Close();
    if (!m_hidden.empty())
        ::unlinkat(m_folder.m_handle, m_hidden.c_str(), 0);
    m_hidden.clear();
    m_target.clear();
    m_folder.Close();
    m_old.Close();
}

// Gives the complete file, under its hidden name, the destination's name: in exchange for the file that
// was looked at, or where the name is free. Anything else found there is left alone.
bool OutputFile::Place() {
    const int folder = m_folder.m_handle;
    Identity there;
    const auto lookAt = [&](const std::string& name) {
        struct stat st {};
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        there = {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)};
        return true;
    };
    if (m_replaces) {
        const int exchanged = Rename(folder, m_hidden, m_target, RENAME_EXCHANGE);
        if (exchanged == 0) {
            if (lookAt(m_hidden) && there == m_replaced) {
                ::unlinkat(folder, m_hidden.c_str(), 0);
                m_hidden.clear();
                return true;
            }
            // Swapped in meanwhile: it gets its name back, untouched. Should that fail, neither file
            // is removed.
            if (Rename(folder, m_hidden, m_target, RENAME_EXCHANGE) != 0)
                m_hidden.clear();
            return Fail(Refusal::DestinationChanged);
        }
        if (exchanged != ENOENT) {
            // File systems without the exchange: the name is checked just before it is replaced.
            if (exchanged != EINVAL && exchanged != EOPNOTSUPP)
                return Fail(exchanged);
            if (!lookAt(m_target) || there != m_replaced)
                return Fail(Refusal::DestinationChanged);
            if (const int renamed = Rename(folder, m_hidden, m_target, 0))
                return Fail(renamed);
            m_hidden.clear();
            return true;
        }
        // Removed meanwhile: the name is free to take, as for a new file.
    }
    int placed = Rename(folder, m_hidden, m_target, RENAME_NOREPLACE);
    if (placed == EINVAL || placed == EOPNOTSUPP) {
        // Without RENAME_NOREPLACE a hard link still refuses a name that is taken.
        placed = ErrorOf(::linkat(folder, m_hidden.c_str(), folder, m_target.c_str(), 0));
        if (placed == 0)
            ::unlinkat(folder, m_hidden.c_str(), 0);
    }
    if (placed == EEXIST)
        return Fail(Refusal::DestinationChanged);
    if (placed != 0)
        return Fail(placed);
    m_hidden.clear();
    return true;
}

bool OutputFile::Commit() {
    return SyncData() && Publish() && SyncFolder();
}

bool OutputFile::SyncData() {
    if (!m_file.IsOpen())
        return false;
    // A power loss after the rename must find the new data under the name, not blocks never written.
    // Written in place, there is nothing to keep apart from the data.
    if (m_target.empty())
        return true;
    if (const int error = Sync(m_file.m_handle, true)) {
        Discard();
        return Fail(error);
    }
    return true;
}

bool OutputFile::Publish() {
    if (!m_file.IsOpen())
        return false;
    if (m_target.empty())
        return m_file.Close() || Fail(m_file.Failure().systemError);

    // rename() can replace a file, link() cannot: an unnamed file first gets a hidden name of its own.
    const int fd = m_file.m_handle;
    if (m_hidden.empty()) {
        const int folder = m_folder.m_handle;
        const int error = PlaceUnderHiddenName(m_hidden, [&](const std::string& name) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            const int linked =
                ErrorOf(::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW));
            if (linked == 0 || linked == EEXIST)
                return linked;
            return ErrorOf(::linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH));
        });
        if (error != 0) {
            Discard();
            return Fail(error, true);
        }
    }
    // Only a successful close proves the data reached the file: a full quota can show up just here.
    if (!m_file.Close()) {
        Fail(m_file.Failure().systemError);
        Discard();
        return false;
    }
    if (!Place()) {
        Discard();
        return false;
    }
    m_published = true;
    return true;
}

std::pair<unsigned long long, unsigned long long> OutputFile::FolderIdentity() const {
    struct stat st {};
    if (!m_folder.IsOpen() || ::fstat(m_folder.m_handle, &st) != 0)
        return {0, 0};
    return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)};
}

bool OutputFile::SyncFolder(const OutputFile* syncedBy) {
    // Written in place, or never published: no name to make last.
    if (!m_published)
        return true;
    // The rename itself lasts only once the folder is on the device. A folder opened only as a path
    // cannot be synced; a file system that cannot sync folders (EINVAL) keeps its entries its own way.
    const int synced = syncedBy != nullptr ? syncedBy->m_folderSynced : Sync(m_folder.m_handle, false);
    m_folderSynced = synced;
    m_published = false;
    m_target.clear();
    m_folder.Close();
    m_old.Close();
    return synced == 0 || synced == EBADF || synced == EINVAL || Fail(synced, true);
}

} // namespace veltrane::io

// Folders put in place whole.
namespace veltrane::io {

namespace {

bool FolderFailed(FailureReason& failure, int error) {
    failure = FailureReason{};
    failure.systemError = error;
    failure.inFolder = true;
    return false;
}

} // namespace

bool SyncFolder(const std::string& path, FailureReason& failure) {
    const int fd = OpenRetrying(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1)
        return FolderFailed(failure, errno);
    const int synced = Sync(fd, false);
    ::close(fd);
    // EINVAL: a file system that cannot sync a folder keeps its entries its own way.
    return synced == 0 || synced == EINVAL || FolderFailed(failure, synced);
}

bool MoveFolder(const std::string& from, const std::string& to, FailureReason& failure) {
    if (const int error = Rename(AT_FDCWD, from, to, RENAME_NOREPLACE)) {
        // A file system without RENAME_NOREPLACE: rename(2) replaces only an empty folder, and an empty
        // folder that appeared meanwhile holds nothing to lose.
        if (error != EINVAL && error != ENOSYS)
            return FolderFailed(failure, error);
        if (const int plain = Rename(AT_FDCWD, from, to, 0))
            return FolderFailed(failure, plain);
    }
    return true;
}

bool ExchangeFolders(const std::string& fresh, const std::string& target, FailureReason& failure) {
    const int error = Rename(AT_FDCWD, fresh, target, RENAME_EXCHANGE);
    if (error == 0)
        return true;
    if (error != EINVAL && error != ENOSYS)
        return FolderFailed(failure, error);
    // A file system without the exchange (some network and FUSE ones): the old folder is moved aside
    // under a name of its own, the new one takes its name, and the old one then takes the fresh one's,
    // as the exchange would leave them. A failure between the steps puts the old folder back.
    const std::string aside = fresh + ".old";
    if (const int away = Rename(AT_FDCWD, target, aside, 0))
        return FolderFailed(failure, away);
    if (const int in = Rename(AT_FDCWD, fresh, target, 0)) {
        Rename(AT_FDCWD, aside, target, 0);
        return FolderFailed(failure, in);
    }
    if (const int back = Rename(AT_FDCWD, aside, fresh, 0))
        return FolderFailed(failure, back);
    return true;
}

} // namespace veltrane::io
