// What veltrane-cli tells about each file and about the whole batch, as text or as JSON.
#pragma once

#include "json_writer.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace veltrane::cli {

class BatchReport {
public:
    // `verb` names what a successful file went through, for the summary: "probed", "converted".
    // Results go to `results`: stdout, or stderr when stdout carries the video itself.
    BatchReport(std::string verb, bool json, bool quiet, std::FILE* results = stdout);

    // A file that went through: its line on stdout (or its JSON object), and the bytes it took. Also
    // with --quiet: a result is what was asked for.
    void Succeeded(const std::string& line, const JsonObject& json, std::int64_t bytes = 0);
    // A file a folder walk found that holds no MPEG-1/2 video: counted, and with --json told.
    void Skipped(const std::string& file, JsonObject json);
    // A file that did not: one line on stderr, "veltrane-cli: FILE: TEXT", and with --json also
    // its object on stdout. `json` carries whatever else is known of the file; "ok" and "error"
    // are added here.
    void Failed(const std::string& file, std::string_view text, JsonObject json);
    // The file a Ctrl+C cut short: told like a failure, but not counted as one.
    void Stopped(const std::string& file, JsonObject json);

    // The closing line on stderr, then the exit status the batch has earned. `stopSignal` is the
    // signal that cut the batch short, 0 if none did.
    int Finish(int stopSignal);

    // Whether the progress line may show.
    bool Chatty() const { return !m_quiet; }

    // The reader of standard output has gone: the batch ends at once and Finish says nothing.
    void ReaderLeft() { m_readerGone = true; }
    bool ReaderGone() const { return m_readerGone; }

private:
    void Out(const std::string& line);
    void Tell(const std::string& file, std::string_view text, JsonObject json);

    std::string m_verb;
    bool m_json;
    bool m_quiet;
    std::FILE* m_results;
    int m_done = 0;
    int m_failed = 0;
    int m_skipped = 0;
    bool m_readerGone = false;
    std::int64_t m_bytes = 0;
    bool m_stdoutFailed = false;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

} // namespace veltrane::cli
