// What veltrane-cli tells about each file and about the whole batch, as text or as JSON.
#pragma once

#include "json_writer.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane::cli {

class BatchReport {
public:
    // `verb` names what a successful file went through, for the summary: "probed", "converted".
    BatchReport(std::string verb, bool json, bool quiet);

    // A file that went through: its line on stdout (or its JSON object), and the bytes it took.
    void Succeeded(const std::string& line, const JsonObject& json, std::int64_t bytes = 0);
    // A file that did not: one line on stderr, "veltrane-cli: FILE: TEXT", and with --json also
    // its object on stdout. `json` carries whatever else is known of the file; "ok" and "error"
    // are added here.
    void Failed(const std::string& file, std::string_view text, JsonObject json);

    // The closing line on stderr, then the exit status the batch has earned. `stopSignal` is the
    // signal that cut the batch short, 0 if none did.
    int Finish(int stopSignal);

    // Whether per-file lines and the progress line may show.
    bool Chatty() const { return !m_quiet; }

private:
    void Out(const std::string& line);

    std::string m_verb;
    bool m_json;
    bool m_quiet;
    int m_done = 0;
    int m_failed = 0;
    std::int64_t m_bytes = 0;
    bool m_stdoutFailed = false;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

} // namespace veltrane::cli
