// Standard input and output as sources and destinations of video, on POSIX and on Windows.
#include "standard_streams.h"

#include <cstdio>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veltrane::cli {

#ifdef _WIN32

bool StdinIsTerminal() {
    return ::_isatty(::_fileno(stdin)) != 0;
}

bool StdoutIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}

bool IsStandardOutput(const std::string& path) {
    return path == "-";
}

// A write to a closed pipe fails with ERROR_NO_DATA, which the run reports as a failed write.
bool StdoutReaderGone() {
    return false;
}

void UseBinaryStandardStreams() {
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

#else

bool StdinIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

bool StdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

bool IsStandardOutput(const std::string& path) {
    if (path == "-")
        return true;
    struct stat named {};
    struct stat out {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
           named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

// Linux reports a pipe without readers as an error condition on its write end.
bool StdoutReaderGone() {
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

void UseBinaryStandardStreams() {}

#endif

} // namespace veltrane::cli
