// Times RunConversion against a plain read/write copy of the same file, in alternating rounds.
// Usage: engine_bench <source> <output-folder> [rounds]
#include "conversion_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
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

// The baseline: what any copy through a buffer of the engine's size costs, with no look at the bytes.
bool PlainCopy(const std::string& sourcePath, const std::string& destPath) {
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
        for (ssize_t done = 0; done < got;) {
            const ssize_t put =
                ::write(dest.Get(), buffer.get() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                return false;
            done += put;
        }
    }
    return dest.Close();
}

bool Convert(const std::string& sourcePath, const std::string& destPath) {
    QuietSink sink;
    return veltrane::RunConversion(sourcePath, destPath, veltrane::ConversionMode::To16x9, sink) ==
           veltrane::RunOutcome::Completed;
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
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s <source> <output-folder> [rounds]\n", argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string source = argv[1];
    const std::string output = std::string(argv[2]) + "/veltrane-bench-out." + std::to_string(::getpid());
    const int rounds = argc == 4 ? std::atoi(argv[3]) : 7;
    const long long size = FileSize(source);
    if (size <= 0 || rounds < 1) {
        std::fprintf(stderr, "engine_bench: no source at %s, or no rounds\n", source.c_str());
        return 2;
    }

    struct Contender {
        const char* name;
        bool (*run)(const std::string&, const std::string&);
        std::vector<double> seconds;
        std::vector<double> userSeconds;
    };
    Contender copy{"plain copy", PlainCopy, {}, {}};
    Contender convert{"RunConversion", Convert, {}, {}};

    std::printf("source %s, %lld bytes, %d rounds of each, output in %s\n", source.c_str(), size, rounds,
                argv[2]);
    // Round 0 is a warm-up, not counted: the first gigabyte written to tmpfs can land on memory the
    // machine has not touched yet, which costs more than any later round.
    for (int round = 0; round <= rounds; ++round) {
        // Alternating the order keeps either side from always running on a warmer or colder machine.
        Contender* order[2] = {&copy, &convert};
        if (round % 2 == 0)
            std::swap(order[0], order[1]);
        for (Contender* c : order) {
            const auto start = Clock::now();
            const double userStart = UserSeconds();
            const bool ok = c->run(source, output);
            const double user = UserSeconds() - userStart;
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            const long long written = FileSize(output);
            ::unlink(output.c_str());
            if (!ok || written != size) {
                std::fprintf(stderr, "engine_bench: %s failed (wrote %lld bytes)\n", c->name, written);
                return 1;
            }
            if (round > 0) {
                c->seconds.push_back(seconds);
                c->userSeconds.push_back(user);
            }
            std::printf("%s %d  %-13s %7.3f s  %6.0f MiB/s  user %6.3f s\n",
                        round > 0 ? "round  " : "warm-up", round, c->name, seconds,
                        static_cast<double>(size) / seconds / (1024 * 1024), user);
        }
    }

    const double copyMedian = Median(copy.seconds);
    const double convertMedian = Median(convert.seconds);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double extraUser = Median(convert.userSeconds) - Median(copy.userSeconds);
    std::printf("median plain copy     %.3f s  (user %.3f s)\n", copyMedian, Median(copy.userSeconds));
    std::printf("median RunConversion  %.3f s  (user %.3f s)\n", convertMedian, Median(convert.userSeconds));
    std::printf("engine's own work: %.3f s of user time, %.3f of the plain copy's time\n", extraUser,
                extraUser / copyMedian);
    std::printf("ratio RunConversion / plain copy: %.3f (goal <= 1.15)\n", convertMedian / copyMedian);
    std::printf("peak RSS: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
