// Starting veltrane-cli with posix_spawn, with plain files or a pseudo-terminal for its output.
#include "cli_process.h"

#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace veltrane::test {

namespace {

std::vector<char*> Argv(std::vector<std::string>& args) {
    args.insert(args.begin(), VELTRANE_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}

int ExitStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadAll(path);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

CliResult RunCli(const std::vector<std::string>& args) {
    return RunCli(args, CliStreams{});
}

CliResult RunCli(const std::vector<std::string>& args, const CliStreams& streams) {
    TempDir dir;
    const std::string outPath = dir.File("stdout");
    const std::string errPath = dir.File("stderr");
    // The test writes into a pipe whose reader may leave early: that must fail the write, not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (streams.stdoutReaderGone) {
        // Gone before the program starts, so that even its first write finds no reader.
        ::close(std::exchange(out[0], -1));
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> owned = args;
    std::vector<char*> argv = Argv(owned);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (const int end : {in[0], out[0], out[1]})
        if (end != -1)
            ::close(end);
    if (spawned != 0) {
        ::close(in[1]);
        throw std::runtime_error("cannot start " + std::string(argv[0]));
    }
    std::thread feed([&] {
        const std::string& bytes = streams.stdinBytes;
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(in[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0 && errno != EINTR)
                break;
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        ::close(in[1]);
    });
    feed.join();
    int status = 0;
    while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    return {ExitStatus(status), streams.stdoutReaderGone ? "" : ReadText(outPath), ReadText(errPath)};
}

CliOnTerminal::CliOnTerminal(const std::vector<std::string>& args) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master == -1 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const std::string slave = ::ptsname(m_master);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, slave.c_str(), O_RDWR | O_NOCTTY, 0);
    std::vector<std::string> owned = args;
    std::vector<char*> argv = Argv(owned);
    const int spawned = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + std::string(argv[0]));
}

CliOnTerminal::~CliOnTerminal() {
    if (m_pid > 0)
        Wait(std::chrono::milliseconds(0));
    ::close(m_master);
}

bool CliOnTerminal::WaitFor(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_terminal.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd ready{m_master, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char chunk[4096];
        const ssize_t got = ::read(m_master, chunk, sizeof chunk);
        if (got <= 0) // the program has gone and closed its end
            return false;
        m_terminal.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

void CliOnTerminal::Signal(int signal) {
    ::kill(m_pid, signal);
}

int CliOnTerminal::Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        // Keep the terminal drained so that the program never blocks writing to it.
        WaitFor("\x01never\x01", std::chrono::milliseconds(20));
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
    }
    m_pid = -1;
    return ExitStatus(status);
}

} // namespace veltrane::test
