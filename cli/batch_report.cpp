// Per-file lines and the summary line, with stdout kept for results and stderr for the rest.
#include "batch_report.h"

#include "cli_options.h"
#include "terminal_progress.h"

#include <cstdio>

namespace veltrane::cli {

BatchReport::BatchReport(std::string verb, bool json, bool quiet)
    : m_verb(std::move(verb)), m_json(json), m_quiet(quiet) {}

void BatchReport::Out(const std::string& line) {
    // Each result is flushed at once, so that whoever reads the pipe sees files as they finish.
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0)
        m_stdoutFailed = true;
}

void BatchReport::Succeeded(const std::string& line, const JsonObject& json, std::int64_t bytes) {
    ++m_done;
    m_bytes += bytes;
    if (m_json)
        Out(json.Text());
    else if (!m_quiet)
        Out(line);
}

void BatchReport::Failed(const std::string& file, std::string_view text, JsonObject json) {
    ++m_failed;
    std::fprintf(stderr, "veltrane-cli: %s: %.*s\n", file.c_str(), static_cast<int>(text.size()),
                 text.data());
    if (m_json)
        Out(json.Add("ok", false).Add("error", text).Text());
}

int BatchReport::Finish(int stopSignal) {
    if (m_stdoutFailed)
        std::fputs("veltrane-cli: can't write to standard output\n", stderr);
    if (!m_quiet) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        std::string bytes;
        if (m_bytes > 0)
            bytes = ", " + HumanBytes(m_bytes);
        std::fprintf(stderr, "veltrane-cli: %s%d %s, %d failed%s in %.2f s\n",
                     stopSignal != 0 ? "interrupted: " : "", m_done, m_verb.c_str(), m_failed, bytes.c_str(),
                     seconds);
    }
    if (stopSignal != 0)
        return 128 + stopSignal;
    return m_failed > 0 || m_stdoutFailed ? EXIT_SOME_FAILED : EXIT_ALL_DONE;
}

} // namespace veltrane::cli
