// Runs the real veltrane-cli executable and collects what it wrote and how it ended.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrane::test {

struct CliResult {
    int exitStatus = -1; // -1 when the process did not exit on its own (killed by a signal)
    std::string out;
    std::string err;
};

// Runs veltrane-cli with `args` (bytes, passed through untouched), stdout and stderr each to a file.
CliResult RunCli(const std::vector<std::string>& args);

// Where the program's standard input comes from and where its standard output goes, for streams.
struct CliStreams {
    std::string stdinBytes;        // fed through a pipe
    bool stdoutReaderGone = false; // stdout is a pipe whose reader has already left
};
CliResult RunCli(const std::vector<std::string>& args, const CliStreams& streams);

// veltrane-cli with its stderr on a pseudo-terminal, as in an interactive shell.
class CliOnTerminal {
public:
    explicit CliOnTerminal(const std::vector<std::string>& args);
    ~CliOnTerminal();
    CliOnTerminal(const CliOnTerminal&) = delete;
    CliOnTerminal& operator=(const CliOnTerminal&) = delete;

    // Reads the terminal until `text` has shown or `limit` has passed; true if it showed.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit);
    void Signal(int signal);
    // Waits for the end (SIGKILL after `limit`); the exit status, or -1 when killed.
    int Wait(std::chrono::milliseconds limit);
    const std::string& Terminal() const { return m_terminal; }

private:
    int m_master = -1;
    pid_t m_pid = -1;
    std::string m_terminal;
};

} // namespace veltrane::test
