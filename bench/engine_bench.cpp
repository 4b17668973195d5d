// Times RunConversion against a plain read/write copy of the same file and against cp, in rounds
// that alternate their order, and tells how much space each left on the output's file system.
// Usage: engine_bench <source> <output-folder> [rounds] [--read] [--durable]
//   --read adds a baseline that only reads the source (cat SRC > /dev/null): the floor for a copy
//   whose output shares the source's blocks.
//   --durable times every contender until its output is on the device (fdatasync), as a run that
//   must not lose the file has to be.
#include "conversion_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// User-mode CPU time of this process. The kernel's copying is the same for both contenders, so the
// difference in user time is the engine's own work, and unlike the wall clock it hardly moves when
// other work shares the machine.
double UserSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
}

// User and system time of this process and its finished children (cp): the copying the kernel does
// counts here, and time spent waiting for a core on a busy machine does not.
double CpuSeconds() {
    double seconds = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        ::getrusage(who, &usage);
        for (const timeval& t : {usage.ru_utime, usage.ru_stime})
            seconds += static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    }
    return seconds;
}

// Set by --durable: each contender's time includes an fdatasync of what it wrote.
bool g_durable = false;

// Waits until the file's data is on its device. The run's own commit may have done so already; then
// this costs next to nothing.
bool SyncData(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

class QuietSink : public veltrane::ProgressSink {
public:
    void Begin() override {}
    void Position(int) override {}
    void End() override {}
};

// The closed descriptor is the only cleanup a failed copy needs.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

// Reads the source through a buffer of the engine's size and, when `write`, writes each read out.
bool CopyThroughBuffer(const std::string& sourcePath, const std::string& destPath, bool write) {
    Descriptor source(::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC));
    Descriptor dest(::open(destPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (source.Get() < 0 || dest.Get() < 0)
        return false;
    const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[veltrane::CHUNK_SIZE]);
    for (;;) {
        const ssize_t got = ::read(source.Get(), buffer.get(), veltrane::CHUNK_SIZE);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        for (ssize_t done = 0; write && done < got;) {
            const ssize_t put =
                ::write(dest.Get(), buffer.get() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                return false;
            done += put;
        }
    }
    if (write && g_durable && ::fdatasync(dest.Get()) != 0)
        return false;
    return dest.Close();
}

// The baseline: what any copy through a buffer of the engine's size costs, with no look at the bytes.
bool PlainCopy(const std::string& sourcePath, const std::string& destPath) {
    return CopyThroughBuffer(sourcePath, destPath, true);
}

// The floor of a copy that shares the source's blocks: reading the source once (cat SRC > /dev/null).
// The output is left empty.
bool ReadOnce(const std::string& sourcePath, const std::string& destPath) {
    return CopyThroughBuffer(sourcePath, destPath, false);
}

// Headers the last run rewrote.
unsigned long long g_rewritten = 0;

bool Convert(const std::string& sourcePath, const std::string& destPath) {
    QuietSink sink;
    veltrane::RunReport report;
    const bool ok = veltrane::RunConversion(sourcePath, destPath, veltrane::ConversionMode::To16x9, sink,
                                            report) == veltrane::RunOutcome::Completed;
    g_rewritten = report.headersRewritten;
    return ok && (!g_durable || SyncData(destPath));
}

// cp as a user would run it: coreutils decides by itself whether to clone, copy in the kernel or read
// and write.
bool SystemCopy(const std::string& sourcePath, const std::string& destPath) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execlp("cp", "cp", sourcePath.c_str(), destPath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0 && (!g_durable || SyncData(destPath));
}

// Bytes in use on the file system that holds `folder`.
long long UsedBytes(const std::string& folder) {
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) != 0)
        return 0;
    return static_cast<long long>(fs.f_blocks - fs.f_bfree) * static_cast<long long>(fs.f_frsize);
}

// The same once the file system has finished freeing what earlier rounds deleted: XFS and btrfs
// release an unlinked file's blocks in the background, after sync has returned.
long long SettledUsedBytes(const std::string& folder) {
    long long used = UsedBytes(folder);
    for (int tries = 0; tries < 50; ++tries) {
        ::usleep(100 * 1000);
        ::sync();
        const long long now = UsedBytes(folder);
        if (now == used)
            break;
        used = now;
    }
    return used;
}

