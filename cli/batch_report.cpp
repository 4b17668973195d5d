// Per-file lines and the summary line, with stdout kept for results and stderr for the rest.
#include "batch_report.h"

#include "cli_options.h"
#include "outcomes.h"
#include "terminal_progress.h"

#include <cerrno>
#include <cstdio>

namespace veltrane::cli {

BatchReport::BatchReport(std::string verb, bool json, bool quiet, std::FILE* results)
    : m_verb(std::move(verb)), m_json(json), m_quiet(quiet), m_results(results) {}

void BatchReport::Out(const std::string& line) {
    if (m_readerGone)
        return;
    // Each result is flushed at once, so that whoever reads the pipe sees files as they finish.
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), m_results) != line.size() ||
        std::fputc('\n', m_results) == EOF || std::fflush(m_results) != 0) {
        // A reader that has read enough (| head) is no failure: the program just ends, as any would.
        if (errno == EPIPE && m_results == stdout)
            m_readerGone = true;
        else
            m_stdoutFailed = true;
    }
}

void BatchReport::Succeeded(const std::string& line, const JsonObject& json, std::int64_t bytes) {
    ++m_done;
    m_bytes += bytes;
    Out(m_json ? json.Text() : line);
}

void BatchReport::Skipped(const std::string& /*file*/, JsonObject json) {
    ++m_skipped;
    if (m_json)
        Out(json.Add("ok", true).Add("skipped", "no MPEG-1/2 video").Text());
}

void BatchReport::Failed(const std::string& file, std::string_view text, JsonObject json) {
    ++m_failed;
    Tell(file, text, std::move(json));
}

void BatchReport::Stopped(const std::string& file, JsonObject json) {
    Tell(file, OutcomeText(RunOutcome::Cancelled), std::move(json));
}

void BatchReport::Tell(const std::string& file, std::string_view text, JsonObject json) {
    std::fprintf(stderr, "veltrane-cli: %s: %.*s\n", file.c_str(), static_cast<int>(text.size()),
                 text.data());
    if (m_json)
        Out(json.Add("ok", false).Add("error", text).Text());
}

int BatchReport::Finish(int stopSignal) {
    if (m_readerGone)
        return EXIT_READER_GONE;
    if (m_stdoutFailed)
        std::fputs("veltrane-cli: can't write to standard output\n", stderr);
    if (!m_quiet) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        std::string bytes;
        if (m_bytes > 0)
            bytes = ", " + HumanBytes(m_bytes);
        std::string skipped;
        if (m_skipped > 0)
            skipped = ", " + std::to_string(m_skipped) + " skipped (no MPEG-1/2 video)";
        std::fprintf(stderr, "veltrane-cli: %s%d %s%s, %d failed%s in %.2f s\n",
                     stopSignal != 0 ? "interrupted: " : "", m_done, m_verb.c_str(), skipped.c_str(),
                     m_failed, bytes.c_str(), seconds);
    }
    if (stopSignal != 0)
        return 128 + stopSignal;
    return m_failed > 0 || m_stdoutFailed ? EXIT_SOME_FAILED : EXIT_ALL_DONE;
}

} // namespace veltrane::cli