// Bytes of the file's own: the extents that no other file shares, read from the file system's map of
// it (FIEMAP) once its data is on the device. Unlike the free space it does not wait on the file
// system to free what earlier rounds deleted; it leaves out the file system's own bookkeeping (its
// extent and reference-count trees). -1 where there is no map.
long long OwnBytes(const std::string& path) {
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        return -1;
    constexpr unsigned int EXTENTS = 512;
    std::vector<std::uint8_t> room(sizeof(fiemap) + EXTENTS * sizeof(fiemap_extent));
    auto* map = reinterpret_cast<fiemap*>(room.data());
    long long own = 0;
    // Each call maps from where the one before ended, so a file of any number of extents takes as
    // many calls as it needs, and no more than its size allows.
    for (std::uint64_t from = 0;;) {
        std::fill(room.begin(), room.end(), 0);
        map->fm_start = from;
        map->fm_length = FIEMAP_MAX_OFFSET - from;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = EXTENTS;
        if (::ioctl(file.Get(), FS_IOC_FIEMAP, map) != 0)
            return -1;
        if (map->fm_mapped_extents == 0)
            return own;
        for (unsigned int i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent& extent = map->fm_extents[i];
            if ((extent.fe_flags & FIEMAP_EXTENT_SHARED) == 0)
                own += static_cast<long long>(extent.fe_length);
            if ((extent.fe_flags & FIEMAP_EXTENT_LAST) != 0)
                return own;
        }
        const fiemap_extent& last = map->fm_extents[map->fm_mapped_extents - 1];
        if (last.fe_logical + last.fe_length <= from)
            return own;
        from = last.fe_logical + last.fe_length;
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

long long FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

} // namespace

int main(int argc, char** argv) {
    bool withRead = false;
    int args = argc;
    for (; args > 1; --args) {
        const std::string flag = argv[args - 1];
        if (flag == "--read")
            withRead = true;
        else if (flag == "--durable")
            g_durable = true;
        else
            break;
    }
    if (args < 3 || args > 4) {
        std::fprintf(stderr, "usage: %s <source> <output-folder> [rounds] [--read] [--durable]\n", argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string source = argv[1];
    const std::string folder = argv[2];
    const std::string output = folder + "/veltrane-bench-out." + std::to_string(::getpid());
    const int rounds = args == 4 ? std::atoi(argv[3]) : 7;
    const long long size = FileSize(source);
    if (size <= 0 || rounds < 1) {
        std::fprintf(stderr, "engine_bench: no source at %s, or no rounds\n", source.c_str());
        return 2;
    }

    struct Contender {
        const char* name;
        bool (*run)(const std::string&, const std::string&);
        long long outputSize;
        std::vector<double> seconds{};
        std::vector<double> syncedSeconds{};
        std::vector<double> userSeconds{};
        std::vector<double> cpuSeconds{};
        std::vector<double> spaceBytes{};
        std::vector<double> ownBytes{};
    };
    std::vector<Contender> contenders = {
        {"plain copy", PlainCopy, size}, {"RunConversion", Convert, size}, {"cp", SystemCopy, size}};
    if (withRead)
        contenders.push_back({"read once", ReadOnce, 0});

    std::printf("source %s, %lld bytes, %d rounds of each, output in %s%s\n", source.c_str(), size, rounds,
                folder.c_str(), g_durable ? ", each until on the device" : "");
    // Round 0 is a warm-up, not counted: the first gigabyte written to tmpfs can land on memory the
    // machine has not touched yet, which costs more than any later round; it also brings the source
    // into the page cache.
    for (int round = 0; round <= rounds; ++round) {
        // Each round starts with another contender, so that none always runs on a warmer or colder
        // machine.
        for (std::size_t k = 0; k < contenders.size(); ++k) {
            Contender& c = contenders[(k + static_cast<std::size_t>(round)) % contenders.size()];
            ::sync();
            const long long usedBefore = SettledUsedBytes(folder);
            const auto start = Clock::now();
            const double userStart = UserSeconds();
            const double cpuStart = CpuSeconds();
            const bool ok = c.run(source, output);
            const double user = UserSeconds() - userStart;
            const double cpu = CpuSeconds() - cpuStart;
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            // Until the copy is on the file system's device: a plain copy's writes mostly wait in the
            // page cache when it returns, while a clone has done its work by then.
            ::sync();
            const double synced = std::chrono::duration<double>(Clock::now() - start).count();
            const long long space = SettledUsedBytes(folder) - usedBefore;
            const long long own = OwnBytes(output);
            const long long written = FileSize(output);
            ::unlink(output.c_str());
            if (!ok || written != c.outputSize) {
                std::fprintf(stderr, "engine_bench: %s failed (wrote %lld bytes)\n", c.name, written);
                return 1;
            }
            if (round > 0) {
                c.seconds.push_back(seconds);
                c.syncedSeconds.push_back(synced);
                c.userSeconds.push_back(user);
                c.cpuSeconds.push_back(cpu);
                c.spaceBytes.push_back(static_cast<double>(space));
                c.ownBytes.push_back(static_cast<double>(own));
            }
            std::printf("%s %d  %-13s %7.3f s  %6.0f MiB/s  synced %7.3f s  user %6.3f s  cpu %6.3f s  space "
                        "%+9.1f MiB  own %9.1f MiB\n",
                        round > 0 ? "round  " : "warm-up", round, c.name, seconds,
                        static_cast<double>(size) / seconds / (1024 * 1024), synced, user, cpu,
                        static_cast<double>(space) / (1024 * 1024), static_cast<double>(own) / (1024 * 1024));
        }
    }

    for (const Contender& c : contenders)
        std::printf("median %-13s %.3f s  (synced %.3f s, user %.3f s, cpu %.3f s, space %+.1f MiB, own %.1f "
                    "MiB)\n",
                    c.name, Median(c.seconds), Median(c.syncedSeconds), Median(c.userSeconds),
                    Median(c.cpuSeconds), Median(c.spaceBytes) / (1024 * 1024),
                    Median(c.ownBytes) / (1024 * 1024));
    const Contender& copy = contenders[0];
    const Contender& convert = contenders[1];
    const double extraUser = Median(convert.userSeconds) - Median(copy.userSeconds);
    std::printf("engine's own work: %.3f s of user time, %.3f of the plain copy's time\n", extraUser,
                extraUser / Median(copy.seconds));
    for (const Contender& c : contenders) {
        if (&c != &convert)
            std::printf("ratio RunConversion / %-10s %.3f  (synced %.3f, cpu time %.3f)\n", c.name,
                        Median(convert.seconds) / Median(c.seconds),
                        Median(convert.syncedSeconds) / Median(c.syncedSeconds),
                        Median(convert.cpuSeconds) / Median(c.cpuSeconds));
    }
    std::printf("headers rewritten: %llu, one per %.1f KiB; space allowed (4 KiB each + 1 MiB): %.1f MiB\n",
                g_rewritten,
                g_rewritten > 0 ? static_cast<double>(size) / static_cast<double>(g_rewritten) / 1024 : 0.0,
                static_cast<double>(g_rewritten * 4096 + (1 << 20)) / (1024 * 1024));
    // The promise holds for every round, not for the median.
    const auto allowed = static_cast<double>(g_rewritten * 4096 + (1 << 20));
    const auto within = [allowed](const std::vector<double>& values) {
        return std::count_if(values.begin(), values.end(), [allowed](double v) { return v <= allowed; });
    };
    std::printf("RunConversion within it: %ld of %zu rounds by free space (most %+.1f MiB), %ld by its own "
                "blocks (most %.1f MiB)\n",
                static_cast<long>(within(convert.spaceBytes)), convert.spaceBytes.size(),
                *std::max_element(convert.spaceBytes.begin(), convert.spaceBytes.end()) / (1024 * 1024),
                static_cast<long>(within(convert.ownBytes)),
                *std::max_element(convert.ownBytes.begin(), convert.ownBytes.end()) / (1024 * 1024));
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("peak RSS: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
